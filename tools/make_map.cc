// make_map: writes a synthetic but realistic 3D map file, for the example run,
// the benchmark and the tests.
//
//   make_map OUT [--layers N] [--segments-per-layer N] [--substances N]
//                [--blocks N] [--start SECONDS] [--step SECONDS] [--partial BYTES]
//
// The values are a smooth function of substance, layer, segment and time, so
// that every block and layer differs and a misplaced byte shows. --partial
// appends that many bytes of one more block, as a run cut short leaves it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* k_substances[] = {
    "Salinity", "Temperature", "OXY", "NH4", "NO3", "PO4", "Si", "Chlfa",
    "DetC", "DetN", "DetP", "BOD5", "Ecoli", "IM1", "IM2", "IM3",
    "Diat", "Green", "AlgN", "AlgP",
};

struct Shape {
  long layers = 10;
  long segments_per_layer = 300;
  long substances = 5;
  long blocks = 49;
  long start = 0;
  long step = 3600;
  long partial = 0;
};

void put_text(std::vector<char>& out, std::string_view text, std::size_t width) {
  std::string field(text.substr(0, width));
  field.resize(width, ' ');
  out.insert(out.end(), field.begin(), field.end());
}

void put_int(std::vector<char>& out, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

std::string substance_name(long s) {
  const long named = sizeof k_substances / sizeof k_substances[0];
  if (s < named) return k_substances[s];
  return "Tracer" + std::to_string(s + 1 - named);
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: make_map OUT [--layers N] [--segments-per-layer N] [--substances N]\n"
               "                    [--blocks N] [--start SECONDS] [--step SECONDS] [--partial BYTES]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) usage();
  const char* out_name = argv[1];
  Shape shape;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    char* end = nullptr;
    const long value = std::strtol(argv[i + 1], &end, 10);
    if (*end != '\0') usage();
    if (option == "--layers") shape.layers = value;
    else if (option == "--segments-per-layer") shape.segments_per_layer = value;
    else if (option == "--substances") shape.substances = value;
    else if (option == "--blocks") shape.blocks = value;
    else if (option == "--start") shape.start = value;
    else if (option == "--step") shape.step = value;
    else if (option == "--partial") shape.partial = value;
    else usage();
  }
  if (argc % 2 != 0) usage();

  std::FILE* out = std::fopen(out_name, "wb");
  if (out == nullptr) {
    std::perror(out_name);
    return 1;
  }
  const long noseg = shape.layers * shape.segments_per_layer;
  std::vector<char> bytes;
  put_text(bytes, "Synthetic estuary run", 40);
  put_text(bytes, "Water quality, " + std::to_string(shape.layers) + " layers", 40);
  put_text(bytes, "Made by make_map", 40);
  put_text(bytes, "3D map file", 40);
  put_int(bytes, static_cast<std::int32_t>(shape.substances));
  put_int(bytes, static_cast<std::int32_t>(noseg));
  for (long s = 0; s < shape.substances; ++s) put_text(bytes, substance_name(s), 20);

  const long blocks = shape.blocks + (shape.partial > 0 ? 1 : 0);
  for (long b = 0; b < blocks; ++b) {
    const bool last_partial = shape.partial > 0 && b == shape.blocks;
    std::vector<char> block;
    block.reserve(4 + 4 * static_cast<std::size_t>(noseg * shape.substances));
    const long itime = shape.start + b * shape.step;
    put_int(block, static_cast<std::int32_t>(itime));
    const float hours = static_cast<float>(itime) / 3600.0f;
    for (long g = 0; g < noseg; ++g) {
      const long layer = g / shape.segments_per_layer;
      const long column = g % shape.segments_per_layer;
      for (long s = 0; s < shape.substances; ++s) {
        const float value = 10.0f * static_cast<float>(s + 1) - 0.5f * static_cast<float>(layer) +
                            0.01f * static_cast<float>(column % 97) +
                            std::sin(hours * 0.2618f + static_cast<float>(s));
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        put_int(block, static_cast<std::int32_t>(bits));
      }
    }
    if (last_partial) block.resize(std::min<std::size_t>(block.size(), static_cast<std::size_t>(shape.partial)));
    bytes.insert(bytes.end(), block.begin(), block.end());
    if (bytes.size() >= (1u << 24)) {
      if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
        std::perror(out_name);
        return 1;
      }
      bytes.clear();
    }
  }
  // The rest, and the header of a file without blocks.
  if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
    std::perror(out_name);
    return 1;
  }
  return 0;
}

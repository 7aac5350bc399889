#include "tests/map_fixture.h"

namespace plysect::testing {

namespace {

std::string padded(std::string text, std::size_t width) {
  text.resize(width, ' ');
  return text;
}

std::string title_bytes(const std::array<std::string, 4>& titles) {
  std::string out;
  for (const auto& title : titles) out += padded(title, 40);
  return out;
}

}  // namespace

std::string le32(std::uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string MapFixture::header() const {
  std::string out = title_bytes(titles);
  out += le32(static_cast<std::uint32_t>(notot()));
  out += le32(static_cast<std::uint32_t>(noseg));
  for (const auto& name : names) out += padded(name, 20);
  return out;
}

std::string MapFixture::block(std::size_t b) const {
  std::string out = le32(static_cast<std::uint32_t>(itimes[b]));
  for (std::uint32_t v : values[b]) out += le32(v);
  return out;
}

std::string MapFixture::bytes() const {
  std::string out = header();
  for (std::size_t b = 0; b < itimes.size(); ++b) out += block(b);
  return out;
}

std::string MapFixture::layer_header(std::int32_t nlay, std::int32_t layer) const {
  std::array<std::string, 4> layer_titles = titles;
  std::string fourth = "Lay ";
  const std::string digits = std::to_string(layer);
  fourth += std::string(3 - digits.size(), ' ') + digits;
  layer_titles[3] = fourth;
  std::string out = title_bytes(layer_titles);
  out += le32(static_cast<std::uint32_t>(notot()));
  out += le32(static_cast<std::uint32_t>(noseg / nlay));
  for (const auto& name : names) out += padded(name, 20);
  return out;
}

std::string MapFixture::layer_map(std::int32_t nlay, std::int32_t layer, std::size_t blocks) const {
  std::string out = layer_header(nlay, layer);
  const std::size_t nsegl = static_cast<std::size_t>(noseg / nlay);
  const std::size_t per_segment = names.size();
  for (std::size_t b = 0; b < blocks; ++b) {
    out += le32(static_cast<std::uint32_t>(itimes[b]));
    const std::size_t first = static_cast<std::size_t>(layer - 1) * nsegl;
    for (std::size_t g = first; g < first + nsegl; ++g) {
      for (std::size_t s = 0; s < per_segment; ++s) out += le32(values[b][g * per_segment + s]);
    }
  }
  return out;
}

MapFixture make_fixture(std::int32_t notot, std::int32_t noseg, std::size_t blocks) {
  MapFixture fixture;
  for (std::int32_t s = 1; s <= notot; ++s) fixture.names.push_back("Substance " + std::to_string(s));
  fixture.noseg = noseg;
  for (std::size_t b = 0; b < blocks; ++b) {
    fixture.itimes.push_back(static_cast<std::int32_t>(b * 3600));
    std::vector<std::uint32_t> block;
    for (std::int32_t g = 0; g < noseg; ++g) {
      for (std::int32_t s = 0; s < notot; ++s) {
        // Distinct per block, segment and substance; every seventh value is a
        // NaN pattern (signalling or quiet) that must pass bit for bit.
        const std::uint32_t index = static_cast<std::uint32_t>((b * 1000 + static_cast<std::size_t>(g)) * 131 +
                                                              static_cast<std::size_t>(s));
        std::uint32_t value = 0x3F800000u + index;
        if (index % 7 == 3) value = 0x7F800001u + index % 5;  // signalling NaN
        if (index % 7 == 5) value = 0xFFC00000u | index;       // quiet NaN with payload
        block.push_back(value);
      }
    }
    fixture.values.push_back(std::move(block));
  }
  return fixture;
}

}  // namespace plysect::testing

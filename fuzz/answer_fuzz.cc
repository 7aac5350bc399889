// Fuzz target for the answer grammar. The fuzzer's bytes are the whole
// console input; the answers are read one after the other until one fails, as
// the dialogue reads them. The same bytes are then read again through the
// descriptor reader with a small buffer (so it refills, shifts and doubles
// inside lines), and every outcome must match the reading from memory.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "console/answer_input.h"

namespace {

using plysect::AnswerOutcome;

void require(bool holds) {
  if (!holds) std::abort();
}

bool same(const AnswerOutcome& a, const AnswerOutcome& b) {
  return a.kind == b.kind && a.value == b.value && a.code == b.code &&
         a.system_error == b.system_error;
}

// Every answer up to and including the first failure.
std::vector<AnswerOutcome> all_answers(plysect::LineSource& lines) {
  std::vector<AnswerOutcome> outcomes;
  for (;;) {
    outcomes.push_back(plysect::parse_answer(lines));
    if (outcomes.back().kind == AnswerOutcome::Kind::failed) return outcomes;
  }
}

// The bytes as a file, read from its descriptor.
std::vector<AnswerOutcome> answers_through_a_descriptor(std::string_view bytes) {
  const int fd = ::memfd_create("answers", 0);
  require(fd >= 0);
  require(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  require(::lseek(fd, 0, SEEK_SET) == 0);
  plysect::LineReader reader(fd, 1 + bytes.size() % 7);
  std::vector<AnswerOutcome> outcomes = all_answers(reader);
  ::close(fd);
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  plysect::MemoryLineSource lines(bytes);
  const std::vector<AnswerOutcome> outcomes = all_answers(lines);

  // Lines in memory fail only as the grammar says: end of input, syntax,
  // conversion.
  const plysect::DiagnosticCode last = outcomes.back().code;
  require(last == plysect::k_end_of_file_during_read || last == plysect::k_syntax_error ||
          last == plysect::k_conversion_error);
  require(outcomes.back().system_error == 0);
  // Every answer but the failing one takes at least one line of its own.
  const auto line_count = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
  require(outcomes.size() <= line_count + 1);

  const std::vector<AnswerOutcome> read = answers_through_a_descriptor(bytes);
  require(read.size() == outcomes.size());
  for (std::size_t i = 0; i < read.size(); ++i) require(same(read[i], outcomes[i]));
  return 0;
}

#include "console/diagnostic_text.h"

#include <algorithm>
#include <cstring>

namespace plysect {

void DiagnosticText::append(std::string_view text) {
  const std::size_t n = std::min(text.size(), k_capacity - m_size);
  std::memcpy(m_bytes + m_size, text.data(), n);
  m_size += n;
}

void DiagnosticText::append_decimal(std::int64_t value) {
  char digits[24];
  std::size_t n = 0;
  // Work on the negative side so the most negative value needs no special case.
  std::int64_t rest = value < 0 ? value : -value;
  do {
    digits[n++] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) append('-');
  while (n > 0) append(digits[--n]);
}

void DiagnosticText::append_hex(std::uint64_t value) {
  char digits[16];
  std::size_t n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) append(digits[--n]);
}

void DiagnosticText::append_left(std::string_view text, std::size_t width, std::size_t cut) {
  text = text.substr(0, cut);
  append(text);
  for (std::size_t i = text.size(); i < width; ++i) append(' ');
}

void DiagnosticText::append_right(std::string_view text, std::size_t width) {
  for (std::size_t i = text.size(); i < width; ++i) append(' ');
  append(text);
}

}  // namespace plysect

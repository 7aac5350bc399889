// A fixed-capacity text for building a diagnostic and its traceback without
// allocating, so the same code serves the last-resort report of a machine
// exception, which runs inside a signal handler. What does not fit is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace plysect {

class DiagnosticText {
 public:
  static constexpr std::size_t k_capacity = 16384;

  void append(std::string_view text);
  void append(char c) { append(std::string_view(&c, 1)); }
  void append_decimal(std::int64_t value);
  // Lower-case hexadecimal without prefix, as "%lx" shows it.
  void append_hex(std::uint64_t value);
  // `text` left-aligned in `width` columns, cut to `cut` characters first.
  void append_left(std::string_view text, std::size_t width, std::size_t cut);
  // `text` right-aligned in `width` columns.
  void append_right(std::string_view text, std::size_t width);

  std::string_view view() const { return {m_bytes, m_size}; }
  void clear() { m_size = 0; }

 private:
  char m_bytes[k_capacity];
  std::size_t m_size = 0;
};

}  // namespace plysect

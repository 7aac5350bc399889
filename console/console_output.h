// Console text output: every line the tool shows goes to standard output
// through these calls, in the order of the calls, and nothing is held back:
// each write call has handed its bytes to file descriptor 1 when it returns,
// so a prompt is visible before its answer is read.
//
// Console lines end with CR LF, except a prompt, which has no line end. The
// first character of a line has no control meaning.
//
// A write that the system refuses ends the run with the fatal diagnostic 38
// on unit -1, file "CONOUT$".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace plysect {

// An item is a text, written character for character with its trailing
// blanks, or a 32-bit integer.
using Item = std::variant<std::string_view, std::int32_t>;

enum class FieldKind {
  text,          // a text in exactly `width` columns: right-aligned, or cut
  natural_text,  // a text at its own length
  integer,       // an integer right-aligned in `width` columns, or asterisks
};

struct Field {
  FieldKind kind;
  int width = 0;  // unused for natural_text
};

inline constexpr int k_free_line_width = 80;
inline constexpr int k_free_integer_width = 12;

// Renderings, pure: used by the write calls below and by tests.

// The decimal digits of `value`, a minus sign when negative, right-aligned in
// `width` columns; `width` asterisks when that does not fit.
std::string render_integer_field(std::int32_t value, int width);
// `text` right-aligned in `width` columns, or its first `width` characters.
std::string render_text_field(std::string_view text, int width);
// The fields placed one after the other from the first column.
std::string render_fields(std::span<const Field> layout, std::span<const Item> items);
// A free-format line with its CR LF: a text that begins the line or follows an
// integer gets one blank before it, a text after a text joins it, an integer
// takes a field of 12; lines hold at most 80 columns. No items: a single blank.
std::string render_free_line(std::span<const Item> items);

// Console output.
void write_free_line(std::initializer_list<Item> items = {});
void write_prompt(std::initializer_list<Field> layout, std::initializer_list<Item> items);
void write_field_line(std::initializer_list<Field> layout, std::initializer_list<Item> items);

// The fields placed from the first character, filled with blanks to exactly
// `length` characters; writes nothing.
std::string format_fixed_text(std::initializer_list<Field> layout,
                              std::initializer_list<Item> items, std::size_t length);

}  // namespace plysect

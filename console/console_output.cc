#include "console/console_output.h"

#include <cstdlib>
#include <vector>

#include "console/system_io.h"
#include "console/termination.h"

namespace plysect {

namespace {

constexpr std::string_view k_line_end = "\r\n";
constexpr std::string_view k_console_output_name = "CONOUT$";

void hand_to_console(std::string_view text) {
  if (const int err = write_all(1, text); err != 0) {
    raise_fatal(k_error_during_write, k_console_output_unit, k_console_output_name, err);
  }
}

}  // namespace

std::string render_integer_field(std::int32_t value, int width) {
  const std::int64_t wide = value;
  std::string shown = wide < 0 ? "-" : "";
  shown += std::to_string(wide < 0 ? -wide : wide);
  if (static_cast<int>(shown.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - shown.size(), ' ') + shown;
}

std::string render_text_field(std::string_view text, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (text.size() >= w) return std::string(text.substr(0, w));
  return std::string(w - text.size(), ' ').append(text);
}

std::string render_fields(std::span<const Field> layout, std::span<const Item> items) {
  if (layout.size() != items.size()) std::abort();  // a layout mismatch is a bug
  std::string out;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const Field& field = layout[i];
    switch (field.kind) {
      case FieldKind::text:
        out += render_text_field(std::get<std::string_view>(items[i]), field.width);
        break;
      case FieldKind::natural_text:
        out += std::get<std::string_view>(items[i]);
        break;
      case FieldKind::integer:
        out += render_integer_field(std::get<std::int32_t>(items[i]), field.width);
        break;
    }
  }
  return out;
}

std::string render_free_line(std::span<const Item> items) {
  std::string out;
  int column = 0;           // columns used on the current output line
  bool after_text = false;  // the previous item was a text
  for (const Item& item : items) {
    if (const auto* value = std::get_if<std::int32_t>(&item)) {
      // An integer that does not fit ends the line and begins the next one.
      if (column > 0 && column + k_free_integer_width > k_free_line_width) {
        out += k_line_end;
        column = 0;
      }
      out += render_integer_field(*value, k_free_integer_width);
      column += k_free_integer_width;
      after_text = false;
      continue;
    }
    std::string piece = after_text ? "" : " ";
    piece += std::get<std::string_view>(item);
    // A text that does not fit is carried on to following lines, each of
    // which begins with a blank.
    std::size_t done = 0;
    for (;;) {
      const std::size_t room = static_cast<std::size_t>(k_free_line_width - column);
      const std::size_t take = std::min(room, piece.size() - done);
      out.append(piece, done, take);
      column += static_cast<int>(take);
      done += take;
      if (done == piece.size()) break;
      out += k_line_end;
      out += ' ';
      column = 1;
    }
    after_text = true;
  }
  if (out.empty()) out.push_back(' ');
  out += k_line_end;
  return out;
}

void write_free_line(std::initializer_list<Item> items) {
  hand_to_console(render_free_line(std::span<const Item>(items.begin(), items.size())));
}

void write_prompt(std::initializer_list<Field> layout, std::initializer_list<Item> items) {
  hand_to_console(render_fields(std::span<const Field>(layout.begin(), layout.size()),
                                std::span<const Item>(items.begin(), items.size())));
}

void write_field_line(std::initializer_list<Field> layout, std::initializer_list<Item> items) {
  std::string line = render_fields(std::span<const Field>(layout.begin(), layout.size()),
                                   std::span<const Item>(items.begin(), items.size()));
  line += k_line_end;
  hand_to_console(line);
}

std::string format_fixed_text(std::initializer_list<Field> layout,
                              std::initializer_list<Item> items, std::size_t length) {
  std::string text = render_fields(std::span<const Field>(layout.begin(), layout.size()),
                                   std::span<const Item>(items.begin(), items.size()));
  text.resize(length, ' ');
  return text;
}

}  // namespace plysect

#include "tessal_exchange/debug_text.hpp"

#include <cmath>
#include <cstdio>

namespace tessal_exchange::debug_text {

void write_quoted(std::ostream& out, std::string_view text) {
  out << '"';
  for (const char c : text) {
    switch (c) {
      case '"': out << "\\\""; break;
      case '\\': out << "\\\\"; break;
      case '\n': out << "\\n"; break;
      case '\t': out << "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
          out << escaped;
        } else {
          out << c;
        }
    }
  }
  out << '"';
}

namespace {

template <class F>
void write_shortest(std::ostream& out, F value) {
  if (std::isnan(value)) {
    out << "NaN";
    return;
  }
  if (std::isinf(value)) {
    out << (value < 0 ? "-inf" : "inf");
    return;
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  out << text;
  // Keep floats recognisable as floats: 1 prints as 1.0.
  if (text.find_first_of(".eE") == std::string_view::npos) out << ".0";
}

}  // namespace

void write_float(std::ostream& out, double value) { write_shortest(out, value); }
void write_float(std::ostream& out, float value) { write_shortest(out, value); }

}  // namespace tessal_exchange::debug_text

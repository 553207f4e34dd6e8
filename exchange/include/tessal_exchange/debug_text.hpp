#pragma once

// Debug text shared by every record of both libraries: a record prints as its
// type name followed by its fields by name, in declaration order, as in
//   Allocation { tensor: TensorId(3), tile: 0, address: 360448, ... }
// Strings print quoted, lists as [a, b], optionals as Some(x) or None and
// ordered maps as {key: value, ...}.

#include <array>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tessal_exchange::debug_text {

void write_quoted(std::ostream& out, std::string_view text);
void write_float(std::ostream& out, double value);
void write_float(std::ostream& out, float value);

template <class T>
void write(std::ostream& out, const T& value);

template <class T>
void write_list(std::ostream& out, const T& values) {
  out << '[';
  bool first = true;
  for (const auto& value : values) {
    if (!first) out << ", ";
    first = false;
    write(out, value);
  }
  out << ']';
}

template <class T>
void write(std::ostream& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out << (value ? "true" : "false");
  } else if constexpr (std::is_integral_v<T>) {
    // Widen so that 8-bit counts print as numbers, not characters.
    if constexpr (std::is_signed_v<T>) {
      out << static_cast<std::int64_t>(value);
    } else {
      out << static_cast<std::uint64_t>(value);
    }
  } else if constexpr (std::is_floating_point_v<T>) {
    write_float(out, value);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    write_quoted(out, value);
  } else if constexpr (requires { value.has_value(); *value; } && !requires { value.error(); }) {
    if (value.has_value()) {
      out << "Some(";
      write(out, *value);
      out << ')';
    } else {
      out << "None";
    }
  } else if constexpr (requires { value.first; value.second; }) {
    out << '(';
    write(out, value.first);
    out << ", ";
    write(out, value.second);
    out << ')';
  } else if constexpr (requires { typename T::key_type; typename T::mapped_type; }) {
    out << '{';
    bool first = true;
    for (const auto& [key, mapped] : value) {
      if (!first) out << ", ";
      first = false;
      write(out, key);
      out << ": ";
      write(out, mapped);
    }
    out << '}';
  } else if constexpr (requires { value.begin(); value.end(); }) {
    write_list(out, value);
  } else {
    out << value;
  }
}

// Writes `Name { field: value, ... }`; a record without fields prints its name alone.
class StructWriter {
 public:
  StructWriter(std::ostream& out, std::string_view name) : out_(out) { out_ << name; }
  StructWriter(const StructWriter&) = delete;
  StructWriter& operator=(const StructWriter&) = delete;
  ~StructWriter() {
    if (!first_) out_ << " }";
  }

  template <class T>
  StructWriter& field(std::string_view name, const T& value) {
    out_ << (first_ ? " { " : ", ") << name << ": ";
    first_ = false;
    write(out_, value);
    return *this;
  }

 private:
  std::ostream& out_;
  bool first_ = true;
};

// The debug text of any printable value as a string.
template <class T>
std::string to_string(const T& value);

}  // namespace tessal_exchange::debug_text

#include <sstream>

template <class T>
std::string tessal_exchange::debug_text::to_string(const T& value) {
  std::ostringstream out;
  write(out, value);
  return out.str();
}

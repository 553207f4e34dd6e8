#pragma once

// Numeric option values: decimal, or hexadecimal after "0x". Leading zeros are
// decimal (no octal), and no sign, blank or suffix is accepted.

#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <string_view>

namespace tessalc {

// The value, or a one-line message naming the option and why the text is rejected.
[[nodiscard]] std::expected<std::uint64_t, std::string> parse_number(std::string_view option, std::string_view text,
                                                                     std::uint64_t max);

template <class T>
[[nodiscard]] std::expected<T, std::string> parse_number_as(std::string_view option, std::string_view text) {
  const auto value = parse_number(option, text, std::numeric_limits<T>::max());
  if (!value) return std::unexpected(value.error());
  return static_cast<T>(*value);
}

}  // namespace tessalc

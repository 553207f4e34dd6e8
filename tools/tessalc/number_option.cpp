#include "tessalc/number_option.hpp"

#include <charconv>

namespace tessalc {

std::expected<std::uint64_t, std::string> parse_number(std::string_view option, std::string_view text,
                                                       std::uint64_t max) {
  const std::string shown = std::string(option) + ": '" + std::string(text) + "'";
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  // from_chars accepts a leading '-' for unsigned types on some libraries; no sign is valid here.
  if (digits.empty() || digits.front() == '-' || digits.front() == '+' || end != digits.data() + digits.size() ||
      error == std::errc::invalid_argument) {
    return std::unexpected(shown + " is not a number (decimal or 0x hexadecimal)");
  }
  if (error == std::errc::result_out_of_range || value > max) {
    return std::unexpected(shown + " is out of range (at most " + std::to_string(max) + ")");
  }
  return value;
}

}  // namespace tessalc

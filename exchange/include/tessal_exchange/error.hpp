#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace tessal_exchange {

// The one error type of the exchange library. Variants in their fixed order;
// `value` carries the payload of Tile (logical tile), Count (word count) and
// Address (byte address), `message` the fixed text of Schedule.
struct ExchangeError {
  enum class Kind : std::uint8_t { Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket };

  Kind kind = Kind::Tile;
  std::uint32_t value = 0;
  std::string message;

  [[nodiscard]] static ExchangeError tile(std::uint16_t logical) { return {Kind::Tile, logical, {}}; }
  [[nodiscard]] static ExchangeError duplicate_tile() { return {Kind::DuplicateTile, 0, {}}; }
  [[nodiscard]] static ExchangeError count(std::uint32_t count) { return {Kind::Count, count, {}}; }
  [[nodiscard]] static ExchangeError receiver_set() { return {Kind::ReceiverSet, 0, {}}; }
  [[nodiscard]] static ExchangeError schedule(std::string message) { return {Kind::Schedule, 0, std::move(message)}; }
  [[nodiscard]] static ExchangeError address(std::uint32_t byte_address) { return {Kind::Address, byte_address, {}}; }
  [[nodiscard]] static ExchangeError host_packet() { return {Kind::HostPacket, 0, {}}; }

  friend bool operator==(const ExchangeError&, const ExchangeError&) = default;
};

// Debug text: the variant name, then its payload in parentheses, as in
// Tile(1472), ReceiverSet, Schedule("zero event advance").
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);
std::ostream& operator<<(std::ostream& out, ExchangeError::Kind kind);

}  // namespace tessal_exchange

#pragma once

// Exchange instruction words, their advances and the nine-word exchange row.

#include <array>
#include <cstdint>
#include <expected>
#include <span>

#include "tessal_exchange/error.hpp"

namespace tessal_exchange {

// One tile's part in one exchange: entry word, instruction words, return word,
// then zeros up to nine words.
using ExchangeRow = std::array<std::uint32_t, 9>;

inline constexpr std::uint32_t entry_word = 0x41800003;
inline constexpr std::uint32_t return_word = 0x43A00000;
// OR-ed into the PIC delay of a receiver row: marks the word that receives.
inline constexpr std::uint32_t receive_mark = 0x14000;
// First byte address of the receive window; a receiver row addresses 0x2000 words from it.
inline constexpr std::uint32_t receive_window_base = 0x50000;
inline constexpr std::uint32_t max_word_count = 4148;

[[nodiscard]] std::uint32_t delay(std::uint32_t cycles);
[[nodiscard]] std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c);
[[nodiscard]] std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b, std::uint32_t c);
[[nodiscard]] std::uint32_t send_off(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word);
[[nodiscard]] std::expected<std::uint32_t, ExchangeError> encode_send(std::uint32_t count_minus_one,
                                                                      std::uint32_t direction,
                                                                      std::uint32_t base_word);

[[nodiscard]] std::uint32_t instruction_advance(std::uint32_t instruction);
[[nodiscard]] std::expected<void, ExchangeError> set_instruction_advance(std::uint32_t& instruction,
                                                                         std::uint32_t advance);
[[nodiscard]] std::expected<void, ExchangeError> validate_count(std::uint32_t count);
[[nodiscard]] std::expected<std::uint32_t, ExchangeError> plan_event_cycles(std::span<const std::uint32_t> row);

[[nodiscard]] std::int32_t route_displacement(std::uint16_t source, std::uint16_t destination);
[[nodiscard]] std::int32_t time_to_mux(std::uint16_t source, std::uint16_t destination);

[[nodiscard]] std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t byte_address);
[[nodiscard]] std::expected<void, ExchangeError> patch_multicast_receiver_address(ExchangeRow& row,
                                                                                  std::uint32_t byte_address);

}  // namespace tessal_exchange

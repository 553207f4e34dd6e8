#include "tessal_exchange/instruction_words.hpp"

#include <cstdlib>
#include <limits>

namespace tessal_exchange {

namespace {

// Kind tests: each kind is recognised by a fixed pattern under a mask.
constexpr std::uint32_t delay_mask = 0xFFF80000;
constexpr std::uint32_t delay_pattern = 0x40A00000;
constexpr std::uint32_t pic_mask = 0xFC000000;
constexpr std::uint32_t pic_pattern = 0x60000000;
constexpr std::uint32_t xpic_pattern = 0x64000000;
constexpr std::uint32_t send_mask = 0xF8000000;
constexpr std::uint32_t send_off_pattern = 0x70000000;
constexpr std::uint32_t send_pattern = 0x78000000;
// A PIC delay carrying the receive mark (bits 14 and 16 of its `c` field).
constexpr std::uint32_t marked_pic_mask = pic_mask | receive_mark;
constexpr std::uint32_t marked_pic_pattern = pic_pattern | receive_mark;

// Field widths and positions.
constexpr std::uint32_t delay_cycles_mask = 0x7FFFF;  // bits 0-18
constexpr std::uint32_t pic_a_shift = 19;             // bits 19-25
constexpr std::uint32_t pic_a_mask = 0x7F;
constexpr std::uint32_t pic_b_shift = 18;
constexpr std::uint32_t pic_c_mask = 0x3FFFF;  // bits 0-17
constexpr std::uint32_t xpic_a_shift = 14;     // bits 14-25
constexpr std::uint32_t xpic_a_mask = 0xFFF;
constexpr std::uint32_t xpic_b_shift = 13;
constexpr std::uint32_t xpic_c_mask = 0x1FFF;  // bits 0-12
constexpr std::uint32_t send_count_shift = 21;  // bits 21-26
constexpr std::uint32_t send_count_mask = 0x3F;
constexpr std::uint32_t send_base_shift = 3;  // bits 3-20
constexpr std::uint32_t send_base_mask = 0x3FFFF;
constexpr std::uint32_t direction_mask = 0x7;  // bits 0-2
// The send-off splits its 12-bit count: low six bits at 21-26, high six at 14-19.
constexpr std::uint32_t send_off_high_shift = 14;
constexpr std::uint32_t send_off_base_mask = 0x7FF;  // bits 3-13

// The receive window holds 0x2000 words; the receiver row stores the word
// offset into it in bits 0-12 of the marked PIC delay.
constexpr std::uint32_t receive_offset_mask = 0x1FFF;

[[nodiscard]] constexpr bool is_delay(std::uint32_t word) { return (word & delay_mask) == delay_pattern; }
[[nodiscard]] constexpr bool is_pic(std::uint32_t word) { return (word & pic_mask) == pic_pattern; }
[[nodiscard]] constexpr bool is_xpic(std::uint32_t word) { return (word & pic_mask) == xpic_pattern; }
[[nodiscard]] constexpr bool is_send_off(std::uint32_t word) { return (word & send_mask) == send_off_pattern; }
[[nodiscard]] constexpr bool is_send(std::uint32_t word) { return (word & send_mask) == send_pattern; }

[[nodiscard]] constexpr std::uint32_t replace_field(std::uint32_t word, std::uint32_t mask, std::uint32_t shift,
                                                    std::uint32_t value) {
  return (word & ~(mask << shift)) | ((value & mask) << shift);
}

}  // namespace

std::uint32_t delay(std::uint32_t cycles) { return delay_pattern | (cycles & delay_cycles_mask); }

std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return pic_pattern | ((a & pic_a_mask) << pic_a_shift) | ((b & 1U) << pic_b_shift) | (c & pic_c_mask);
}

std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return xpic_pattern | ((a & xpic_a_mask) << xpic_a_shift) | ((b & 1U) << xpic_b_shift) | (c & xpic_c_mask);
}

std::uint32_t send_off(std::uint32_t count_minus_one, std::uint32_t direction, std::uint32_t base_word) {
  const std::uint32_t low_count = count_minus_one & 0x3F;
  const std::uint32_t high_count = (count_minus_one >> 6) & 0x3F;
  return send_off_pattern | (low_count << send_count_shift) | (high_count << send_off_high_shift) |
         ((base_word & send_off_base_mask) << send_base_shift) | (direction & direction_mask);
}

std::expected<std::uint32_t, ExchangeError> encode_send(std::uint32_t count_minus_one, std::uint32_t direction,
                                                        std::uint32_t base_word) {
  if (count_minus_one > send_count_mask || direction > direction_mask || base_word > send_base_mask) {
    return std::unexpected(ExchangeError::schedule("send instruction operand"));
  }
  return send_pattern | (count_minus_one << send_count_shift) | (base_word << send_base_shift) | direction;
}

std::uint32_t instruction_advance(std::uint32_t instruction) {
  if (instruction == entry_word || instruction == return_word) return 0;
  if (is_delay(instruction)) return (instruction & delay_cycles_mask) + 1;
  if (is_pic(instruction)) return ((instruction >> pic_a_shift) & pic_a_mask) + 1;
  if (is_xpic(instruction)) return ((instruction >> xpic_a_shift) & xpic_a_mask) + 1;
  if (is_send_off(instruction)) {
    const std::uint32_t low_count = (instruction >> send_count_shift) & 0x3F;
    const std::uint32_t high_count = (instruction >> send_off_high_shift) & 0x3F;
    return ((high_count << 6) | low_count) + 1;
  }
  if (is_send(instruction)) return ((instruction >> send_count_shift) & send_count_mask) + 1;
  return 0;
}

std::expected<void, ExchangeError> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance) {
  if (advance == 0) return std::unexpected(ExchangeError::schedule("zero event advance"));
  const std::uint32_t cycles_minus_one = advance - 1;
  if (is_delay(instruction)) {
    if (cycles_minus_one > delay_cycles_mask) {
      return std::unexpected(ExchangeError::schedule("delay advance overflow"));
    }
    instruction = replace_field(instruction, delay_cycles_mask, 0, cycles_minus_one);
    return {};
  }
  if (is_pic(instruction)) {
    if (cycles_minus_one > pic_a_mask) {
      return std::unexpected(ExchangeError::schedule("PIC delay advance overflow"));
    }
    instruction = replace_field(instruction, pic_a_mask, pic_a_shift, cycles_minus_one);
    return {};
  }
  if (is_xpic(instruction)) {
    if (cycles_minus_one > xpic_a_mask) {
      return std::unexpected(ExchangeError::schedule("XPIC delay advance overflow"));
    }
    instruction = replace_field(instruction, xpic_a_mask, xpic_a_shift, cycles_minus_one);
    return {};
  }
  return std::unexpected(ExchangeError::schedule("first scheduled event is not a delay"));
}

std::expected<void, ExchangeError> validate_count(std::uint32_t count) {
  if (count < 1 || count > max_word_count) return std::unexpected(ExchangeError::count(count));
  return {};
}

std::expected<std::uint32_t, ExchangeError> plan_event_cycles(std::span<const std::uint32_t> row) {
  std::uint64_t total = 0;
  for (const std::uint32_t word : row) {
    total += instruction_advance(word);
    if (total > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(ExchangeError::schedule("plan event horizon overflow"));
    }
  }
  return static_cast<std::uint32_t>(total);
}

namespace {

// The fields of a physical tile number that the fabric's timing reads.
struct TilePosition {
  std::int32_t column_group;    // bits 2-5
  std::int32_t side;            // bit 5
  std::int32_t column_parity;   // bit 0
  std::int32_t lane;            // bit 1
  std::int32_t row;             // bits 6-10
  std::int32_t folded;          // column group folded about the middle: 0..7
  std::int32_t column_in_side;  // bits 2-4
};

[[nodiscard]] constexpr TilePosition position_of(std::uint16_t physical) {
  const std::int32_t p = physical;
  const std::int32_t group = (p >> 2) & 15;
  return TilePosition{
      .column_group = group,
      .side = (p >> 5) & 1,
      .column_parity = p & 1,
      .lane = (p >> 1) & 1,
      .row = (p >> 6) & 31,
      .folded = group <= 7 ? group : 15 - group,
      .column_in_side = (p >> 2) & 7,
  };
}

[[nodiscard]] constexpr std::int32_t displacement_between(const TilePosition& source, const TilePosition& destination) {
  // The final hop depends on the destination's lane and on whether its
  // column parity matches its side.
  const bool parity_matches_side = destination.side == destination.column_parity;
  std::int32_t last_hop = 0;
  if (destination.lane == 0) {
    last_hop = parity_matches_side ? 1 : 5;
  } else {
    last_hop = parity_matches_side ? 2 : 4;
  }
  return 6 * (destination.folded - (source.folded + (source.side ^ source.column_parity))) + last_hop;
}

}  // namespace

std::int32_t route_displacement(std::uint16_t source, std::uint16_t destination) {
  return displacement_between(position_of(source), position_of(destination));
}

std::int32_t time_to_mux(std::uint16_t source, std::uint16_t destination) {
  const TilePosition s = position_of(source);
  const TilePosition d = position_of(destination);
  const std::int32_t side_term = s.side == d.side ? s.column_in_side + 1 : 16 - s.column_in_side;
  return 8 * s.side + 3 - d.column_group + 4 * s.folded - 4 * d.folded + side_term + 2 * (s.row - d.row) +
         std::abs(displacement_between(s, d)) - 34;
}

std::expected<void, ExchangeError> patch_sender_address(ExchangeRow& row, std::uint32_t byte_address) {
  const std::uint32_t word_address = byte_address / 4;
  if (byte_address % 4 != 0 || word_address > send_base_mask) {
    return std::unexpected(ExchangeError::address(byte_address));
  }
  for (std::uint32_t& word : row) {
    if (is_send(word)) {
      word = replace_field(word, send_base_mask, send_base_shift, word_address);
      return {};
    }
  }
  return std::unexpected(ExchangeError::address(byte_address));
}

std::expected<void, ExchangeError> patch_multicast_receiver_address(ExchangeRow& row, std::uint32_t byte_address) {
  if (byte_address < receive_window_base || byte_address % 4 != 0) {
    return std::unexpected(ExchangeError::address(byte_address));
  }
  const std::uint32_t offset = (byte_address - receive_window_base) / 4;
  if (offset > receive_offset_mask) return std::unexpected(ExchangeError::address(byte_address));
  for (std::uint32_t& word : row) {
    if ((word & marked_pic_mask) == marked_pic_pattern) {
      word = replace_field(word, receive_offset_mask, 0, offset);
      return {};
    }
  }
  return std::unexpected(ExchangeError::address(byte_address));
}

}  // namespace tessal_exchange

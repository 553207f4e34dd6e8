#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/topology.hpp"

namespace {

namespace tx = tessal_exchange;
using tx::ExchangeError;
using tx::ExchangeRow;

const std::expected<void, ExchangeError> ok{};

std::unexpected<ExchangeError> schedule_error(const char* message) {
  return std::unexpected(ExchangeError::schedule(message));
}

// A sender row and a receiver row as the multicast planner makes them
// (count 4, receive cycle 3, row term 0, sender physical 0).
constexpr ExchangeRow sender_row{0x41800003, 0x40A0001E, 0x78600003, 0x43A00000, 0, 0, 0, 0, 0};
constexpr ExchangeRow receiver_row{0x41800003, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, 0x43A00000, 0, 0, 0};

TEST(EncoderTest, WordsAndFieldTruncation) {
  struct Case {
    const char* what;
    std::uint32_t word;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"delay(0)", tx::delay(0), 0x40A00000},
      {"delay(0x7FFFF)", tx::delay(0x7FFFF), 0x40A7FFFF},
      {"delay keeps 19 bits", tx::delay(0x80003), 0x40A00003},
      {"pic all fields", tx::delay_pic(0x7F, 1, 0x3FFFF), 0x63FFFFFF},
      {"pic keeps 7/1/18 bits", tx::delay_pic(0x85, 2, 0x40007), 0x60280007},
      {"xpic all fields", tx::delay_xpic(0xFFF, 1, 0x1FFF), 0x67FFFFFF},
      {"xpic keeps 12/1/13 bits", tx::delay_xpic(0x1005, 2, 0x2007), 0x64014007},
      {"send-off splits its count", tx::send_off(4083, 3, 0), 0x766FC003},
      {"send-off all fields", tx::send_off(0xFFF, 7, 0x7FF), 0x77EFFFFF},
      {"send-off keeps 12/3/11 bits", tx::send_off(0x1001, 0xB, 0x801), 0x7020000B},
      {"send-off of count 1", tx::send_off(0, 3, 0), 0x70000003},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.word, c.expected) << c.what << ": got 0x" << std::hex << c.word;
  }
}

TEST(EncoderTest, SendRejectsOperandsThatDoNotFit) {
  EXPECT_EQ(tx::encode_send(63, 7, 0x3FFFF), 0x7FFFFFFF);
  EXPECT_EQ(tx::encode_send(0, 0, 0), 0x78000000);
  EXPECT_EQ(tx::encode_send(3, 3, 0), 0x78600003);
  EXPECT_EQ(tx::encode_send(64, 0, 0), schedule_error("send instruction operand"));
  EXPECT_EQ(tx::encode_send(0, 8, 0), schedule_error("send instruction operand"));
  EXPECT_EQ(tx::encode_send(0, 0, 0x40000), schedule_error("send instruction operand"));
}

TEST(AdvanceTest, AdvanceOfEveryKind) {
  struct Case {
    const char* what;
    std::uint32_t word;
    std::uint32_t advance;
  };
  const Case cases[] = {
      {"entry word", tx::entry_word, 0},
      {"return word", tx::return_word, 0},
      {"zero", 0, 0},
      {"unknown word", 0x12345678, 0},
      {"delay(0)", tx::delay(0), 1},
      {"delay(0x7FFFF)", tx::delay(0x7FFFF), 0x80000},
      {"pic a=0x7F", tx::delay_pic(0x7F, 0, 0), 128},
      {"pic with mark and c", tx::delay_pic(5, 1, 0x3FFFF), 6},
      {"xpic a=0xFFF", tx::delay_xpic(0xFFF, 0, 0), 4096},
      {"xpic with c", tx::delay_xpic(7, 1, 0x1FFF), 8},
      {"send-off 0xFFF", tx::send_off(0xFFF, 0, 0), 4096},
      {"send-off 4095 direction 3", tx::send_off(4095, 3, 0), 4096},
      {"send-off high bits only", tx::send_off(0x40, 0, 0), 0x41},
      {"send 63", *tx::encode_send(63, 0, 0), 64},
      {"send 0 with base", *tx::encode_send(0, 3, 0x3FFFF), 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tx::instruction_advance(c.word), c.advance) << c.what;
  }
  EXPECT_EQ(tx::send_off(4095, 3, 0) & 7U, 3U);
}

TEST(AdvanceTest, SetAdvanceRewritesOnlyTheAdvanceField) {
  struct Case {
    const char* what;
    std::uint32_t word;
    std::uint32_t advance;
    std::expected<std::uint32_t, ExchangeError> expected;
  };
  const std::uint32_t send3 = *tx::encode_send(2, 3, 0);
  const Case cases[] = {
      {"delay to 1", tx::delay(99), 1, tx::delay(0)},
      {"delay to its longest", tx::delay(99), 0x80000, tx::delay(0x7FFFF)},
      {"delay too long", tx::delay(99), 0x80001, schedule_error("delay advance overflow")},
      {"pic keeps b and c", tx::delay_pic(5, 1, 0x3FFFF), 128, tx::delay_pic(0x7F, 1, 0x3FFFF)},
      {"pic too long", tx::delay_pic(5, 1, 0x3FFFF), 129, schedule_error("PIC delay advance overflow")},
      {"xpic keeps b and c", tx::delay_xpic(5, 1, 0x1234), 4096, tx::delay_xpic(0xFFF, 1, 0x1234)},
      {"xpic too long", tx::delay_xpic(5, 1, 0x1234), 4097, schedule_error("XPIC delay advance overflow")},
      {"zero on a delay", tx::delay(99), 0, schedule_error("zero event advance")},
      {"zero before the kind test", tx::return_word, 0, schedule_error("zero event advance")},
      {"send", send3, 1, schedule_error("first scheduled event is not a delay")},
      {"send-off", tx::send_off(9, 3, 0), 5, schedule_error("first scheduled event is not a delay")},
      {"entry word", tx::entry_word, 5, schedule_error("first scheduled event is not a delay")},
      {"zero word", 0, 5, schedule_error("first scheduled event is not a delay")},
  };
  for (const Case& c : cases) {
    std::uint32_t word = c.word;
    const auto result = tx::set_instruction_advance(word, c.advance);
    if (c.expected) {
      EXPECT_EQ(result, ok) << c.what;
      EXPECT_EQ(word, *c.expected) << c.what << ": got 0x" << std::hex << word;
      EXPECT_EQ(tx::instruction_advance(word), c.advance) << c.what;
    } else {
      EXPECT_EQ(result, std::unexpected(c.expected.error())) << c.what;
      EXPECT_EQ(word, c.word) << c.what << ": a failure must leave the word alone";
    }
  }
}

TEST(AdvanceTest, ValidateCountAcceptsOneTo4148) {
  EXPECT_EQ(tx::validate_count(1), ok);
  EXPECT_EQ(tx::validate_count(4148), ok);
  EXPECT_EQ(tx::validate_count(0), std::unexpected(ExchangeError::count(0)));
  EXPECT_EQ(tx::validate_count(4149), std::unexpected(ExchangeError::count(4149)));
  EXPECT_EQ(tx::validate_count(0xFFFFFFFF), std::unexpected(ExchangeError::count(0xFFFFFFFF)));
}

TEST(AdvanceTest, PlanEventCyclesSumsAdvancesWithoutWrapping) {
  EXPECT_EQ(tx::plan_event_cycles({}), 0U);
  EXPECT_EQ(tx::plan_event_cycles(sender_row), 35U);
  EXPECT_EQ(tx::plan_event_cycles(receiver_row), 65U);

  std::vector<std::uint32_t> longest(8191, tx::delay(0x7FFFF));
  EXPECT_EQ(tx::plan_event_cycles(longest), 4294443008U);
  longest.push_back(tx::delay(0x7FFFF));
  EXPECT_EQ(tx::plan_event_cycles(longest), schedule_error("plan event horizon overflow"));
}

TEST(TimingTest, ReferenceValues) {
  struct Case {
    std::uint16_t source;
    std::uint16_t destination;
    std::int32_t displacement;
    std::int32_t mux;
  };
  const Case cases[] = {
      {0, 2, 2, -28},
      {0, 64, 1, -31},
      {0, 1, 5, -25},
      {832, 1, 5, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tx::route_displacement(c.source, c.destination), c.displacement) << c.source << " -> " << c.destination;
    EXPECT_EQ(tx::time_to_mux(c.source, c.destination), c.mux) << c.source << " -> " << c.destination;
  }
  EXPECT_EQ(tx::time_to_mux(0, 1471), -72);
  EXPECT_EQ(tx::time_to_mux(1471, 0), 31);
}

TEST(TimingTest, RangesOverEveryPairOfM917Tiles) {
  const tx::Topology topology = tx::Topology::m917();
  std::int32_t displacement_min = 0;
  std::int32_t displacement_max = 0;
  std::int32_t mux_min = 0;
  std::int32_t mux_max = 0;
  for (const std::uint16_t source : topology.logical_to_physical) {
    for (const std::uint16_t destination : topology.logical_to_physical) {
      if (source == destination) continue;
      const std::int32_t displacement = tx::route_displacement(source, destination);
      const std::int32_t mux = tx::time_to_mux(source, destination);
      displacement_min = std::min(displacement_min, displacement);
      displacement_max = std::max(displacement_max, displacement);
      mux_min = std::min(mux_min, mux);
      mux_max = std::max(mux_max, mux);
    }
  }
  EXPECT_EQ(displacement_min, -47);
  EXPECT_EQ(displacement_max, 47);
  EXPECT_EQ(mux_min, -78);
  EXPECT_EQ(mux_max, 112);
}

TEST(PatchTest, SenderAddressGoesIntoTheFirstSend) {
  struct Case {
    std::uint32_t byte_address;
    std::expected<ExchangeRow, ExchangeError> expected;
  };
  ExchangeRow patched_top = sender_row;
  patched_top[2] = 0x787FFFFB;  // word address 0x3FFFF
  ExchangeRow patched_low = sender_row;
  patched_low[2] = 0x78600023;  // word address 4
  const Case cases[] = {
      {0xFFFFC, patched_top},
      {0x10, patched_low},
      {0, sender_row},
      {0x100000, std::unexpected(ExchangeError::address(0x100000))},
      {0x102, std::unexpected(ExchangeError::address(0x102))},
      {0xFFFFFFFF, std::unexpected(ExchangeError::address(0xFFFFFFFF))},
  };
  for (const Case& c : cases) {
    ExchangeRow row = sender_row;
    const auto result = tx::patch_sender_address(row, c.byte_address);
    if (c.expected) {
      EXPECT_EQ(result, ok) << c.byte_address;
      EXPECT_EQ(row, *c.expected) << c.byte_address;
    } else {
      EXPECT_EQ(result, std::unexpected(c.expected.error())) << c.byte_address;
      EXPECT_EQ(row, sender_row) << c.byte_address;
    }
  }
}

TEST(PatchTest, SenderPatchSkipsSendOffsAndNeedsASend) {
  // A send-off ahead of two sends: only the first send changes.
  ExchangeRow row{tx::entry_word, 0x70000003, 0x78600003, 0x78600003, tx::return_word, 0, 0, 0, 0};
  EXPECT_EQ(tx::patch_sender_address(row, 0x20), ok);
  EXPECT_EQ(row, (ExchangeRow{tx::entry_word, 0x70000003, 0x78600043, 0x78600003, tx::return_word, 0, 0, 0, 0}));

  ExchangeRow no_send = receiver_row;
  EXPECT_EQ(tx::patch_sender_address(no_send, 0x20), std::unexpected(ExchangeError::address(0x20)));
  EXPECT_EQ(no_send, receiver_row);
}

TEST(PatchTest, ReceiverAddressGoesIntoTheMarkedPicDelay) {
  struct Case {
    std::uint32_t byte_address;
    std::expected<std::uint32_t, ExchangeError> marked_word;
  };
  const Case cases[] = {
      {0x50010, 0x61794004},
      {0x50000, 0x61794000},
      {0x57FFC, 0x61795FFF},
      {0x4FFFC, std::unexpected(ExchangeError::address(0x4FFFC))},
      {0x50002, std::unexpected(ExchangeError::address(0x50002))},
      {0x58000, std::unexpected(ExchangeError::address(0x58000))},
      {0, std::unexpected(ExchangeError::address(0))},
  };
  // Start from a row whose offset bits are all set, so that a patch must
  // replace them rather than OR into them.
  ExchangeRow start = receiver_row;
  start[3] = 0x61795FFF;
  for (const Case& c : cases) {
    ExchangeRow row = start;
    const auto result = tx::patch_multicast_receiver_address(row, c.byte_address);
    if (c.marked_word) {
      ExchangeRow expected = start;
      expected[3] = *c.marked_word;
      EXPECT_EQ(result, ok) << c.byte_address;
      EXPECT_EQ(row, expected) << c.byte_address;
    } else {
      EXPECT_EQ(result, std::unexpected(c.marked_word.error())) << c.byte_address;
      EXPECT_EQ(row, start) << c.byte_address;
    }
  }

  ExchangeRow fresh = receiver_row;
  EXPECT_EQ(tx::patch_multicast_receiver_address(fresh, 0x50010), ok);
  ExchangeRow expected = receiver_row;
  expected[3] = 0x61794004;
  EXPECT_EQ(fresh, expected);
}

TEST(PatchTest, ReceiverPatchNeedsBothMarkBits) {
  // Unmarked and half-marked PIC delays come first; only the marked one changes.
  const ExchangeRow start{tx::entry_word,
                          tx::delay_pic(3, 0, 0),
                          tx::delay_pic(3, 0, 0x4000),
                          tx::delay_pic(3, 0, 0x10000),
                          tx::delay_pic(3, 0, 0) | tx::receive_mark,
                          tx::return_word,
                          0,
                          0,
                          0};
  ExchangeRow row = start;
  EXPECT_EQ(tx::patch_multicast_receiver_address(row, 0x50008), ok);
  ExchangeRow expected = start;
  expected[4] |= 2;
  EXPECT_EQ(row, expected);

  ExchangeRow no_mark = sender_row;
  EXPECT_EQ(tx::patch_multicast_receiver_address(no_mark, 0x50000), std::unexpected(ExchangeError::address(0x50000)));
  EXPECT_EQ(no_mark, sender_row);
}

}  // namespace

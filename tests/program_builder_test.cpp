#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <utility>
#include <vector>

#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/program_builder.hpp"

namespace {

namespace tx = tessal_exchange;
using tx::ExchangeError;
using tx::ExchangeRow;
using tx::PlanProgramBuilder;
using Words = std::vector<std::uint32_t>;

const std::expected<void, ExchangeError> ok{};

std::unexpected<ExchangeError> schedule_error(const char* message) {
  return std::unexpected(ExchangeError::schedule(message));
}

// Rows of the multicast from tile 0 to tiles 1 and 2, four words: the sender
// row at offset 0 (send at cycle 31, 35 cycles) and at offset 40 (send at 71),
// and the first receiver's row (65 cycles).
constexpr ExchangeRow sender_at_31{0x41800003, 0x40A0001E, 0x78600003, 0x43A00000, 0, 0, 0, 0, 0};
constexpr ExchangeRow sender_at_71{0x41800003, 0x40A00046, 0x78600003, 0x43A00000, 0, 0, 0, 0, 0};
constexpr ExchangeRow receiver_65{0x41800003, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, 0x43A00000, 0, 0, 0};

class PlanProgramBuilderTest : public ::testing::Test {
 protected:
  // A builder holding both sender rows: 75 cycles.
  static PlanProgramBuilder two_sends() {
    PlanProgramBuilder builder;
    EXPECT_EQ(builder.append_scheduled_row(sender_at_31), ok);
    EXPECT_EQ(builder.append_scheduled_row(sender_at_71), ok);
    return builder;
  }
};

TEST_F(PlanProgramBuilderTest, NewBuilderHoldsTheEntryWord) {
  EXPECT_EQ(PlanProgramBuilder{}, (PlanProgramBuilder{{0x41800003}, 0}));
}

TEST_F(PlanProgramBuilderTest, FinishFillsUpToTheHorizon) {
  struct Case {
    std::uint32_t horizon;
    Words program;
  };
  const Case cases[] = {
      {0, {0x41800003, 0x43A00000}},
      {1, {0x41800003, 0x40A00000, 0x43A00000}},
      {5, {0x41800003, 0x40A00004, 0x43A00000}},
      {0x80000, {0x41800003, 0x40A7FFFF, 0x43A00000}},
      // Longer fills take several delays of at most 0x80000 cycles each.
      {0x80001, {0x41800003, 0x40A7FFFF, 0x40A00000, 0x43A00000}},
      {0x80000 + 5, {0x41800003, 0x40A7FFFF, 0x40A00004, 0x43A00000}},
      {3 * 0x80000, {0x41800003, 0x40A7FFFF, 0x40A7FFFF, 0x40A7FFFF, 0x43A00000}},
  };
  for (const Case& c : cases) {
    const auto program = PlanProgramBuilder{}.finish(c.horizon);
    EXPECT_EQ(program, c.program) << "horizon " << c.horizon;
    EXPECT_EQ(tx::plan_event_cycles(c.program), c.horizon) << "horizon " << c.horizon;
  }
}

TEST_F(PlanProgramBuilderTest, FinishReachesTheLargestHorizon) {
  const auto program = PlanProgramBuilder{}.finish(0xFFFFFFFF);
  ASSERT_TRUE(program.has_value()) << program.error();
  EXPECT_EQ(program->size(), 8194U);  // entry, 8191 full delays, the rest, return
  EXPECT_EQ(program->at(8192), tx::delay(0x7FFFE));
  EXPECT_EQ(tx::plan_event_cycles(*program), 0xFFFFFFFFU);
}

TEST_F(PlanProgramBuilderTest, LaterRowsKeepTheirPlannedCycles) {
  PlanProgramBuilder builder;
  ASSERT_EQ(builder.append_scheduled_row(sender_at_31), ok);
  EXPECT_EQ(builder, (PlanProgramBuilder{{0x41800003, 0x40A0001E, 0x78600003}, 35}));
  // The lead delay of 71 cycles shrinks to 36, so the send still begins at 71.
  ASSERT_EQ(builder.append_scheduled_row(sender_at_71), ok);
  EXPECT_EQ(builder, (PlanProgramBuilder{{0x41800003, 0x40A0001E, 0x78600003, 0x40A00023, 0x78600003}, 75}));
}

TEST_F(PlanProgramBuilderTest, FinishAfterRows) {
  struct Case {
    std::uint32_t horizon;
    std::expected<Words, ExchangeError> program;
  };
  const Words body{0x41800003, 0x40A0001E, 0x78600003, 0x40A00023, 0x78600003};
  const auto with = [&body](std::initializer_list<std::uint32_t> tail) {
    Words words = body;
    words.insert(words.end(), tail);
    return words;
  };
  const Case cases[] = {
      {100, with({0x40A00018, 0x43A00000})},
      {75, with({0x43A00000})},
      {75 + 0x80001, with({0x40A7FFFF, 0x40A00000, 0x43A00000})},
      {74, schedule_error("plan horizon precedes tile events")},
      {0, schedule_error("plan horizon precedes tile events")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(two_sends().finish(c.horizon), c.program) << "horizon " << c.horizon;
  }
}

TEST_F(PlanProgramBuilderTest, RejectedRowsLeaveTheBuilderUnchanged) {
  const std::uint32_t send3 = *tx::encode_send(2, 3, 0);
  // One cycle taken: entry word, delay(0), return word.
  PlanProgramBuilder one_cycle;
  ASSERT_EQ(one_cycle.append_scheduled_row({0x41800003, tx::delay(0), 0x43A00000}), ok);
  PlanProgramBuilder after_receive;
  ASSERT_EQ(after_receive.append_scheduled_row(receiver_65), ok);

  struct Case {
    const char* what;
    PlanProgramBuilder builder;
    ExchangeRow row;
    ExchangeError error;
  };
  const Case cases[] = {
      {"lead of 31 against 75 taken", two_sends(), sender_at_31,
       ExchangeError::schedule("overlapping tile exchange roles")},
      {"send at cycle 0 after 65 cycles", after_receive,
       {0x41800003, 0x78000003, 0x40A00004, 0x43A00000},
       ExchangeError::schedule("overlapping tile exchange roles")},
      {"send of 3 words after 1 cycle", one_cycle, {0x41800003, send3, 0x43A00000},
       ExchangeError::schedule("first scheduled event is not a delay")},
      {"word 0 not the entry word", PlanProgramBuilder{}, {0x40A00004, 0x41800003, 0x43A00000},
       ExchangeError::schedule("exchange row entry")},
      {"zero row", PlanProgramBuilder{}, {}, ExchangeError::schedule("exchange row entry")},
      {"no return word", PlanProgramBuilder{},
       {0x41800003, tx::delay(1), tx::delay(2), tx::delay(3), tx::delay(4), tx::delay(5), tx::delay(6), tx::delay(7),
        tx::delay(8)},
       ExchangeError::schedule("exchange row return")},
      {"no timed word after events", two_sends(), {0x41800003, 0x43A00000},
       ExchangeError::schedule("exchange row has no timed event")},
      {"only untimed words after events", two_sends(), {0x41800003, 0x12345678, 0x43A00000, tx::delay(200)},
       ExchangeError::schedule("exchange row has no timed event")},
  };
  for (const Case& c : cases) {
    PlanProgramBuilder builder = c.builder;
    EXPECT_EQ(builder.append_scheduled_row(c.row), std::unexpected(c.error)) << c.what;
    EXPECT_EQ(builder, c.builder) << c.what;
  }
}

TEST_F(PlanProgramBuilderTest, BodyEndsAtTheFirstReturnWord) {
  struct Case {
    const char* what;
    PlanProgramBuilder builder;
    ExchangeRow row;
    PlanProgramBuilder expected;
  };
  const Case cases[] = {
      {"empty row on a new builder", PlanProgramBuilder{}, {0x41800003, 0x43A00000}, PlanProgramBuilder{}},
      {"words after the return word are ignored",
       PlanProgramBuilder{},
       {0x41800003, tx::delay(4), 0x43A00000, tx::delay(9), 0x43A00000},
       {{0x41800003, tx::delay(4)}, 5}},
      {"untimed words stay, the first timed word is shortened",
       two_sends(),
       {0x41800003, 0x12345678, tx::delay(99), tx::delay(2), 0x43A00000},
       {{0x41800003, 0x40A0001E, 0x78600003, 0x40A00023, 0x78600003, 0x12345678, tx::delay(24), tx::delay(2)},
        103}},
      {"a PIC delay is shortened too",
       two_sends(),
       {0x41800003, tx::delay_pic(99, 0, 0) | tx::receive_mark, 0x43A00000},
       {{0x41800003, 0x40A0001E, 0x78600003, 0x40A00023, 0x78600003, tx::delay_pic(24, 0, 0) | tx::receive_mark},
        100}},
      {"untimed words so far leave the next row as it is",
       {{0x41800003, 0x12345678}, 0},
       sender_at_31,
       {{0x41800003, 0x12345678, 0x40A0001E, 0x78600003}, 35}},
  };
  for (const Case& c : cases) {
    PlanProgramBuilder builder = c.builder;
    EXPECT_EQ(builder.append_scheduled_row(c.row), ok) << c.what;
    EXPECT_EQ(builder, c.expected) << c.what;
    EXPECT_EQ(tx::plan_event_cycles(builder.words), builder.event_cycles) << c.what;
  }
}

TEST_F(PlanProgramBuilderTest, DebugTextListsWordsAndCycles) {
  std::ostringstream out;
  out << PlanProgramBuilder{{0x41800003, 5}, 6};
  EXPECT_EQ(out.str(), "PlanProgramBuilder { words: [1098907651, 5], event_cycles: 6 }");
}

}  // namespace

#include <gtest/gtest.h>

// GCC 12 at -O2 reports the vectors inside the brace-initialised case tables as
// "maybe uninitialized" on its exception clean-up path, a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/multicast.hpp"
#include "tessal_exchange/topology.hpp"

namespace {

namespace tx = tessal_exchange;
namespace logging = tessal_exchange::logging;
using tx::ExchangeError;
using tx::ExchangeRow;
using tx::MulticastPlan;
using tx::Topology;

class MulticastTest : public ::testing::Test {
 protected:
  static const Topology& m917() {
    static const Topology topology = Topology::m917();
    return topology;
  }
};

struct Request {
  std::uint16_t sender = 0;
  std::vector<std::uint16_t> receivers;
  std::uint32_t count = 0;
  std::uint32_t schedule_offset = 0;
};

std::ostream& operator<<(std::ostream& out, const Request& request) {
  out << "sender " << request.sender << ", receivers [";
  for (const std::uint16_t receiver : request.receivers) out << receiver << ' ';
  return out << "], count " << request.count << ", offset " << request.schedule_offset;
}

TEST_F(MulticastTest, PlansRowsWordForWord) {
  struct Case {
    Request request;
    MulticastPlan plan;
  };
  const Case cases[] = {
      // Physical 0 to 2 and 64, mux times -28 and -31: the sender starts at 31.
      {{0, {1, 2}, 4, 0},
       {{0x41800003, 0x40A0001E, 0x78600003, 0x43A00000},
        {{0x41800003, 0x6400C000, 0x6400C640, 0x61794000, 0x40A00008, 0x43A00000},
         {0x41800003, 0x64000000, 0x6400C640, 0x61894000, 0x40A00008, 0x43A00000}}}},
      // The latest start cycle.
      {{0, {1, 2}, 4, 4064},
       {{0x41800003, 0x40A00FFE, 0x78600003, 0x43A00000},
        {{0x41800003, 0x67F8C000, 0x6400C640, 0x61794000, 0x40A00008, 0x43A00000},
         {0x41800003, 0x67F80000, 0x6400C640, 0x61894000, 0x40A00008, 0x43A00000}}}},
      // A positive mux time: no lead, and a tail delay up to six cycles.
      {{26, {90}, 1, 0},
       {{0x41800003, 0x78000003, 0x40A00004, 0x43A00000},
        {{0x41800003, 0x64004340, 0x64000640, 0x61914000, 0x40A00005, 0x43A00000}}}},
      // The latest receive cycle.
      {{26, {90}, 1, 4094},
       {{0x41800003, 0x40A00FFD, 0x78000003, 0x43A00000},
        {{0x41800003, 0x67FFC340, 0x64000640, 0x61914000, 0x40A00005, 0x43A00000}}}},
      // A tail delay of advance 1 when the send ends at cycle 5.
      {{26, {90}, 3, 2},
       {{0x41800003, 0x40A00001, 0x78400003, 0x40A00000, 0x43A00000},
        {{0x41800003, 0x6400C340, 0x64008640, 0x61814000, 0x40A00007, 0x43A00000}}}},
      // Counts 51, 52 and 53 switch the receiver layout.
      {{0, {1}, 51, 0},
       {{0x41800003, 0x40A0001B, 0x7E400003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x640C8640, 0x60014000, 0x40A00037, 0x43A00000}}}},
      {{0, {1}, 52, 0},
       {{0x41800003, 0x40A0001B, 0x7E600003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x61914000, 0x64000640, 0x40A00038, 0x43A00000}}}},
      {{0, {1}, 53, 0},
       {{0x41800003, 0x40A0001B, 0x7E800003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x61994000, 0x64000640, 0x40A00038, 0x43A00000}}}},
      // One send carries 64 words; the rest go in a send-off.
      {{0, {1}, 64, 0},
       {{0x41800003, 0x40A0001B, 0x7FE00003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x61994000, 0x6402C640, 0x40A00038, 0x43A00000}}}},
      {{0, {1}, 65, 0},
       {{0x41800003, 0x40A0001B, 0x7FE00003, 0x70000003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x61994000, 0x64030640, 0x40A00038, 0x43A00000}}}},
      {{0, {1}, 4148, 0},
       {{0x41800003, 0x40A0001B, 0x7FE00003, 0x766FC003, 0x43A00000},
        {{0x41800003, 0x64000000, 0x61994000, 0x67FFC640, 0x40A00038, 0x43A00000}}}},
  };
  for (const Case& c : cases) {
    const Request& r = c.request;
    EXPECT_EQ(m917().multicast(r.sender, r.receivers, r.count, r.schedule_offset), c.plan) << r;
  }
}

TEST_F(MulticastTest, RowsLastTheirPlannedCycles) {
  struct Case {
    Request request;
    std::uint32_t sender_cycles;
    std::vector<std::uint32_t> receiver_cycles;
  };
  const Case cases[] = {
      {{0, {1, 2}, 4, 0}, 35, {65, 64}},     // S + N; R + W + N + 58
      {{26, {90}, 1, 0}, 6, {60}},           // short sends are padded to six cycles
      {{26, {90}, 3, 2}, 6, {64}},
      {{0, {1}, 51, 0}, 79, {109}},
      {{0, {1}, 52, 0}, 80, {110}},
      {{0, {1}, 53, 0}, 81, {111}},
      {{0, {1}, 4148, 0}, 4176, {4206}},
  };
  for (const Case& c : cases) {
    const Request& r = c.request;
    const auto plan = m917().multicast(r.sender, r.receivers, r.count, r.schedule_offset);
    ASSERT_TRUE(plan.has_value()) << r << ": " << plan.error();
    EXPECT_EQ(tx::plan_event_cycles(plan->sender), c.sender_cycles) << r;
    std::vector<std::uint32_t> receiver_cycles;
    for (const ExchangeRow& row : plan->receivers) receiver_cycles.push_back(*tx::plan_event_cycles(row));
    EXPECT_EQ(receiver_cycles, c.receiver_cycles) << r;
  }
}

TEST_F(MulticastTest, FailuresInCheckOrderEmitNothing) {
  struct Case {
    Request request;
    ExchangeError error;
  };
  const Case cases[] = {
      {{0, {1}, 0, 0}, ExchangeError::count(0)},
      {{0, {1}, 4149, 0}, ExchangeError::count(4149)},
      // Count before sender before receivers before timing.
      {{1472, {}, 0, 4065}, ExchangeError::count(0)},
      {{1472, {}, 4, 4065}, ExchangeError::tile(1472)},
      {{65535, {1472}, 4, 0}, ExchangeError::tile(65535)},
      {{0, {}, 4, 4065}, ExchangeError::receiver_set()},
      {{0, {0}, 4, 0}, ExchangeError::receiver_set()},
      {{0, {1, 1}, 4, 0}, ExchangeError::receiver_set()},
      {{0, {1472}, 4, 0}, ExchangeError::receiver_set()},
      {{0, {1, 2, 0}, 4, 0}, ExchangeError::receiver_set()},
      {{0, {1, 2, 3, 2}, 4, 4095}, ExchangeError::receiver_set()},
      // Start and receive cycles.
      {{0, {1, 2}, 4, 4065}, ExchangeError::schedule("multicast start cycle")},
      {{26, {90}, 1, 4096}, ExchangeError::schedule("multicast start cycle")},
      // A lead of 31 on top of this offset would wrap to 15 in 32 bits.
      {{0, {1, 2}, 4, 0xFFFFFFF0}, ExchangeError::schedule("multicast start cycle")},
      {{0, {1, 2}, 4, 0xFFFFFFFF}, ExchangeError::schedule("multicast start cycle")},
      {{26, {90}, 1, 4095}, ExchangeError::schedule("multicast receive cycle")},
  };
  for (const Case& c : cases) {
    const Request& r = c.request;
    logging::EventRecorder recorder;
    logging::ScopedSubscriber guard(recorder);
    EXPECT_EQ(m917().multicast(r.sender, r.receivers, r.count, r.schedule_offset), std::unexpected(c.error)) << r;
    EXPECT_EQ(recorder.events(), std::vector<logging::RecordedEvent>{}) << r;
  }
}

TEST_F(MulticastTest, SuccessEmitsOneDebugEvent) {
  logging::EventRecorder recorder;
  logging::ScopedSubscriber guard(recorder);
  const std::vector<std::uint16_t> receivers{1, 2};
  ASSERT_TRUE(m917().multicast(0, receivers, 4, 7).has_value());
  const std::vector<logging::RecordedEvent> expected{
      {"assembled multicast exchange",
       logging::Level::Debug,
       "tessal_exchange",
       {{"sender_logical", "0"}, {"receivers", "2"}, {"count", "4"}, {"schedule_offset", "7"}}}};
  EXPECT_EQ(recorder.events(), expected);
}

TEST_F(MulticastTest, EveryOtherTileAsReceiver) {
  // Sender 0 to all 1471 other tiles: rows in receiver order, each receiving at
  // start + mux time, and the earliest receiver at the offset.
  std::vector<std::uint16_t> receivers;
  for (std::uint16_t logical = 1471; logical >= 1; --logical) receivers.push_back(logical);
  const auto plan = m917().multicast(0, receivers, 4, 10);
  ASSERT_TRUE(plan.has_value()) << plan.error();
  ASSERT_EQ(plan->receivers.size(), receivers.size());
  const std::uint32_t start = tx::plan_event_cycles(plan->sender).value() - 4;
  std::uint32_t earliest = 4096;
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t physical = m917().logical_to_physical[receivers[i]];
    const auto receive = static_cast<std::uint32_t>(static_cast<std::int32_t>(start) + tx::time_to_mux(0, physical));
    ASSERT_EQ(plan->receivers[i][1], tx::delay_xpic(receive, 0, 0)) << "receiver " << receivers[i];
    earliest = std::min(earliest, receive);
  }
  EXPECT_EQ(earliest, 10U);

  receivers.push_back(700);
  EXPECT_EQ(m917().multicast(0, receivers, 4, 10), std::unexpected(ExchangeError::receiver_set()));
}

TEST_F(MulticastTest, LargeTopologyReceiverSet) {
  // More tiles than the set keeps inline; physical numbers repeat the m917 board.
  Topology large;
  for (std::uint32_t logical = 0; logical < 3000; ++logical) {
    large.logical_to_physical.push_back(m917().logical_to_physical[logical % 1472]);
  }
  const std::vector<std::uint16_t> distinct{2999, 2500, 1, 2049};
  const auto plan = large.multicast(2048, distinct, 4, 0);
  ASSERT_TRUE(plan.has_value()) << plan.error();
  EXPECT_EQ(plan->receivers.size(), 4U);

  const std::vector<std::uint16_t> repeated{2999, 2500, 2999};
  EXPECT_EQ(large.multicast(2048, repeated, 4, 0), std::unexpected(ExchangeError::receiver_set()));
  const std::vector<std::uint16_t> sender_again{2999, 2048};
  EXPECT_EQ(large.multicast(2048, sender_again, 4, 0), std::unexpected(ExchangeError::receiver_set()));
  const std::vector<std::uint16_t> beyond{3000};
  EXPECT_EQ(large.multicast(2048, beyond, 4, 0), std::unexpected(ExchangeError::receiver_set()));
}

TEST(MulticastPlanTest, DebugTextListsRows) {
  const MulticastPlan plan{{1, 2, 0, 0, 0, 0, 0, 0, 0}, {{3, 0, 0, 0, 0, 0, 0, 0, 0}}};
  std::ostringstream out;
  out << plan;
  EXPECT_EQ(out.str(), "MulticastPlan { sender: [1, 2, 0, 0, 0, 0, 0, 0, 0], receivers: [[3, 0, 0, 0, 0, 0, 0, 0, 0]] }");
}

}  // namespace

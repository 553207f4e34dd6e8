#include "tessal_compiler/exchange_lowering.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tessal_compiler/schedule.hpp"
#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/topology.hpp"
#include "exchange_schedule.hpp"

namespace {

using tessal_compiler::Allocation;
using tessal_compiler::AllocationKind;
using tessal_compiler::CompileError;
using tessal_compiler::ExchangeAddressing;
using tessal_compiler::ExchangeCost;
using tessal_compiler::LoweredExchangeEpoch;
using tessal_compiler::LoweredExchangeGroup;
using tessal_compiler::LoweredExchangePhase;
using tessal_compiler::OpId;
using tessal_compiler::Phase;
using tessal_compiler::Schedule;
using tessal_compiler::TensorId;
using tessal_compiler::Transfer;
using tessal_exchange::ExchangeError;
using tessal_exchange::ExchangeRow;
using tessal_exchange::Topology;
using tessal_exchange::debug_text::StructWriter;
namespace logging = tessal_exchange::logging;

using LoweredPhases = std::vector<LoweredExchangePhase>;
using LoweringResult = std::expected<LoweredPhases, CompileError>;

constexpr std::uint32_t kHome = 0x62000;
constexpr std::uint32_t kStaging = 0x52000;

using tessal_exchange::debug_text::to_string;

Transfer transfer(std::uint64_t tensor, std::uint32_t bytes, std::uint16_t source, std::uint16_t destination) {
  return Transfer{TensorId{tensor}, bytes, source, destination};
}

Allocation home(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint64_t live_from = 0,
                std::uint64_t live_until = 1) {
  return Allocation{TensorId{tensor}, tile, address, 4, live_from, live_until, AllocationKind{AllocationKind::Home{}}};
}

Allocation staging(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint64_t phase,
                   std::uint64_t live_from, std::uint64_t live_until) {
  return Allocation{TensorId{tensor}, tile,      address,
                    4,                live_from, live_until,
                    AllocationKind{AllocationKind::ExchangeStaging{phase}}};
}

Phase exchange_phase(std::vector<Transfer> transfers) { return Phase{Phase::Exchange{std::move(transfers)}}; }
Phase compute_phase() { return Phase{Phase::Compute{OpId{0}, {}}}; }

using tessal_checks::exchange_schedule;

// The relay scenario: tile 1 holds tensor 0 only in a staging buffer of the phase.
Schedule relay_schedule() {
  Schedule schedule = exchange_schedule({transfer(0, 256, 3, 1), transfer(0, 256, 1, 2)});
  std::erase_if(schedule.allocations,
                [](const Allocation& allocation) { return allocation.tensor == TensorId{0} && allocation.tile == 1; });
  schedule.allocations.push_back(Allocation{TensorId{0}, 1, 0x50400, 256, 0, 1,
                                            AllocationKind{AllocationKind::ExchangeStaging{0}}});
  return schedule;
}

// A lowering together with what it logged: the slot offset of every planned
// multicast, in planning order, and the lowering's own events.
struct RecordedLowering {
  LoweringResult result;
  std::vector<std::uint32_t> multicast_offsets;
  std::vector<logging::RecordedEvent> lowering_events;
};

RecordedLowering lower_recorded(const Schedule& schedule, const Topology& topology = Topology::m917()) {
  logging::EventRecorder recorder;
  RecordedLowering recorded;
  {
    logging::ScopedSubscriber guard(recorder);
    recorded.result = schedule.lower_exchanges(topology);
  }
  for (const logging::RecordedEvent& event : recorder.events()) {
    if (event.message == "assembled multicast exchange") {
      for (const auto& [name, value] : event.fields) {
        if (name == "schedule_offset") {
          recorded.multicast_offsets.push_back(static_cast<std::uint32_t>(std::stoul(value)));
        }
      }
    } else if (event.target == "tessal_compiler") {
      recorded.lowering_events.push_back(event);
    }
  }
  return recorded;
}

logging::RecordedEvent lowered_event(std::size_t phases, std::uint32_t launches) {
  return logging::RecordedEvent{"lowered exchange schedule",
                                logging::Level::Info,
                                "tessal_compiler",
                                {{"phases", std::to_string(phases)}, {"launches", std::to_string(launches)}}};
}

void expect_error(const LoweringResult& result, const CompileError& error) {
  ASSERT_FALSE(result.has_value()) << "lowered " << result->size() << " phases, expected " << error;
  EXPECT_EQ(result.error(), error);
}

// A group as the slot structure sees it.
struct GroupSummary {
  std::uint16_t source = 0;
  std::vector<std::uint16_t> destinations;
  std::uint64_t tensor = 0;
  std::uint32_t bytes = 0;
  friend bool operator==(const GroupSummary&, const GroupSummary&) = default;
};

std::ostream& operator<<(std::ostream& out, const GroupSummary& group) {
  StructWriter(out, "GroupSummary")
      .field("source", group.source)
      .field("destinations", group.destinations)
      .field("tensor", group.tensor)
      .field("bytes", group.bytes);
  return out;
}

using SlotList = std::vector<std::vector<GroupSummary>>;

// Splits an epoch's groups into slots: the groups of one slot share their
// multicast offset, and every later slot starts later.
SlotList observed_slots(const LoweredExchangeEpoch& epoch, const std::vector<std::uint32_t>& offsets) {
  SlotList slots;
  for (std::size_t index = 0; index < epoch.groups.size(); ++index) {
    if (index == 0 || offsets.at(index) != offsets.at(index - 1)) {
      slots.emplace_back();
    }
    const LoweredExchangeGroup& group = epoch.groups[index];
    slots.back().push_back(GroupSummary{group.source_tile, group.destination_tiles, group.tensor.index, group.bytes});
  }
  return slots;
}

// What every finished program of an epoch must look like: it lasts exactly
// the launch's horizon and holds one entry word and one return word.
struct ProgramShape {
  std::uint64_t cycles = 0;
  std::size_t entry_words = 0;
  std::size_t return_words = 0;
  friend bool operator==(const ProgramShape&, const ProgramShape&) = default;
};

std::ostream& operator<<(std::ostream& out, const ProgramShape& shape) {
  StructWriter(out, "ProgramShape")
      .field("cycles", shape.cycles)
      .field("entry_words", shape.entry_words)
      .field("return_words", shape.return_words);
  return out;
}

void expect_programs_close_at_horizon(const LoweredPhases& lowered) {
  for (const LoweredExchangePhase& phase : lowered) {
    for (const LoweredExchangeEpoch& epoch : phase.epochs) {
      std::map<std::uint16_t, ProgramShape> shapes;
      std::map<std::uint16_t, ProgramShape> expected;
      for (const auto& [tile, words] : epoch.tile_rows) {
        const auto cycles = tessal_exchange::plan_event_cycles(words);
        ASSERT_TRUE(cycles.has_value()) << cycles.error();
        shapes[tile] = ProgramShape{*cycles, static_cast<std::size_t>(std::ranges::count(words, 0x41800003U)),
                                    static_cast<std::size_t>(std::ranges::count(words, 0x43A00000U))};
        expected[tile] = ProgramShape{epoch.cost.estimated_cycles, 1, 1};
      }
      EXPECT_EQ(shapes, expected) << "phase " << phase.phase;
      EXPECT_EQ(phase.cost, epoch.cost);
    }
  }
}

// The record the lowering should produce for one group, built directly from
// the exchange library's planner and address patches.
LoweredExchangeGroup planned_group(std::uint16_t source, std::vector<std::uint16_t> destinations,
                                   std::uint64_t tensor, std::uint32_t bytes, std::uint32_t schedule_offset,
                                   std::uint32_t source_address, const std::vector<std::uint32_t>& staging_addresses) {
  const Topology topology = Topology::m917();
  auto plan = topology.multicast(source, destinations, bytes / 4, schedule_offset);
  EXPECT_TRUE(plan.has_value());
  if (!plan) return {};
  EXPECT_TRUE(tessal_exchange::patch_sender_address(plan->sender, source_address).has_value());
  for (std::size_t position = 0; position < plan->receivers.size(); ++position) {
    EXPECT_TRUE(
        tessal_exchange::patch_multicast_receiver_address(plan->receivers[position], staging_addresses[position])
            .has_value());
  }
  return LoweredExchangeGroup{source,       std::move(destinations), TensorId{tensor}, bytes, ExchangeAddressing::Absolute,
                              plan->sender, plan->receivers};
}

// The byte address a sender row reads from: the base word of its send word.
std::uint32_t sent_from(const ExchangeRow& row) {
  for (const std::uint32_t word : row) {
    if ((word & 0xF8000000U) == 0x78000000U) {
      return ((word >> 3) & 0x3FFFFU) * 4;
    }
  }
  return 0xFFFFFFFFU;
}

// ---------------------------------------------------------------------------
// The literal rule for grouping, colouring and slot order: first-match
// coalescing by scanning, a conflict test of every ordered pair and a full
// key scan for every colouring step.

struct ReferenceGroup {
  std::uint16_t source = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  std::vector<std::uint16_t> destinations;
};

std::vector<ReferenceGroup> reference_groups(const std::vector<Transfer>& transfers) {
  std::vector<ReferenceGroup> groups;
  for (const Transfer& t : transfers) {
    bool joined = false;
    for (ReferenceGroup& group : groups) {
      if (group.source == t.source_tile && group.tensor == t.tensor && group.bytes == t.bytes) {
        group.destinations.push_back(t.destination_tile);
        joined = true;
        break;
      }
    }
    if (!joined) {
      groups.push_back(ReferenceGroup{t.source_tile, t.tensor, t.bytes, {t.destination_tile}});
    }
  }
  for (ReferenceGroup& group : groups) {
    std::ranges::sort(group.destinations);
    group.destinations.erase(std::unique(group.destinations.begin(), group.destinations.end()),
                             group.destinations.end());
  }
  return groups;
}

std::vector<std::uint64_t> reference_colors(const std::vector<ReferenceGroup>& groups) {
  const std::size_t n = groups.size();
  std::vector<std::set<std::size_t>> adjacency(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      if (i != j && tessal_compiler::exchange_groups_conflict(groups[i].source, groups[i].destinations,
                                                              groups[j].source, groups[j].destinations)) {
        adjacency[i].insert(j);
      }
    }
  }
  std::vector<std::optional<std::uint64_t>> colors(n);
  const auto saturation = [&](std::size_t index) {
    std::set<std::uint64_t> seen;
    for (const std::size_t neighbour : adjacency[index]) {
      if (colors[neighbour]) seen.insert(*colors[neighbour]);
    }
    return seen.size();
  };
  for (std::size_t step = 0; step < n; ++step) {
    std::optional<std::size_t> best;
    std::tuple<std::size_t, std::size_t, std::uint16_t, std::uint64_t> best_key{};
    for (std::size_t index = 0; index < n; ++index) {
      if (colors[index]) continue;
      const std::size_t sat = saturation(index);
      const std::size_t degree = adjacency[index].size();
      // Larger saturation and degree win, smaller source and tensor win; a
      // later candidate with an equal key replaces the earlier one.
      const bool at_least = !best || std::tuple(sat, degree, std::get<2>(best_key), std::get<3>(best_key)) >=
                                         std::tuple(std::get<0>(best_key), std::get<1>(best_key),
                                                    groups[index].source, groups[index].tensor.index);
      if (at_least) {
        best = index;
        best_key = {sat, degree, groups[index].source, groups[index].tensor.index};
      }
    }
    std::set<std::uint64_t> unavailable;
    for (const std::size_t neighbour : adjacency[*best]) {
      if (colors[neighbour]) unavailable.insert(*colors[neighbour]);
    }
    std::uint64_t color = 0;
    while (unavailable.contains(color)) ++color;
    colors[*best] = color;
  }
  std::vector<std::uint64_t> result;
  for (const auto& color : colors) result.push_back(*color);
  return result;
}

// Slots in readiness order, or the cycle error.
std::expected<SlotList, CompileError> reference_slots(const Schedule& schedule, std::uint64_t phase_index) {
  const std::vector<ReferenceGroup> groups = reference_groups(schedule.phases[phase_index].exchange()->transfers);
  const std::vector<std::uint64_t> colors = reference_colors(groups);
  std::uint64_t color_count = 0;
  for (const std::uint64_t color : colors) color_count = std::max(color_count, color + 1);
  SlotList colored(color_count);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    const ReferenceGroup& group = groups[index];
    colored[colors[index]].push_back(GroupSummary{group.source, group.destinations, group.tensor.index, group.bytes});
  }
  std::set<std::pair<std::uint64_t, std::uint16_t>> available;
  for (const Allocation& allocation : schedule.allocations) {
    const auto* staged = allocation.kind.staging();
    if (allocation.kind.is_home() || (staged != nullptr && staged->phase < phase_index &&
                                      allocation.live_from <= phase_index && allocation.live_until > phase_index)) {
      available.emplace(allocation.tensor.index, allocation.tile);
    }
  }
  SlotList ordered;
  while (!colored.empty()) {
    const auto ready = std::ranges::find_if(colored, [&](const std::vector<GroupSummary>& slot) {
      return std::ranges::all_of(
          slot, [&](const GroupSummary& group) { return available.contains({group.tensor, group.source}); });
    });
    if (ready == colored.end()) {
      return std::unexpected(CompileError::graph("exchange staging dependencies contain a cycle"));
    }
    for (const GroupSummary& group : *ready) {
      for (const std::uint16_t destination : group.destinations) available.emplace(group.tensor, destination);
    }
    ordered.push_back(*ready);
    colored.erase(ready);
  }
  return ordered;
}

// ---------------------------------------------------------------------------

TEST(ExchangeGroupsConflictTest, AnySharedTileInAnyRoleConflicts) {
  struct Case {
    std::uint16_t left_source;
    std::vector<std::uint16_t> left_destinations;
    std::uint16_t right_source;
    std::vector<std::uint16_t> right_destinations;
    bool conflict;
  };
  const Case cases[] = {
      {0, {1}, 0, {2}, true},            // same source
      {0, {1, 5}, 5, {2}, true},         // the left group delivers to the right sender
      {0, {1}, 2, {7, 0}, true},         // the right group delivers to the left sender
      {0, {1, 4, 9}, 2, {3, 9}, true},   // a shared receiver, sorted lists
      {0, {9, 4, 1}, 2, {9, 3}, true},   // a shared receiver, unsorted lists
      {0, {1, 4, 8}, 2, {3, 5, 9}, false},
      {0, {8, 4, 1}, 2, {9, 3, 5}, false},
      {0, {}, 1, {}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tessal_compiler::exchange_groups_conflict(c.left_source, c.left_destinations, c.right_source,
                                                        c.right_destinations),
              c.conflict)
        << c.left_source << " vs " << c.right_source;
    EXPECT_EQ(tessal_compiler::exchange_groups_conflict(c.right_source, c.right_destinations, c.left_source,
                                                        c.left_destinations),
              c.conflict)
        << "swapped " << c.left_source << " vs " << c.right_source;
  }
}

TEST(LowerExchangesTest, TopologyMustCoverTheScheduleTiles) {
  const Topology four_tiles{{0, 2, 64, 66}};
  Schedule schedule{{}, {compute_phase()}, {}, 4, {}};
  EXPECT_EQ(schedule.lower_exchanges(four_tiles).value_or(LoweredPhases(1)), LoweredPhases{});
  schedule.tile_count = 3;
  EXPECT_EQ(schedule.lower_exchanges(four_tiles).value_or(LoweredPhases(1)), LoweredPhases{});

  // Checked before any phase, even without an exchange phase.
  schedule.tile_count = 5;
  const RecordedLowering recorded = lower_recorded(schedule, four_tiles);
  expect_error(recorded.result, CompileError::graph("exchange topology has too few tiles"));
  EXPECT_TRUE(recorded.lowering_events.empty());
}

TEST(LowerExchangesTest, WithoutExchangePhasesTheListIsEmptyAndLogged) {
  const RecordedLowering recorded = lower_recorded(Schedule{{}, {compute_phase(), compute_phase()}, {}, 16, {}});
  ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
  EXPECT_EQ(*recorded.result, LoweredPhases{});
  EXPECT_EQ(recorded.lowering_events, std::vector{lowered_event(0, 0)});
}

TEST(LowerExchangesTest, AnEmptyExchangePhaseIsRecordedWithoutEpochOrCost) {
  const Schedule schedule{{}, {compute_phase(), exchange_phase({}), compute_phase()}, {}, 16, {}};
  const RecordedLowering recorded = lower_recorded(schedule);
  ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
  EXPECT_EQ(*recorded.result, (LoweredPhases{LoweredExchangePhase{1, {}, ExchangeCost{}}}));
  EXPECT_EQ(recorded.lowering_events, std::vector{lowered_event(1, 0)});
}

TEST(LowerExchangesTest, FanOutCoalescesIntoOneAbsoluteMulticast) {
  // The receivers come out ascending although the transfers name tile 2 first.
  const Schedule schedule =
      exchange_schedule({transfer(0, 64, 0, 2), transfer(0, 64, 0, 1), transfer(1, 128, 3, 4)});
  const RecordedLowering recorded = lower_recorded(schedule);
  ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
  const LoweredPhases& lowered = *recorded.result;
  ASSERT_EQ(lowered.size(), 1U);
  ASSERT_EQ(lowered[0].epochs.size(), 1U);
  const LoweredExchangeEpoch& epoch = lowered[0].epochs[0];

  EXPECT_EQ(epoch.groups, (std::vector{planned_group(0, {1, 2}, 0, 64, 0, kHome, {kStaging, kStaging}),
                                       planned_group(3, {4}, 1, 128, 0, kHome, {kStaging})}));
  EXPECT_EQ(lowered[0].cost, (ExchangeCost{1, 94, 48}));
  std::vector<std::uint16_t> tiles;
  for (const auto& [tile, words] : epoch.tile_rows) tiles.push_back(tile);
  EXPECT_EQ(tiles, (std::vector<std::uint16_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(recorded.lowering_events, std::vector{lowered_event(1, 1)});
}

TEST(LowerExchangesTest, OneTensorWithTwoByteCountsGivesTwoConflictingGroups) {
  const RecordedLowering recorded = lower_recorded(exchange_schedule({transfer(0, 64, 0, 1), transfer(0, 128, 0, 2)}));
  ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
  // Equal keys: the later group (128 bytes) wins the tie and takes colour 0.
  EXPECT_EQ(observed_slots(recorded.result->at(0).epochs.at(0), recorded.multicast_offsets),
            (SlotList{{GroupSummary{0, {2}, 0, 128}}, {GroupSummary{0, {1}, 0, 64}}}));
}

// The scenarios of the scheduler checks: slots with their start cycles and the
// launch's cost.
struct ScenarioOutcome {
  std::vector<std::vector<std::uint16_t>> slot_sources;
  std::vector<std::uint32_t> slot_offsets;
  ExchangeCost cost;
  friend bool operator==(const ScenarioOutcome&, const ScenarioOutcome&) = default;
};

std::ostream& operator<<(std::ostream& out, const ScenarioOutcome& outcome) {
  StructWriter(out, "ScenarioOutcome")
      .field("slot_sources", outcome.slot_sources)
      .field("slot_offsets", outcome.slot_offsets)
      .field("cost", outcome.cost);
  return out;
}

std::vector<Transfer> ring_transfers() {
  std::vector<Transfer> transfers;
  for (std::uint16_t source = 0; source < 16; ++source) {
    transfers.push_back(transfer(source, 4, source, static_cast<std::uint16_t>((source + 1) % 16)));
  }
  return transfers;
}

std::vector<Transfer> all_to_all_transfers() {
  std::vector<Transfer> transfers;
  for (std::uint16_t source = 0; source < 8; ++source) {
    for (std::uint16_t destination = 0; destination < 8; ++destination) {
      if (destination != source) transfers.push_back(transfer(source, 4, source, destination));
    }
  }
  return transfers;
}

std::vector<Transfer> matching_transfers() {
  std::vector<Transfer> transfers;
  for (std::uint16_t pair = 0; pair < 736; ++pair) {
    transfers.push_back(transfer(pair, 4, static_cast<std::uint16_t>(2 * pair), static_cast<std::uint16_t>(2 * pair + 1)));
  }
  return transfers;
}

TEST(LowerExchangesTest, ScenariosRunTheirSlotsInOrderInsideOneLaunch) {
  struct Case {
    std::string name;
    Schedule schedule;
    ScenarioOutcome expected;
  };
  std::vector<std::uint16_t> matching_sources;
  for (std::uint16_t pair = 0; pair < 736; ++pair) matching_sources.push_back(static_cast<std::uint16_t>(2 * pair));

  const std::vector<Case> cases = {
      {"coalescing",
       exchange_schedule({transfer(0, 64, 0, 1), transfer(0, 64, 0, 2), transfer(1, 128, 3, 4)}),
       {{{0, 3}}, {0}, {1, 94, 48}}},
      {"ring",
       exchange_schedule(ring_transfers()),
       {{{0, 2, 4, 6, 8, 10, 12, 14}, {1, 3, 5, 7, 9, 11, 13, 15}}, {0, 74}, {1, 147, 16}}},
      {"all to all",
       exchange_schedule(all_to_all_transfers()),
       {{{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}}, {0, 67, 134, 201, 268, 335, 402, 468}, {1, 534, 8}}},
      {"matching", exchange_schedule(matching_transfers()), {{matching_sources}, {0}, {1, 103, 736}}},
      // 1->2 has the highest degree; 0->1 and 2->3 tie and source 0 wins.
      {"tile roles",
       exchange_schedule({transfer(0, 64, 0, 1), transfer(1, 64, 2, 3), transfer(2, 64, 1, 2)}),
       {{{1}, {0, 2}}, {0, 77}, {1, 153, 48}}},
      // 1->2 takes colour 0, but tile 1 holds the tensor only after 3->1.
      {"relay", relay_schedule(), {{{3}, {1}}, {0, 123}, {1, 247, 128}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordedLowering recorded = lower_recorded(c.schedule);
    ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
    const LoweredPhases& lowered = *recorded.result;
    ASSERT_EQ(lowered.size(), 1U);
    ASSERT_EQ(lowered[0].epochs.size(), 1U);
    const SlotList slots = observed_slots(lowered[0].epochs[0], recorded.multicast_offsets);
    ScenarioOutcome outcome{{}, {}, lowered[0].cost};
    std::size_t position = 0;
    for (const auto& slot : slots) {
      outcome.slot_offsets.push_back(recorded.multicast_offsets.at(position));
      position += slot.size();
      outcome.slot_sources.emplace_back();
      for (const GroupSummary& group : slot) outcome.slot_sources.back().push_back(group.source);
    }
    EXPECT_EQ(outcome, c.expected);
    expect_programs_close_at_horizon(lowered);
  }
}

TEST(LowerExchangesTest, RelayForwardsFromTheStagingBufferItReceivedInto) {
  const LoweringResult lowered = relay_schedule().lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  const LoweredExchangeEpoch& epoch = lowered->at(0).epochs.at(0);
  EXPECT_EQ(epoch.groups, (std::vector{planned_group(3, {1}, 0, 256, 0, kHome, {0x50400}),
                                       planned_group(1, {2}, 0, 256, 123, 0x50400, {kStaging})}));
}

TEST(LowerExchangesTest, RowForCopiesATileProgramOrGivesTheIdleRow) {
  const LoweredExchangeEpoch epoch{{}, {{3, {0x41800003, 0x40A00004, 0x43A00000}}}, {}};
  EXPECT_EQ(epoch.row_for(3), (std::vector<std::uint32_t>{0x41800003, 0x40A00004, 0x43A00000}));
  EXPECT_EQ(epoch.row_for(15),
            (std::vector<std::uint32_t>{0x40C00000, 0x41800001, 0x43A00000, 0, 0, 0, 0, 0, 0}));
}

TEST(LowerExchangesTest, LiveStagingOfAnEarlierPhaseSendsInALaterPhase) {
  const Schedule schedule{{},
                          {exchange_phase({transfer(0, 64, 0, 1)}), exchange_phase({transfer(0, 64, 1, 2)})},
                          {Allocation{TensorId{0}, 0, 0x62000, 64, 0, 2, AllocationKind{AllocationKind::Home{}}},
                           Allocation{TensorId{0}, 1, 0x52000, 64, 0, 2,
                                      AllocationKind{AllocationKind::ExchangeStaging{0}}},
                           Allocation{TensorId{0}, 2, 0x53000, 64, 1, 2,
                                      AllocationKind{AllocationKind::ExchangeStaging{1}}}},
                          16,
                          {}};
  const RecordedLowering recorded = lower_recorded(schedule);
  ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
  const LoweredPhases& lowered = *recorded.result;
  ASSERT_EQ(lowered.size(), 2U);
  ASSERT_EQ(lowered[0].epochs.size(), 1U);
  ASSERT_EQ(lowered[1].epochs.size(), 1U);
  EXPECT_EQ(lowered[0].epochs[0].groups, std::vector{planned_group(0, {1}, 0, 64, 0, 0x62000, {0x52000})});
  EXPECT_EQ(lowered[1].epochs[0].groups, std::vector{planned_group(1, {2}, 0, 64, 0, 0x52000, {0x53000})});
  EXPECT_EQ((std::vector{lowered[0].phase, lowered[1].phase}), (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ((std::vector{lowered[0].cost, lowered[1].cost}),
            (std::vector{ExchangeCost{1, 74, 16}, ExchangeCost{1, 76, 16}}));
  EXPECT_EQ(recorded.multicast_offsets, (std::vector<std::uint32_t>{0, 0}));
  EXPECT_EQ(recorded.lowering_events, std::vector{lowered_event(2, 2)});
  expect_programs_close_at_horizon(lowered);
}

// Where tile 1 reads tensor 0 from when it sends it to tile 4 in phase 2. It
// may own a home region (0x62000), a staging buffer of phase 0 (0x51000), and
// a staging buffer of phase 2 (0x52000), and may also receive the tensor in
// phase 2 from tile 0 (its slot runs first) or from tile 3 (its slot runs
// after the one in which tile 1 sends).
TEST(LowerExchangesTest, SenderReadsAWrittenCopyOfTheTensor) {
  struct Case {
    std::string name;
    std::vector<Transfer> transfers;
    std::vector<Allocation> allocations;
    std::vector<std::pair<std::uint16_t, std::uint32_t>> sent_from;  // per group in slot order
  };
  const Allocation tile1_home = home(0, 1, 0x62000);
  const Allocation tile1_phase2 = staging(0, 1, 0x52000, 2, 2, 3);
  const std::vector<Allocation> others = {home(0, 0, 0x60000), home(0, 3, 0x60000), staging(0, 4, 0x53000, 2, 2, 3)};
  const auto with = [&](std::vector<Allocation> mine) {
    mine.insert(mine.end(), others.begin(), others.end());
    return mine;
  };
  const std::vector<Case> cases = {
      {"home only", {transfer(0, 4, 1, 4)}, with({tile1_home}), {{1, 0x62000}}},
      {"live earlier staging before home",
       {transfer(0, 4, 1, 4)},
       with({tile1_home, staging(0, 1, 0x51000, 0, 0, 3)}),
       {{1, 0x51000}}},
      {"earlier staging freed when the phase starts",
       {transfer(0, 4, 1, 4)},
       with({staging(0, 1, 0x51000, 0, 0, 2), tile1_home}),
       {{1, 0x62000}}},
      {"earlier staging not yet live",
       {transfer(0, 4, 1, 4)},
       with({staging(0, 1, 0x51000, 0, 3, 4), tile1_home}),
       {{1, 0x62000}}},
      {"staging of the phase that nothing fills",
       {transfer(0, 4, 1, 4)},
       with({tile1_phase2, tile1_home}),
       {{1, 0x62000}}},
      {"relay delivered first", {transfer(0, 4, 3, 1), transfer(0, 4, 1, 4)}, with({tile1_phase2}),
       {{3, 0x60000}, {1, 0x52000}}},
      {"held copy, delivered in an earlier slot",
       {transfer(0, 4, 0, 1), transfer(0, 4, 1, 4)},
       with({tile1_phase2, tile1_home}),
       {{0, 0x60000}, {1, 0x52000}}},
      {"held copy, delivered in a later slot",
       {transfer(0, 4, 3, 1), transfer(0, 4, 1, 4)},
       with({tile1_phase2, tile1_home}),
       {{1, 0x62000}, {3, 0x60000}}},
      {"live earlier copy, delivered in a later slot",
       {transfer(0, 4, 3, 1), transfer(0, 4, 1, 4)},
       with({tile1_phase2, staging(0, 1, 0x51000, 0, 0, 3), tile1_home}),
       {{1, 0x51000}, {3, 0x60000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Schedule schedule{{}, {compute_phase(), compute_phase(), exchange_phase(c.transfers)}, c.allocations, 16, {}};
    const LoweringResult lowered = schedule.lower_exchanges(Topology::m917());
    ASSERT_TRUE(lowered.has_value()) << lowered.error();
    std::vector<std::pair<std::uint16_t, std::uint32_t>> observed;
    for (const LoweredExchangeGroup& group : lowered->at(0).epochs.at(0).groups) {
      observed.emplace_back(group.source_tile, sent_from(group.sender));
    }
    EXPECT_EQ(observed, c.sent_from);
    expect_programs_close_at_horizon(*lowered);
  }
}

TEST(LowerExchangesTest, FailuresEndTheWholeCallWithoutTheEvent) {
  struct Case {
    std::string name;
    Schedule schedule;
    CompileError error;
  };
  Schedule missing_staging = exchange_schedule({transfer(5, 64, 0, 1), transfer(5, 64, 0, 3), transfer(5, 64, 0, 2)});
  std::erase_if(missing_staging.allocations, [](const Allocation& allocation) { return allocation.tile >= 2; });
  Schedule sender_without_copy = exchange_schedule({transfer(0, 4, 0, 1), transfer(1, 4, 2, 3)});
  std::erase_if(sender_without_copy.allocations,
                [](const Allocation& allocation) { return allocation.tile == 2 && allocation.kind.is_home(); });
  // Each tile forwards what only the other delivers.
  Schedule mutual = exchange_schedule({transfer(0, 4, 1, 2), transfer(0, 4, 2, 1)});
  std::erase_if(mutual.allocations, [](const Allocation& allocation) { return allocation.kind.is_home(); });
  Schedule outside_receive_window = exchange_schedule({transfer(0, 4, 0, 1)});
  outside_receive_window.allocations.back().address = 0x60000;
  Schedule second_phase_fails = exchange_schedule({transfer(0, 4, 0, 1)});
  second_phase_fails.phases.push_back(exchange_phase({transfer(0, 4, 0, 0)}));

  const std::vector<Case> cases = {
      {"not whole words", exchange_schedule({transfer(0, 6, 0, 1)}),
       CompileError::graph("tensor 0 exchange size is not whole words")},
      {"whole words checked before staging", [] {
         Schedule schedule = exchange_schedule({transfer(7, 10, 0, 1)});
         schedule.allocations.pop_back();
         return schedule;
       }(),
       CompileError::graph("tensor 7 exchange size is not whole words")},
      {"missing staging names the lowest destination", missing_staging,
       CompileError::memory("missing staging allocation for tensor 5 on tile 2")},
      {"sender never holds the tensor", sender_without_copy,
       CompileError::graph("exchange staging dependencies contain a cycle")},
      {"slots waiting for each other", mutual, CompileError::graph("exchange staging dependencies contain a cycle")},
      {"transfer to itself", exchange_schedule({transfer(0, 4, 3, 3)}), CompileError::graph("invalid exchange transfer")},
      {"one region filled twice", exchange_schedule({transfer(0, 4, 0, 2), transfer(0, 4, 1, 2)}),
       CompileError::graph("multiple sends target one tensor region in an epoch")},
      {"a later phase fails", second_phase_fails, CompileError::graph("invalid exchange transfer")},
      {"sender outside the topology", exchange_schedule({transfer(0, 4, 1472, 1)}), ExchangeError::tile(1472)},
      {"too many words", exchange_schedule({transfer(0, 4149 * 4, 0, 1)}), ExchangeError::count(4149)},
      {"staging outside the receive window", outside_receive_window, ExchangeError::address(0x60000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordedLowering recorded = lower_recorded(c.schedule);
    expect_error(recorded.result, c.error);
    EXPECT_TRUE(recorded.lowering_events.empty());
  }
}

TEST(LowerExchangesTest, TwoLoweringsOfOneScheduleAreEqual) {
  Schedule schedule = exchange_schedule(all_to_all_transfers());
  schedule.phases.push_back(compute_phase());
  schedule.phases.push_back(exchange_phase({}));
  const Schedule before = schedule;
  const LoweringResult first = schedule.lower_exchanges(Topology::m917());
  const LoweringResult second = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_TRUE(second.has_value()) << second.error();
  EXPECT_EQ(*first, *second);
  EXPECT_EQ(schedule, before);
}

// Random transfer lists among a few tiles, with repeated tensors, fan-out,
// byte counts that split groups and relays: the lowering's slots equal the
// literal rule's colour classes in the literal readiness order.
TEST(LowerExchangesTest, SlotsMatchTheLiteralColoringOnRandomTransfers) {
  std::uint32_t state = 0x2545F491;
  const auto next = [&state](std::uint32_t bound) {
    state = state * 1664525U + 1013904223U;
    return (state >> 8) % bound;
  };
  struct Shape {
    std::uint16_t tiles;
    std::uint32_t transfers;
    std::uint32_t tensors;
    int repetitions;
  };
  const Shape shapes[] = {{4, 10, 3, 40},   {6, 24, 4, 40},   {8, 40, 6, 40},
                          {12, 60, 10, 40}, {24, 80, 40, 40}, {1472, 300, 200, 6}};
  int compared = 0;
  int cycles = 0;
  for (const Shape& shape : shapes) {
    for (int repetition = 0; repetition < shape.repetitions; ++repetition) {
      std::vector<Transfer> transfers;
      std::set<std::pair<std::uint16_t, std::uint64_t>> regions;
      for (std::uint32_t k = 0; k < shape.transfers; ++k) {
        const auto source = static_cast<std::uint16_t>(next(shape.tiles));
        const auto destination = static_cast<std::uint16_t>(next(shape.tiles));
        const std::uint64_t tensor = next(shape.tensors);
        const std::uint32_t bytes = 4 * (1 + next(2));
        if (source != destination && regions.emplace(destination, tensor).second) {
          transfers.push_back(transfer(tensor, bytes, source, destination));
        }
      }
      Schedule schedule = exchange_schedule(transfers);
      // In half the lists a receiver that also sends holds the tensor only
      // after it arrives, which turns those groups into relays.
      const bool relays = repetition % 2 == 1;
      if (relays) {
        std::erase_if(schedule.allocations, [&](const Allocation& allocation) {
          return allocation.kind.is_home() && regions.contains({allocation.tile, allocation.tensor.index});
        });
      }
      const std::expected<SlotList, CompileError> expected = reference_slots(schedule, 0);
      const RecordedLowering recorded = lower_recorded(schedule);
      if (!expected) {
        ++cycles;
        expect_error(recorded.result, expected.error());
        continue;
      }
      ASSERT_TRUE(recorded.result.has_value()) << recorded.result.error();
      ASSERT_EQ(recorded.result->size(), 1U);
      const SlotList observed = recorded.result->at(0).epochs.empty()
                                    ? SlotList{}
                                    : observed_slots(recorded.result->at(0).epochs[0], recorded.multicast_offsets);
      ASSERT_EQ(observed, *expected) << "tiles " << shape.tiles << ", repetition " << repetition;
      expect_programs_close_at_horizon(*recorded.result);
      ++compared;
    }
  }
  // Both outcomes must have been exercised for the comparison to mean something.
  EXPECT_GT(compared, 100);
  EXPECT_GT(cycles, 0);
}

TEST(LowerExchangesTest, RecordsPrintTheirFields) {
  EXPECT_EQ(to_string(ExchangeAddressing::Absolute), "Absolute");
  EXPECT_EQ(to_string(ExchangeAddressing::Relative), "Relative");
  EXPECT_EQ(to_string(ExchangeCost{1, 94, 48}), "ExchangeCost { launches: 1, estimated_cycles: 94, payload_words: 48 }");
  const LoweredExchangeGroup group{0, {1, 2}, TensorId{3}, 8, ExchangeAddressing::Absolute,
                                   ExchangeRow{1, 2, 3, 4, 5, 6, 7, 8, 9}, {ExchangeRow{}}};
  EXPECT_EQ(to_string(group),
            "LoweredExchangeGroup { source_tile: 0, destination_tiles: [1, 2], tensor: TensorId(3), bytes: 8, "
            "addressing: Absolute, sender: [1, 2, 3, 4, 5, 6, 7, 8, 9], receivers: [[0, 0, 0, 0, 0, 0, 0, 0, 0]] }");
  const LoweredExchangeEpoch epoch{{}, {{4, {7, 8}}}, ExchangeCost{}};
  EXPECT_EQ(to_string(epoch),
            "LoweredExchangeEpoch { groups: [], tile_rows: {4: [7, 8]}, cost: ExchangeCost { launches: 0, "
            "estimated_cycles: 0, payload_words: 0 } }");
  EXPECT_EQ(to_string(LoweredExchangePhase{2, {}, {}}),
            "LoweredExchangePhase { phase: 2, epochs: [], cost: ExchangeCost { launches: 0, estimated_cycles: 0, "
            "payload_words: 0 } }");
}

}  // namespace

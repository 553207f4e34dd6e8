// Checks of the exchange lowering: fan-out coalescing, colouring, packing all
// slots of a phase into one launch, tiles with several roles in a launch,
// relays through staging buffers, live staging of earlier phases, and
// determinism. The schedules are assembled by hand, not compiled.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "check_bodies.hpp"
#include "exchange_schedule.hpp"
#include "tessal_compiler/exchange_lowering.hpp"
#include "tessal_compiler/schedule.hpp"
#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_checks {

using tessal_compiler::Allocation;
using tessal_compiler::AllocationKind;
using tessal_compiler::ExchangeAddressing;
using tessal_compiler::LoweredExchangeEpoch;
using tessal_compiler::LoweredExchangeGroup;
using tessal_compiler::LoweredExchangePhase;
using tessal_compiler::Phase;
using tessal_compiler::Schedule;
using tessal_compiler::TensorId;
using tessal_compiler::Transfer;
using tessal_exchange::Topology;


namespace {

Transfer transfer(std::uint64_t tensor, std::uint32_t bytes, std::uint16_t source, std::uint16_t destination) {
  return Transfer{.tensor = TensorId{tensor}, .bytes = bytes, .source_tile = source, .destination_tile = destination};
}

std::size_t count_words(const std::vector<std::uint32_t>& words, std::uint32_t value) {
  return static_cast<std::size_t>(std::ranges::count(words, value));
}

}  // namespace

void scheduler_coalesces_fanout_and_packs_disjoint_groups() {
  const Schedule schedule = exchange_schedule({transfer(0, 64, 0, 1), transfer(0, 64, 0, 2), transfer(1, 128, 3, 4)});
  const auto lowered = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_EQ(lowered->size(), 1U);
  ASSERT_EQ((*lowered)[0].epochs.size(), 1U);
  const LoweredExchangeEpoch& epoch = (*lowered)[0].epochs[0];
  ASSERT_EQ(epoch.groups.size(), 2U);
  ASSERT_TRUE(std::ranges::any_of(epoch.groups, [](const LoweredExchangeGroup& group) {
    return group.destination_tiles.size() == 2 && group.addressing == ExchangeAddressing::Absolute;
  })) << "assertion failed: lowered[0].epochs[0].groups.iter().any(|group|\n"
         "        {\n"
         "            group.destination_tiles.len() == 2 &&\n"
         "                group.addressing == ExchangeAddressing::Absolute\n"
         "        })";
  ASSERT_EQ((*lowered)[0].cost.launches, 1U);
  ASSERT_EQ((*lowered)[0].cost.payload_words, 48U);
  ASSERT_EQ(epoch.tile_rows.size(), 5U);
  const std::vector<std::uint32_t> inactive = epoch.row_for(15);
  ASSERT_EQ(inactive[0], 0x40C00000U);
  ASSERT_EQ(inactive[1], 0x41800001U);
}

void scheduler_colors_ring_and_all_to_all_fanout() {
  std::vector<Transfer> ring;
  for (std::uint16_t source = 0; source < 16; ++source) {
    ring.push_back(transfer(source, 4, source, static_cast<std::uint16_t>((source + 1) % 16)));
  }
  const auto ring_lowered = exchange_schedule(ring).lower_exchanges(Topology::m917());
  ASSERT_TRUE(ring_lowered.has_value()) << ring_lowered.error();
  ASSERT_EQ((*ring_lowered)[0].epochs.size(), 1U);
  ASSERT_EQ((*ring_lowered)[0].cost.launches, 1U);

  std::vector<Transfer> all_to_all;
  for (std::uint16_t source = 0; source < 8; ++source) {
    for (std::uint16_t destination = 0; destination < 8; ++destination) {
      if (destination != source) {
        all_to_all.push_back(transfer(source, 4, source, destination));
      }
    }
  }
  const auto all_lowered = exchange_schedule(all_to_all).lower_exchanges(Topology::m917());
  ASSERT_TRUE(all_lowered.has_value()) << all_lowered.error();
  ASSERT_EQ((*all_lowered)[0].epochs.size(), 1U);
  ASSERT_EQ((*all_lowered)[0].cost.launches, 1U);
  ASSERT_EQ((*all_lowered)[0].cost.payload_words, 8U);
}

void scheduler_is_deterministic_for_varied_transfer_graphs() {
  std::uint32_t state = 0x12345678;
  const auto step = [&state] { state = state * 1664525U + 1013904223U; };
  for (int repetition = 0; repetition < 64; ++repetition) {
    std::vector<Transfer> transfers;
    std::set<std::pair<std::uint16_t, std::uint64_t>> destinations;
    for (std::uint64_t tensor = 0; tensor < 12; ++tensor) {
      step();
      const auto source = static_cast<std::uint16_t>(state % 16);
      step();
      auto destination = static_cast<std::uint16_t>(state % 16);
      if (destination == source) {
        destination = static_cast<std::uint16_t>((destination + 1) % 16);
      }
      if (!destinations.emplace(destination, tensor).second) {
        continue;
      }
      transfers.push_back(transfer(tensor, ((state % 64) + 1) * 4, source, destination));
    }

    const Schedule schedule = exchange_schedule(std::vector<Transfer>(transfers));
    const auto first = schedule.lower_exchanges(Topology::m917());
    ASSERT_TRUE(first.has_value()) << first.error();
    const auto second = schedule.lower_exchanges(Topology::m917());
    ASSERT_TRUE(second.has_value()) << second.error();
    ASSERT_EQ(*first, *second);

    std::size_t represented = 0;
    for (const LoweredExchangeEpoch& epoch : (*first)[0].epochs) {
      for (const LoweredExchangeGroup& group : epoch.groups) {
        represented += group.destination_tiles.size();
      }
    }
    ASSERT_EQ(represented, transfers.size());
  }
}

void scheduler_packs_an_all_tile_matching_into_one_epoch() {
  std::vector<Transfer> transfers;
  for (std::uint16_t pair = 0; pair < 736; ++pair) {
    transfers.push_back(
        transfer(pair, 4, static_cast<std::uint16_t>(2 * pair), static_cast<std::uint16_t>(2 * pair + 1)));
  }
  const auto lowered = exchange_schedule(transfers).lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_EQ((*lowered)[0].epochs.size(), 1U);
  ASSERT_EQ((*lowered)[0].epochs[0].groups.size(), 736U);
  ASSERT_EQ((*lowered)[0].cost.payload_words, 736U);
}

void scheduler_relays_a_tensor_without_an_intermediate_launch() {
  const TensorId tensor{0};
  Schedule schedule = exchange_schedule({transfer(tensor.index, 256, 3, 1), transfer(tensor.index, 256, 1, 2)});
  std::erase_if(schedule.allocations,
                [&](const Allocation& allocation) { return allocation.tensor == tensor && allocation.tile == 1; });
  schedule.allocations.push_back(Allocation{.tensor = tensor,
                                            .tile = 1,
                                            .address = 0x50400,
                                            .size = 256,
                                            .live_from = 0,
                                            .live_until = 1,
                                            .kind = AllocationKind{AllocationKind::ExchangeStaging{0}}});

  const auto lowered = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_FALSE((*lowered)[0].epochs.empty());
  const LoweredExchangeEpoch& epoch = (*lowered)[0].epochs[0];
  ASSERT_EQ((*lowered)[0].cost.launches, 1U);
  ASSERT_EQ(epoch.groups.size(), 2U);
  std::vector<std::uint16_t> sources;
  for (const LoweredExchangeGroup& group : epoch.groups) {
    sources.push_back(group.source_tile);
  }
  ASSERT_EQ(sources, (std::vector<std::uint16_t>{3, 1}));

  const std::vector<std::uint32_t> relay = epoch.row_for(1);
  ASSERT_EQ(count_words(relay, 0x41800003), 1U);
  ASSERT_EQ(count_words(relay, 0x43A00000), 1U);
  const auto cycles = tessal_exchange::plan_event_cycles(relay);
  ASSERT_TRUE(cycles.has_value()) << cycles.error();
  ASSERT_EQ(std::uint64_t{*cycles}, (*lowered)[0].cost.estimated_cycles);
}

void scheduler_times_tile_role_conflicts_within_one_launch() {
  const Schedule schedule = exchange_schedule({transfer(0, 64, 0, 1), transfer(1, 64, 2, 3), transfer(2, 64, 1, 2)});
  const auto lowered = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_EQ((*lowered)[0].epochs.size(), 1U);
  ASSERT_EQ((*lowered)[0].cost.launches, 1U);

  const std::vector<std::uint32_t> row = (*lowered)[0].epochs[0].row_for(1);
  ASSERT_EQ(count_words(row, 0x41800003), 1U);
  ASSERT_EQ(count_words(row, 0x43A00000), 1U);
  const auto cycles = tessal_exchange::plan_event_cycles(row);
  ASSERT_TRUE(cycles.has_value()) << cycles.error();
  ASSERT_EQ(std::uint64_t{*cycles}, (*lowered)[0].cost.estimated_cycles);
}

void scheduler_uses_live_staging_as_a_later_phase_source() {
  const TensorId tensor{0};
  const Schedule schedule{
      .layouts = {},
      .phases = {Phase{Phase::Exchange{{transfer(tensor.index, 64, 0, 1)}}},
                 Phase{Phase::Exchange{{transfer(tensor.index, 64, 1, 2)}}}},
      .allocations = {Allocation{.tensor = tensor,
                                 .tile = 0,
                                 .address = 0x62000,
                                 .size = 64,
                                 .live_from = 0,
                                 .live_until = 2,
                                 .kind = AllocationKind{AllocationKind::Home{}}},
                      Allocation{.tensor = tensor,
                                 .tile = 1,
                                 .address = 0x52000,
                                 .size = 64,
                                 .live_from = 0,
                                 .live_until = 2,
                                 .kind = AllocationKind{AllocationKind::ExchangeStaging{0}}},
                      Allocation{.tensor = tensor,
                                 .tile = 2,
                                 .address = 0x53000,
                                 .size = 64,
                                 .live_from = 1,
                                 .live_until = 2,
                                 .kind = AllocationKind{AllocationKind::ExchangeStaging{1}}}},
      .tile_count = 16,
      .peak_sram = {}};

  const auto lowered = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_EQ(lowered->size(), schedule.phases.size());
  ASSERT_TRUE(std::ranges::all_of(*lowered, [](const LoweredExchangePhase& phase) { return phase.epochs.size() == 1; }))
      << "assertion failed: lowered.iter().all(|phase| phase.epochs.len() == 1)";
  ASSERT_TRUE((*lowered)[1].epochs[0].tile_rows.contains(1))
      << "assertion failed: lowered[1].epochs[0].tile_rows.contains_key(&1)";
}

}  // namespace tessal_checks

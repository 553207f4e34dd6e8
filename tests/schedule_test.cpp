#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_exchange/debug_text.hpp"
#include "tessal_compiler/schedule.hpp"

namespace {

using tessal_compiler::Allocation;
using tessal_compiler::AllocationKind;
using tessal_compiler::CompileError;
using tessal_compiler::CompilerOptions;
using tessal_compiler::KernelCommand;
using tessal_compiler::Layout;
using tessal_compiler::OpId;
using tessal_compiler::Phase;
using tessal_compiler::Schedule;
using tessal_compiler::Sharding;
using tessal_compiler::SpecializationKey;
using tessal_compiler::TensorId;
using tessal_compiler::Transfer;
using tessal_compiler::validate_transfers;

using tessal_exchange::debug_text::to_string;

TEST(ValidateTransfersTest, AcceptsOrRejectsWithTheFirstFailureInListOrder) {
  const std::string invalid = "invalid exchange transfer";
  const std::string multiple = "multiple sends target one tensor region in an epoch";
  struct Case {
    std::string label;
    std::vector<Transfer> transfers;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {"empty", {}, std::nullopt},
      {"one transfer", {{TensorId{1}, 64, 0, 1}}, std::nullopt},
      {"different tensors to one destination", {{TensorId{1}, 64, 0, 2}, {TensorId{2}, 64, 1, 2}}, std::nullopt},
      {"one tensor from one source to two destinations", {{TensorId{1}, 64, 0, 1}, {TensorId{1}, 64, 0, 2}},
       std::nullopt},
      {"one tensor to two destinations from two sources", {{TensorId{1}, 64, 0, 1}, {TensorId{1}, 64, 3, 2}},
       std::nullopt},
      {"one tensor to one destination from two sources", {{TensorId{1}, 64, 0, 2}, {TensorId{1}, 64, 1, 2}},
       multiple},
      {"the same transfer twice", {{TensorId{1}, 64, 0, 2}, {TensorId{1}, 64, 0, 2}}, multiple},
      {"zero bytes between different tiles", {{TensorId{1}, 0, 0, 1}}, invalid},
      {"from a tile to itself", {{TensorId{1}, 64, 3, 3}}, invalid},
      {"invalid after a repeat", {{TensorId{1}, 64, 0, 2}, {TensorId{1}, 64, 1, 2}, {TensorId{1}, 0, 0, 1}},
       multiple},
      {"repeat after an invalid", {{TensorId{1}, 64, 4, 4}, {TensorId{1}, 64, 0, 2}, {TensorId{1}, 64, 1, 2}},
       invalid},
      {"repeat that is itself invalid", {{TensorId{1}, 64, 0, 2}, {TensorId{1}, 0, 1, 2}}, invalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto result = validate_transfers(c.transfers);
    if (c.error) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), CompileError::graph(*c.error));
    } else {
      EXPECT_TRUE(result.has_value()) << result.error();
    }
  }
}

TEST(CompilerOptionsTest, Defaults) {
  EXPECT_EQ(CompilerOptions{}, (CompilerOptions{64, 0x50000, 0x58000, 0x58000, 0xe0000}));
}

// A small schedule with one of everything: a layout, an exchange and a compute
// phase, a home and a staging allocation, and a peak per tile.
Schedule sample_schedule() {
  Schedule schedule;
  schedule.layouts = {Layout{TensorId{0}, {0, 1}, Sharding::Rows, 16}, Layout{TensorId{1}, {0}, Sharding::Rows, 16}};
  schedule.phases = {
      Phase{Phase::Exchange{{Transfer{TensorId{0}, 64, 1, 0}}}},
      Phase{Phase::Compute{OpId{0}, {KernelCommand{0, TensorId{1}, {TensorId{0}},
                                                   SpecializationKey{"gelu", {32}, 1, "tail", 16}}}}},
  };
  schedule.allocations = {
      Allocation{TensorId{0}, 0, 0x58000, 64, 0, 2, AllocationKind{AllocationKind::Home{}}},
      Allocation{TensorId{0}, 0, 0x50000, 64, 0, 1, AllocationKind{AllocationKind::ExchangeStaging{0}}},
  };
  schedule.tile_count = 2;
  schedule.peak_sram = {{0, 0x8040}, {1, 0x8040}};
  return schedule;
}

TEST(ScheduleTest, EqualityCoversEveryFieldOfEveryRecord) {
  const Schedule base = sample_schedule();
  EXPECT_EQ(base, sample_schedule());
  struct Case {
    std::string label;
    std::function<void(Schedule&)> change;
  };
  const Case cases[] = {
      {"layout tensor", [](Schedule& s) { s.layouts[1].tensor = TensorId{2}; }},
      {"layout tiles", [](Schedule& s) { s.layouts[0].tiles = {1, 0}; }},
      {"layout sharding", [](Schedule& s) { s.layouts[0].sharding = Sharding::Columns; }},
      {"layout alignment", [](Schedule& s) { s.layouts[0].alignment = 32; }},
      {"transfer tensor",
       [](Schedule& s) { std::get<Phase::Exchange>(s.phases[0].value).transfers[0].tensor = TensorId{4}; }},
      {"transfer bytes", [](Schedule& s) { std::get<Phase::Exchange>(s.phases[0].value).transfers[0].bytes = 4; }},
      {"transfer source",
       [](Schedule& s) { std::get<Phase::Exchange>(s.phases[0].value).transfers[0].source_tile = 5; }},
      {"transfer destination",
       [](Schedule& s) { std::get<Phase::Exchange>(s.phases[0].value).transfers[0].destination_tile = 5; }},
      {"compute op", [](Schedule& s) { std::get<Phase::Compute>(s.phases[1].value).op = OpId{1}; }},
      {"command tile", [](Schedule& s) { std::get<Phase::Compute>(s.phases[1].value).commands[0].tile = 1; }},
      {"command inputs",
       [](Schedule& s) { std::get<Phase::Compute>(s.phases[1].value).commands[0].inputs.push_back(TensorId{0}); }},
      {"key role",
       [](Schedule& s) { std::get<Phase::Compute>(s.phases[1].value).commands[0].specialization.role = "body"; }},
      {"key workers",
       [](Schedule& s) { std::get<Phase::Compute>(s.phases[1].value).commands[0].specialization.worker_count = 6; }},
      {"phase kind", [](Schedule& s) { s.phases[0] = Phase{Phase::Compute{}}; }},
      {"phase order", [](Schedule& s) { std::swap(s.phases[0], s.phases[1]); }},
      {"allocation tensor", [](Schedule& s) { s.allocations[0].tensor = TensorId{1}; }},
      {"allocation tile", [](Schedule& s) { s.allocations[0].tile = 1; }},
      {"allocation address", [](Schedule& s) { s.allocations[0].address += 16; }},
      {"allocation size", [](Schedule& s) { s.allocations[0].size = 128; }},
      {"allocation live_from", [](Schedule& s) { s.allocations[0].live_from = 1; }},
      {"allocation live_until", [](Schedule& s) { s.allocations[0].live_until = 3; }},
      {"allocation kind", [](Schedule& s) { s.allocations[1].kind = AllocationKind{AllocationKind::Home{}}; }},
      {"staging phase", [](Schedule& s) { s.allocations[1].kind = AllocationKind{AllocationKind::ExchangeStaging{1}}; }},
      {"allocation order", [](Schedule& s) { std::swap(s.allocations[0], s.allocations[1]); }},
      {"tile count", [](Schedule& s) { s.tile_count = 3; }},
      {"peak value", [](Schedule& s) { s.peak_sram[1] = 0x8000; }},
      {"peak tiles", [](Schedule& s) { s.peak_sram.erase(1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Schedule changed = sample_schedule();
    c.change(changed);
    EXPECT_NE(changed, base);
  }
}

TEST(ScheduleDebugTextTest, RecordsPrintTheirTypeAndFieldsInOrder) {
  EXPECT_EQ(to_string(CompilerOptions{}),
            "CompilerOptions { tile_count: 64, exchange_base: 327680, exchange_limit: 360448, data_base: 360448, "
            "data_limit: 917504 }");
  EXPECT_EQ(to_string(Transfer{TensorId{3}, 256, 1, 2}),
            "Transfer { tensor: TensorId(3), bytes: 256, source_tile: 1, destination_tile: 2 }");
  EXPECT_EQ(to_string(AllocationKind{AllocationKind::Home{}}), "Home");
  EXPECT_EQ(to_string(AllocationKind{AllocationKind::ExchangeStaging{7}}), "ExchangeStaging { phase: 7 }");
  EXPECT_EQ(to_string(Allocation{TensorId{3}, 0, 360448, 64, 2, 5, AllocationKind{AllocationKind::ExchangeStaging{1}}}),
            "Allocation { tensor: TensorId(3), tile: 0, address: 360448, size: 64, live_from: 2, live_until: 5, "
            "kind: ExchangeStaging { phase: 1 } }");
  EXPECT_EQ(to_string(Phase{Phase::Exchange{}}), "Exchange { transfers: [] }");
  EXPECT_EQ(to_string(Phase{Phase::Compute{OpId{2}, {}}}), "Compute { op: OpId(2), commands: [] }");

  Schedule schedule;
  schedule.layouts = {Layout{TensorId{0}, {0}, Sharding::Replicated, 16}};
  schedule.phases = {Phase{Phase::Exchange{{Transfer{TensorId{0}, 4, 0, 1}}}}};
  schedule.allocations = {Allocation{TensorId{0}, 1, 16, 4, 0, 1, AllocationKind{AllocationKind::Home{}}}};
  schedule.tile_count = 2;
  schedule.peak_sram = {{1, 20}, {0, 8}};
  EXPECT_EQ(to_string(schedule),
            "Schedule { layouts: [Layout { tensor: TensorId(0), tiles: [0], sharding: Replicated, alignment: 16 }], "
            "phases: [Exchange { transfers: [Transfer { tensor: TensorId(0), bytes: 4, source_tile: 0, "
            "destination_tile: 1 }] }], "
            "allocations: [Allocation { tensor: TensorId(0), tile: 1, address: 16, size: 4, live_from: 0, "
            "live_until: 1, kind: Home }], "
            "tile_count: 2, peak_sram: {0: 8, 1: 20} }");
}

}  // namespace

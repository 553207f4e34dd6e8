#include "tessal_compiler/tile_program.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tessal_compiler/compile.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/exchange_lowering.hpp"
#include "tessal_compiler/schedule.hpp"
#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_compiler {

// Lets failed expectations on results print the value or the error.
template <class T>
void PrintTo(const std::expected<T, CompileError>& result, std::ostream* out) {
  if (result) {
    *out << "Ok(";
    tessal_exchange::debug_text::write(*out, *result);
  } else {
    *out << "Err(" << result.error();
  }
  *out << ')';
}

}  // namespace tessal_compiler

namespace {

using tessal_compiler::Allocation;
using tessal_compiler::AllocationKind;
using tessal_compiler::CompileError;
using tessal_compiler::KernelCommand;
using tessal_compiler::LoweredComputeCommand;
using tessal_compiler::LoweredTileProgram;
using tessal_compiler::LoweredTileStep;
using tessal_compiler::OpId;
using tessal_compiler::Phase;
using tessal_compiler::Schedule;
using tessal_compiler::SpecializationKey;
using tessal_compiler::TensorId;
using tessal_compiler::Transfer;
using tessal_exchange::Topology;
namespace logging = tessal_exchange::logging;

using Programs = std::vector<LoweredTileProgram>;
using AddressResult = std::expected<std::uint32_t, CompileError>;
using ProgramsResult = std::expected<Programs, CompileError>;

const std::vector<std::uint32_t> idle_row(tessal_compiler::idle_exchange_row.begin(),
                                          tessal_compiler::idle_exchange_row.end());

SpecializationKey key(std::string operation) {
  return SpecializationKey{
      .operation = std::move(operation), .shape = {4, 4}, .worker_count = 1, .role = "", .alignment = 16};
}

KernelCommand kernel(std::uint16_t tile, std::uint64_t output, std::vector<std::uint64_t> inputs,
                     const std::string& operation = "add") {
  KernelCommand command{.tile = tile, .output = TensorId{output}, .inputs = {}, .specialization = key(operation)};
  for (const std::uint64_t input : inputs) command.inputs.push_back(TensorId{input});
  return command;
}

Allocation home(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address) {
  return Allocation{.tensor = TensorId{tensor},
                    .tile = tile,
                    .address = address,
                    .size = 64,
                    .live_from = 0,
                    .live_until = 9,
                    .kind = AllocationKind{AllocationKind::Home{}}};
}

// A receive buffer filled by exchange phase `phase` and read up to `live_until`.
Allocation staging(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint64_t phase,
                   std::uint64_t live_until) {
  return Allocation{.tensor = TensorId{tensor},
                    .tile = tile,
                    .address = address,
                    .size = 64,
                    .live_from = phase,
                    .live_until = live_until,
                    .kind = AllocationKind{AllocationKind::ExchangeStaging{phase}}};
}

LoweredTileStep compute_step(std::uint64_t op, std::vector<std::uint32_t> inputs, std::uint32_t output,
                             const std::string& operation = "add") {
  return LoweredTileStep{LoweredComputeCommand{.op = OpId{op},
                                               .input_addresses = std::move(inputs),
                                               .output_address = output,
                                               .specialization = key(operation)}};
}

LoweredTileStep exchange_step(std::uint64_t phase, std::uint64_t epoch, std::vector<std::uint32_t> row) {
  return LoweredTileStep{LoweredTileStep::Exchange{.phase = phase, .epoch = epoch, .row = std::move(row)}};
}

Phase compute_phase(std::uint64_t op, std::vector<KernelCommand> commands) {
  return Phase{Phase::Compute{OpId{op}, std::move(commands)}};
}

Phase exchange_phase(std::vector<Transfer> transfers) { return Phase{Phase::Exchange{std::move(transfers)}}; }

CompileError missing_home(std::uint64_t tensor, std::uint16_t tile) {
  return CompileError::memory("missing home allocation for tensor " + std::to_string(tensor) + " on tile " +
                              std::to_string(tile));
}

// Four tiles, three phases: compute phase 0 (two commands on tile 0, one on
// tile 1), exchange phase 1 (tensor 1 from tile 0 to tile 1) and compute
// phase 2 (one command on tile 1 reading the received copy, one on tile 0).
// Tiles 2 and 3 have no role at all.
Schedule three_phase_schedule() {
  Schedule schedule;
  schedule.tile_count = 4;
  schedule.phases = {
      compute_phase(0, {kernel(0, 1, {0}, "first"), kernel(1, 1, {0}, "first"), kernel(0, 3, {0, 1}, "second")}),
      exchange_phase({Transfer{.tensor = TensorId{1}, .bytes = 64, .source_tile = 0, .destination_tile = 1}}),
      compute_phase(1, {kernel(1, 2, {1, 0}, "third"), kernel(0, 2, {1}, "third")}),
  };
  schedule.allocations = {
      home(0, 0, 0x58000),          home(0, 1, 0x58100), home(1, 0, 0x58400), home(1, 1, 0x58800),
      staging(1, 1, 0x50000, 1, 2), home(2, 0, 0x58c00), home(2, 1, 0x59000), home(3, 0, 0x59400),
  };
  return schedule;
}

TEST(TileProgramTest, EveryTileGetsItsStepsInPhaseOrderAndIdleRowsWithoutARole) {
  const Schedule schedule = three_phase_schedule();
  const auto lowered = schedule.lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_EQ(lowered->size(), 1U);
  ASSERT_EQ(lowered->front().epochs.size(), 1U);
  const tessal_compiler::LoweredExchangeEpoch& epoch = lowered->front().epochs.front();
  // The two taking-part tiles run real programs, not the idle row.
  ASSERT_NE(epoch.row_for(0), idle_row);
  ASSERT_NE(epoch.row_for(1), idle_row);

  const Programs expected{
      {0,
       {compute_step(0, {0x58000}, 0x58400, "first"), compute_step(0, {0x58000, 0x58400}, 0x59400, "second"),
        exchange_step(1, 0, epoch.row_for(0)), compute_step(1, {0x58400}, 0x58c00, "third")}},
      // The staging copy is read in the phase right after the exchange; inputs
      // keep operand order.
      {1,
       {compute_step(0, {0x58100}, 0x58800, "first"), exchange_step(1, 0, epoch.row_for(1)),
        compute_step(1, {0x50000, 0x58100}, 0x59000, "third")}},
      {2, {exchange_step(1, 0, idle_row)}},
      {3, {exchange_step(1, 0, idle_row)}},
  };
  EXPECT_EQ(schedule.lower_tile_programs(Topology::m917()), ProgramsResult(expected));
}

TEST(TileProgramTest, ExchangePhasesWithoutEpochsContributeNoStep) {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {compute_phase(0, {kernel(0, 1, {0})}), exchange_phase({}), compute_phase(1, {kernel(0, 2, {1})})};
  schedule.allocations = {home(0, 0, 0x58000), home(1, 0, 0x58100), home(2, 0, 0x58200)};

  // Tile 1 has neither commands nor exchange steps: its program is empty.
  const Programs expected{
      {0, {compute_step(0, {0x58000}, 0x58100), compute_step(1, {0x58100}, 0x58200)}},
      {1, {}},
  };
  EXPECT_EQ(schedule.lower_tile_programs(Topology::m917()), ProgramsResult(expected));
}

TEST(TileProgramTest, ResolvesStagingOnlyInTheComputePhaseWhereItsLifetimeEnds) {
  // Tensor 5 read on tile 2 in compute phase 4.
  constexpr std::uint64_t tensor = 5;
  constexpr std::uint16_t tile = 2;
  constexpr std::uint64_t phase = 4;
  struct Case {
    std::string name;
    std::vector<Allocation> allocations;
    AddressResult input;  // compute_input_address
    AddressResult home;   // home_address
  };
  const Case cases[] = {
      {"staging read in this phase wins over home",
       {home(tensor, tile, 0x58000), staging(tensor, tile, 0x50000, 3, phase)},
       0x50000,
       0x58000},
      {"staging read in another phase leaves home",
       {staging(tensor, tile, 0x50000, 2, 3), home(tensor, tile, 0x58000), staging(tensor, tile, 0x50100, 4, 5)},
       0x58000,
       0x58000},
      // Neither the staging buffer's own phase nor its live_from is compared.
      {"staging phase and live_from are not compared",
       {home(tensor, tile, 0x58000), Allocation{.tensor = TensorId{tensor},
                                                .tile = tile,
                                                .address = 0x50200,
                                                .size = 64,
                                                .live_from = 7,
                                                .live_until = phase,
                                                .kind = AllocationKind{AllocationKind::ExchangeStaging{9}}}},
       0x50200,
       0x58000},
      {"first of two homes", {home(tensor, tile, 0x58000), home(tensor, tile, 0x5a000)}, 0x58000, 0x58000},
      {"first of two matching staging buffers",
       {staging(tensor, tile, 0x50300, 3, phase), home(tensor, tile, 0x58000),
        staging(tensor, tile, 0x50000, 3, phase)},
       0x50300,
       0x58000},
      {"regions of other tiles and tensors do not count",
       {home(tensor, 1, 0x58000), staging(tensor, 3, 0x50000, 3, phase), home(6, tile, 0x5a000),
        staging(6, tile, 0x50100, 3, phase), home(tensor, tile, 0x5c000)},
       0x5c000,
       0x5c000},
      {"only staging of another phase and no home",
       {staging(tensor, tile, 0x50000, 2, 3)},
       std::unexpected(missing_home(tensor, tile)),
       std::unexpected(missing_home(tensor, tile))},
      {"only staging of this phase and no home",
       {staging(tensor, tile, 0x50000, 3, phase)},
       0x50000,
       std::unexpected(missing_home(tensor, tile))},
  };
  for (const Case& c : cases) {
    Schedule schedule;
    schedule.tile_count = 3;
    schedule.allocations = c.allocations;
    EXPECT_EQ(schedule.compute_input_address(TensorId{tensor}, tile, phase), c.input) << c.name;
    EXPECT_EQ(schedule.home_address(TensorId{tensor}, tile), c.home) << c.name;

    // The same rules inside the lowering: the command reads tensor 5 and
    // writes it, so the output goes to the home region even where a staging
    // buffer is read in the same phase.
    for (std::uint64_t op = 0; op < phase; ++op) schedule.phases.push_back(compute_phase(op, {}));
    schedule.phases.push_back(compute_phase(phase, {kernel(tile, tensor, {tensor})}));
    // Without a home region the output fails first; with one, the input always resolves.
    const ProgramsResult expected =
        c.home ? ProgramsResult(Programs{{0, {}}, {1, {}}, {tile, {compute_step(phase, {*c.input}, *c.home)}}})
               : ProgramsResult(std::unexpected(c.home.error()));
    EXPECT_EQ(schedule.lower_tile_programs(Topology::m917()), expected) << c.name;
  }
}

TEST(TileProgramTest, ReportsTheFirstFailureInTileThenPhaseThenOperandOrder) {
  struct Case {
    std::string name;
    Schedule schedule;
    Topology topology;
    CompileError error;
  };
  auto schedule_of = [](std::uint16_t tile_count, std::vector<Phase> phases, std::vector<Allocation> allocations) {
    Schedule schedule;
    schedule.tile_count = tile_count;
    schedule.phases = std::move(phases);
    schedule.allocations = std::move(allocations);
    return schedule;
  };
  const Case cases[] = {
      {"tile 0 before tile 3, whatever the command order",
       schedule_of(4, {compute_phase(0, {kernel(3, 1, {0}), kernel(0, 1, {0})})},
                   {home(0, 0, 0x58000), home(0, 3, 0x58000)}),
       Topology::m917(), missing_home(1, 0)},
      {"output before inputs", schedule_of(1, {compute_phase(0, {kernel(0, 7, {8})})}, {}), Topology::m917(),
       missing_home(7, 0)},
      {"inputs in operand order", schedule_of(1, {compute_phase(0, {kernel(0, 7, {9, 8})})}, {home(7, 0, 0x58000)}),
       Topology::m917(), missing_home(9, 0)},
      {"earlier phase first",
       schedule_of(1, {compute_phase(0, {kernel(0, 10, {})}), compute_phase(1, {kernel(0, 11, {})})}, {}),
       Topology::m917(), missing_home(10, 0)},
      // The exchange lowering runs before any tile is visited.
      {"exchange lowering first", schedule_of(4, {compute_phase(0, {kernel(0, 1, {})})}, {}), Topology{{0, 1}},
       CompileError::graph("exchange topology has too few tiles")},
      // A command on a tile beyond tile_count is not dropped; tiles that have a
      // program are reported first.
      {"command beyond the tile count",
       schedule_of(2, {compute_phase(0, {kernel(5, 1, {})}), compute_phase(1, {kernel(3, 1, {})})}, {}),
       Topology::m917(), CompileError::graph("tile 3 is out of range")},
      {"in-range tiles before a command beyond the tile count",
       schedule_of(2, {compute_phase(0, {kernel(5, 1, {}), kernel(1, 1, {})})}, {}), Topology::m917(),
       missing_home(1, 1)},
  };
  for (const Case& c : cases) {
    logging::EventRecorder recorder;
    ProgramsResult result;
    {
      logging::ScopedSubscriber guard(recorder);
      result = c.schedule.lower_tile_programs(c.topology);
    }
    EXPECT_EQ(result, ProgramsResult(std::unexpected(c.error))) << c.name;
    for (const logging::RecordedEvent& event : recorder.events()) {
      EXPECT_NE(event.message, "lowered per-tile programs") << c.name;
    }
  }
}

TEST(TileProgramTest, LogsTheProgramCountAfterTheExchangeLowering) {
  logging::EventRecorder recorder;
  {
    logging::ScopedSubscriber guard(recorder);
    ASSERT_TRUE(three_phase_schedule().lower_tile_programs(Topology::m917()).has_value());
  }
  std::vector<std::string> compiler_events;
  for (const logging::RecordedEvent& event : recorder.events()) {
    if (event.target == "tessal_compiler") compiler_events.push_back(event.message);
  }
  EXPECT_EQ(compiler_events, (std::vector<std::string>{"lowered exchange schedule", "lowered per-tile programs"}));
  ASSERT_FALSE(recorder.events().empty());
  EXPECT_EQ(recorder.events().back(), (logging::RecordedEvent{.message = "lowered per-tile programs",
                                                              .level = logging::Level::Info,
                                                              .target = "tessal_compiler",
                                                              .fields = {{"tiles", "4"}}}));
}

TEST(TileProgramTest, PrintsStepsAsVariantsWithTheirFields) {
  const LoweredTileProgram program{3, {compute_step(1, {16, 32}, 64), exchange_step(2, 0, {7, 8})}};
  std::ostringstream out;
  out << program;
  EXPECT_EQ(out.str(),
            "LoweredTileProgram { tile: 3, steps: [Compute(LoweredComputeCommand { op: OpId(1), input_addresses: "
            "[16, 32], output_address: 64, specialization: " +
                tessal_exchange::debug_text::to_string(key("add")) +
                " }), Exchange { phase: 2, epoch: 0, row: [7, 8] }] }");
}

// The programs of the compiled encoder layer, rebuilt the slow way: every
// address found by its own scan through home_address and
// compute_input_address, every tile walking every command.
Programs programs_by_single_lookups(const Schedule& schedule,
                                    const std::vector<tessal_compiler::LoweredExchangePhase>& lowered) {
  Programs programs;
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    LoweredTileProgram program{tile, {}};
    for (std::uint64_t p = 0; p < schedule.phases.size(); ++p) {
      if (const Phase::Compute* compute = schedule.phases[p].compute()) {
        for (const KernelCommand& command : compute->commands) {
          if (command.tile != tile) continue;
          LoweredComputeCommand step{
              .op = compute->op, .input_addresses = {}, .output_address = 0, .specialization = command.specialization};
          step.output_address = schedule.home_address(command.output, tile).value();
          for (const TensorId input : command.inputs) {
            step.input_addresses.push_back(schedule.compute_input_address(input, tile, p).value());
          }
          program.steps.push_back(LoweredTileStep{std::move(step)});
        }
        continue;
      }
      for (const auto& phase : lowered) {
        if (phase.phase != p) continue;
        for (std::uint64_t e = 0; e < phase.epochs.size(); ++e) {
          program.steps.push_back(exchange_step(p, e, phase.epochs[e].row_for(tile)));
        }
      }
    }
    programs.push_back(std::move(program));
  }
  return programs;
}

TEST(TileProgramTest, EncoderProgramsMatchSingleLookupsAndRepeat) {
  const auto graph = tessal_compiler::encoder_graph({});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const auto schedule = tessal_compiler::compile(*graph, {});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const auto lowered = schedule->lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();

  const ProgramsResult programs = schedule->lower_tile_programs(Topology::m917());
  ASSERT_TRUE(programs.has_value()) << programs.error();
  EXPECT_EQ(*programs, programs_by_single_lookups(*schedule, *lowered));
  EXPECT_EQ(schedule->lower_tile_programs(Topology::m917()), programs);

  // The encoder reads received copies: the staging rule is exercised.
  bool reads_staging = false;
  for (const LoweredTileProgram& program : *programs) {
    for (const LoweredTileStep& step : program.steps) {
      if (const LoweredComputeCommand* compute = step.compute()) {
        for (const std::uint32_t address : compute->input_addresses) {
          reads_staging = reads_staging || (address >= 0x50000 && address < 0x58000);
        }
      }
    }
  }
  EXPECT_TRUE(reads_staging);
}

}  // namespace

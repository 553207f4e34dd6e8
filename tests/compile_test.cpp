#include "tessal_compiler/compile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/memory_planner.hpp"
#include "tessal_exchange/logging.hpp"

namespace {

using namespace tessal_compiler;
namespace logging = tessal_exchange::logging;

Graph encoder() {
  auto graph = encoder_graph({});
  EXPECT_TRUE(graph) << graph.error();
  return graph ? *graph : Graph{};
}

std::string error_text(const std::expected<Schedule, CompileError>& result) {
  std::ostringstream text;
  if (result) {
    text << "compiled";
  } else {
    text << result.error();
  }
  return text.str();
}

std::string error_text(const CompileError& error) {
  std::ostringstream text;
  text << error;
  return text.str();
}

logging::RecordedEvent compiling_event(std::uint64_t operations, std::uint64_t tensors, std::uint64_t tiles) {
  return {"compiling graph",
          logging::Level::Info,
          "tessal_compiler",
          {{"operations", std::to_string(operations)},
           {"tensors", std::to_string(tensors)},
           {"tiles", std::to_string(tiles)}}};
}

// ---------------------------------------------------------------------------
// The encoder graph with the default options

class EncoderCompileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    graph_ = encoder();
    logging::ScopedSubscriber guard(recorder_);
    auto schedule = compile(graph_, {});
    ASSERT_TRUE(schedule) << schedule.error();
    schedule_ = std::move(*schedule);
  }

  Graph graph_;
  Schedule schedule_;
  logging::EventRecorder recorder_;
};

TEST_F(EncoderCompileTest, OneComputePhasePerOperationAndExchangesAtSevenAndTwelve) {
  ASSERT_EQ(schedule_.phases.size(), 17U);
  std::vector<std::uint64_t> compute_ops;
  std::vector<std::size_t> exchange_indexes;
  for (std::size_t p = 0; p < schedule_.phases.size(); ++p) {
    if (const Phase::Compute* compute = schedule_.phases[p].compute()) {
      compute_ops.push_back(compute->op.index);
      EXPECT_EQ(compute->commands, kernel_commands(graph_.ops[compute->op.index], graph_,
                                                   schedule_.layouts[graph_.ops[compute->op.index].output.index]))
          << "phase " << p;
    } else {
      exchange_indexes.push_back(p);
    }
  }
  EXPECT_EQ(compute_ops, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(exchange_indexes, (std::vector<std::size_t>{7, 12}));
}

TEST_F(EncoderCompileTest, ExchangePhasesCopyWholeSharesToTheWiderLayouts) {
  std::vector<Transfer> softmax;
  for (std::uint16_t tile = 4; tile <= 7; ++tile) {
    softmax.push_back(Transfer{TensorId{13}, 1024, static_cast<std::uint16_t>(tile - 4), tile});
  }
  std::vector<Transfer> norm2;
  for (std::uint16_t tile = 8; tile <= 31; ++tile) {
    norm2.push_back(Transfer{TensorId{17}, 1024, static_cast<std::uint16_t>(tile % 8), tile});
  }
  ASSERT_EQ(schedule_.phases.size(), 17U);
  EXPECT_EQ(schedule_.phases[7], (Phase{Phase::Exchange{softmax}}));
  EXPECT_EQ(schedule_.phases[12], (Phase{Phase::Exchange{norm2}}));
}

TEST_F(EncoderCompileTest, LayoutsTileCountAndPeakSram) {
  std::vector<Layout> layouts;
  for (const Tensor& tensor : graph_.tensors) layouts.push_back(choose_layout(tensor, 64));
  EXPECT_EQ(schedule_.layouts, layouts);
  EXPECT_EQ(schedule_.tile_count, 64);
  EXPECT_EQ(schedule_.allocations.size(), 388U);

  ASSERT_EQ(schedule_.peak_sram.size(), 64U);
  constexpr std::uint32_t widest_peak = 0x8000 + 9 * 1024;
  for (std::uint16_t tile = 0; tile < 8; ++tile) EXPECT_EQ(schedule_.peak_sram.at(tile), widest_peak) << tile;
  // The peak of every tile is the highest end of its regions, from the staging window's base.
  std::map<std::uint16_t, std::uint32_t> highest_end;
  for (const Allocation& allocation : schedule_.allocations) {
    std::uint32_t& end = highest_end[allocation.tile];
    end = std::max(end, allocation.address + allocation.size - 0x50000);
  }
  EXPECT_EQ(schedule_.peak_sram, highest_end);
}

TEST_F(EncoderCompileTest, LogsStartPlanningAndCompletion) {
  constexpr std::uint32_t peak = 0x8000 + 9 * 1024;
  const std::vector<logging::RecordedEvent> expected{
      compiling_event(15, 22, 64),
      {"planned tile SRAM", logging::Level::Debug, "tessal_compiler", {{"peak_bytes", std::to_string(peak)}}},
      {"graph compilation completed",
       logging::Level::Info,
       "tessal_compiler",
       {{"phases", "17"}, {"allocations", "388"}, {"peak_bytes", std::to_string(peak)}}},
  };
  EXPECT_EQ(recorder_.events(), expected);
}

TEST_F(EncoderCompileTest, CompilingAgainGivesAnEqualSchedule) {
  const auto again = compile(graph_, {});
  ASSERT_TRUE(again) << again.error();
  EXPECT_EQ(*again, schedule_);
}

// ---------------------------------------------------------------------------
// Options and the order of the checks

TEST(CompileOptionsTest, RejectsInvalidWindowsAndTileCount) {
  const Graph graph = encoder();
  struct Case {
    const char* name;
    CompilerOptions options;
    bool valid;
  };
  const Case cases[] = {
      {"defaults", {}, true},
      {"tile count 0", {.tile_count = 0}, false},
      {"staging below 0x50000", {.exchange_base = 0x4ffff}, false},
      {"staging end above 0x58000", {.exchange_limit = 0x58001, .data_base = 0x58001}, false},
      {"staging window empty", {.exchange_base = 0x54000, .exchange_limit = 0x54000}, false},
      {"home window starts inside the staging window", {.data_base = 0x57ff0}, false},
      {"home window empty", {.data_base = 0x60000, .data_limit = 0x60000}, false},
      {"home window reversed", {.data_base = 0x60000, .data_limit = 0x5ffff}, false},
      {"staging ends where the home window starts", {.exchange_limit = 0x54000, .data_base = 0x54000}, true},
      {"home window up to the last address", {.data_limit = 0xffffffff}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(compile(graph, c.options)),
              c.valid ? "compiled" : error_text(CompileError::graph("invalid compiler options")))
        << c.name;
  }
}

TEST(CompileOptionsTest, GraphIsCheckedBeforeOptionsAndOnlyTheFirstEventIsEmitted) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 4});
  ASSERT_TRUE(graph.gelu("y", x));

  logging::EventRecorder recorder;
  logging::ScopedSubscriber guard(recorder);
  const auto result = compile(graph, CompilerOptions{.tile_count = 0});
  EXPECT_EQ(error_text(result), error_text(CompileError::graph("graph has no outputs")));
  EXPECT_EQ(recorder.events(), (std::vector<logging::RecordedEvent>{compiling_event(1, 2, 0)}));
}

TEST(CompileOptionsTest, FailureAfterTheChecksEmitsOnlyTheFirstEvent) {
  logging::EventRecorder recorder;
  logging::ScopedSubscriber guard(recorder);
  const auto result = compile(encoder(), CompilerOptions{.data_limit = 0x58400});
  EXPECT_EQ(error_text(result), error_text(CompileError::memory("tile 0 exceeds data limit allocating wq")));
  EXPECT_EQ(recorder.events(), (std::vector<logging::RecordedEvent>{compiling_event(15, 22, 64)}));
}

// ---------------------------------------------------------------------------
// Phases and failures on small graphs

TEST(CompilePhasesTest, ElementwiseChainKeepsLayoutsAndNeedsNoExchange) {
  Graph graph;
  const TensorId x = graph.input("x", {32, 64});
  const auto a = graph.gelu("a", x);
  ASSERT_TRUE(a) << a.error();
  const auto b = graph.layer_norm("b", *a, 1e-5F);
  ASSERT_TRUE(b) << b.error();
  const auto c = graph.add("c", *b, x);
  ASSERT_TRUE(c) << c.error();
  ASSERT_TRUE(graph.mark_output(*c));

  const auto schedule = compile(graph, {});
  ASSERT_TRUE(schedule) << schedule.error();
  std::vector<Phase> expected;
  for (const Op& op : graph.ops) {
    expected.push_back(Phase{Phase::Compute{op.id, kernel_commands(op, graph, schedule->layouts[op.output.index])}});
  }
  EXPECT_EQ(schedule->phases, expected);
}

TEST(CompilePhasesTest, OneTileHoldsEverythingAndEveryCommandIsTheTail) {
  const auto schedule = compile(encoder(), CompilerOptions{.tile_count = 1});
  ASSERT_TRUE(schedule) << schedule.error();
  EXPECT_EQ(schedule->tile_count, 1);
  EXPECT_EQ(schedule->phases.size(), 15U);
  for (const Layout& layout : schedule->layouts) EXPECT_EQ(layout.tiles, std::vector<std::uint16_t>{0});
  for (const Phase& phase : schedule->phases) {
    const Phase::Compute* compute = phase.compute();
    ASSERT_NE(compute, nullptr) << phase;
    ASSERT_EQ(compute->commands.size(), 1U) << phase;
    EXPECT_EQ(compute->commands[0].tile, 0);
    EXPECT_EQ(compute->commands[0].specialization.role, "tail");
  }
  EXPECT_EQ(schedule->peak_sram.size(), 1U);
  EXPECT_TRUE(schedule->peak_sram.contains(0));
}

TEST(CompilePhasesTest, TransfersFollowOperandThenOutputTileOrder) {
  // Both inputs sit on 1 tile, the output on 3: every input goes to tiles 1 and 2.
  Graph graph;
  const TensorId left = graph.input("left", {4, 4});
  const TensorId right = graph.input("right", {4, 4});
  const auto out = graph.op("wide", OpKind{OpKind::Add{}}, {left, right}, {3, 256});
  ASSERT_TRUE(out) << out.error();
  ASSERT_TRUE(graph.mark_output(*out));

  const auto schedule = compile(graph, {});
  ASSERT_TRUE(schedule) << schedule.error();
  ASSERT_EQ(schedule->phases.size(), 2U);
  const std::vector<Transfer> expected{{left, 64, 0, 1}, {left, 64, 0, 2}, {right, 64, 0, 1}, {right, 64, 0, 2}};
  EXPECT_EQ(schedule->phases[0], (Phase{Phase::Exchange{expected}}));
  ASSERT_NE(schedule->phases[1].compute(), nullptr);
}

TEST(CompilePhasesTest, FailuresOfTransfersAndPlanning) {
  // One input listed twice for a wider output sends the same share twice to one tile.
  Graph twice;
  const TensorId x = twice.input("x", {4, 4});
  const auto doubled = twice.op("doubled", OpKind{OpKind::Add{}}, {x, x}, {2, 256});
  ASSERT_TRUE(doubled) << doubled.error();
  ASSERT_TRUE(twice.mark_output(*doubled));

  // A share whose aligned size does not fit 32 bits: 0xfffffffc bytes on one tile.
  Graph huge;
  const TensorId big = huge.input("big", {0x3fffffff});
  ASSERT_TRUE(huge.gelu("y", big));
  ASSERT_TRUE(huge.mark_output(TensorId{1}));

  // 2^33 bytes, beyond 32 bits before alignment.
  Graph larger;
  const TensorId larger_input = larger.input("larger", {std::uint64_t{1} << 31});
  ASSERT_TRUE(larger.gelu("y", larger_input));
  ASSERT_TRUE(larger.mark_output(TensorId{1}));

  // Both faults at once: the oversized share is found before any phase is
  // built, so the duplicate transfer of the first operation is never reached.
  Graph both = twice;
  const TensorId wide_input = both.input("wide", {std::uint64_t{1} << 31, 2});
  ASSERT_TRUE(both.gelu("wide_out", wide_input));

  struct Case {
    const char* name;
    Graph graph;
    CompilerOptions options;
    CompileError error;
  };
  const Case cases[] = {
      {"duplicate operand", twice, {}, CompileError::graph("multiple sends target one tensor region in an epoch")},
      {"share beyond 32 bits before a duplicate transfer", both, {.tile_count = 2},
       CompileError::memory("tile 0 exceeds data limit allocating wide")},
      {"aligned share beyond 32 bits", huge, {.tile_count = 1, .data_limit = 0xffffffff},
       CompileError::memory("tile 0 exceeds data limit allocating big")},
      {"share beyond 32 bits", larger, {.tile_count = 1, .data_limit = 0xffffffff},
       CompileError::memory("tile 0 exceeds data limit allocating larger")},
      {"staging window too small", encoder(), {.exchange_limit = 0x50100},
       CompileError::memory("tile 4 exceeds data limit allocating tensor 13 exchange staging")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(compile(c.graph, c.options)), error_text(c.error)) << c.name;
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_exchange/debug_text.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/layout.hpp"

namespace {

using tessal_compiler::choose_layout;
using tessal_compiler::DType;
using tessal_compiler::encoder_graph;
using tessal_compiler::EncoderConfig;
using tessal_compiler::Graph;
using tessal_compiler::KernelCommand;
using tessal_compiler::kernel_commands;
using tessal_compiler::Layout;
using tessal_compiler::local_bytes;
using tessal_compiler::Sharding;
using tessal_compiler::SpecializationKey;
using tessal_compiler::Tensor;
using tessal_compiler::TensorId;
using tessal_compiler::TensorKind;
using tessal_compiler::worker_count;
using Shape = std::vector<std::uint64_t>;

using tessal_exchange::debug_text::to_string;

Tensor make_tensor(Shape shape, TensorKind kind = TensorKind::Intermediate, std::uint64_t id = 5) {
  return Tensor{TensorId{id}, "t", DType::F32, std::move(shape), kind, std::nullopt};
}

std::vector<std::uint16_t> first_tiles(std::uint16_t count) {
  std::vector<std::uint16_t> tiles;
  for (std::uint16_t tile = 0; tile < count; ++tile) tiles.push_back(tile);
  return tiles;
}

TEST(ChooseLayoutTest, AboutOneKibPerTileFromTileZero) {
  struct Case {
    Shape shape;
    std::uint16_t tile_count;
    std::uint16_t tiles;
  };
  const std::uint64_t huge = std::uint64_t{1} << 40;
  const Case cases[] = {
      {{1, 1}, 64, 1},          // 4 bytes
      {{1, 256}, 64, 1},        // exactly 1024 bytes
      {{1, 257}, 64, 2},        // 1028 bytes
      {{16, 64}, 64, 4},        // 4096 bytes
      {{32, 256}, 64, 32},      // 32 KiB
      {{64, 256}, 64, 64},      // 64 KiB: every tile
      {{64, 512}, 64, 64},      // beyond tile_count KiB: still every tile
      {{64, 512}, 1, 1},        // one tile holds everything
      {{4, 4}, 1472, 1},
      {{1472, 256}, 1472, 1472},
      {{huge, huge}, 64, 64},   // beyond 64-bit bytes: treated as largest, never wrapped
      {{huge, 0}, 64, 1},       // no bytes at all: still one tile
  };
  for (const Case& c : cases) {
    const Tensor tensor = make_tensor(c.shape);
    SCOPED_TRACE(to_string(tensor) + " on " + std::to_string(c.tile_count));
    EXPECT_EQ(choose_layout(tensor, c.tile_count),
              (Layout{TensorId{5}, first_tiles(c.tiles), Sharding::Rows, 16}));
  }
}

TEST(ChooseLayoutTest, ShardingFollowsKindAndRank) {
  struct Case {
    TensorKind kind;
    Shape shape;
    Sharding sharding;
  };
  const Case cases[] = {
      {TensorKind::Weight, {4, 4}, Sharding::Columns},         {TensorKind::Input, {4, 4}, Sharding::Rows},
      {TensorKind::Intermediate, {4, 4}, Sharding::Rows},      {TensorKind::Output, {4, 4}, Sharding::Rows},
      {TensorKind::Weight, {2, 2, 2}, Sharding::Heads},        {TensorKind::Input, {2, 2, 2, 2}, Sharding::Heads},
      {TensorKind::Weight, {4}, Sharding::Replicated},         {TensorKind::Input, {4}, Sharding::Replicated},
      {TensorKind::Intermediate, {}, Sharding::Replicated},
  };
  for (const Case& c : cases) {
    const Tensor tensor = make_tensor(c.shape, c.kind);
    SCOPED_TRACE(to_string(tensor));
    EXPECT_EQ(choose_layout(tensor, 64).sharding, c.sharding);
  }
}

TEST(ChooseLayoutTest, NoTilesLeaveTheLayoutEmptyAndItHoldsNothing) {
  const Tensor tensor = make_tensor({32, 64});
  const Layout layout = choose_layout(tensor, 0);
  EXPECT_EQ(layout, (Layout{TensorId{5}, {}, Sharding::Rows, 16}));
  EXPECT_EQ(local_bytes(tensor, layout), 0U);
}

TEST(LocalBytesTest, EveryTileHoldsTheSameRoundedUpShare) {
  struct Case {
    Shape shape;
    std::uint16_t tiles;
    std::uint64_t bytes;
  };
  const Case cases[] = {
      {{10}, 4, 10},        // 40 bytes over 4 tiles
      {{257}, 2, 514},      // 1028 bytes over 2 tiles
      {{32, 64}, 8, 1024},  // even split
      {{3}, 1, 12},
      {{1}, 3, 2},          // 4 bytes over 3 tiles
  };
  for (const Case& c : cases) {
    const Tensor tensor = make_tensor(c.shape);
    SCOPED_TRACE(to_string(tensor));
    const Layout layout{tensor.id, first_tiles(c.tiles), Sharding::Rows, 16};
    EXPECT_EQ(local_bytes(tensor, layout), c.bytes);
  }
}

TEST(WorkerCountTest, SixWorkersFrom96Elements) {
  EXPECT_EQ(worker_count(make_tensor({95})), 1);
  EXPECT_EQ(worker_count(make_tensor({96})), 6);
  EXPECT_EQ(worker_count(make_tensor({8, 12})), 6);
  EXPECT_EQ(worker_count(make_tensor({1})), 1);
  EXPECT_EQ(worker_count(make_tensor({0, 500})), 1);
}

TEST(EncoderLayoutTest, DefaultEncoderOnSixtyFourTiles) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  struct Expected {
    std::string name;
    std::uint16_t tiles;
    Sharding sharding;
  };
  const Expected expected[] = {
      {"input", 8, Sharding::Rows},
      {"wq", 16, Sharding::Columns},
      {"wk", 16, Sharding::Columns},
      {"wv", 16, Sharding::Columns},
      {"wo", 16, Sharding::Columns},
      {"w1", 64, Sharding::Columns},
      {"w2", 64, Sharding::Columns},
      {"norm1", 8, Sharding::Rows},
      {"q", 8, Sharding::Rows},
      {"k", 8, Sharding::Rows},
      {"v", 8, Sharding::Rows},
      {"k_transpose", 8, Sharding::Rows},
      {"attention_scores", 4, Sharding::Rows},
      {"attention_softmax", 4, Sharding::Rows},
      {"attention_context", 8, Sharding::Rows},
      {"attention_projection", 8, Sharding::Rows},
      {"attention_residual", 8, Sharding::Rows},
      {"norm2", 8, Sharding::Rows},
      {"ffn_up", 32, Sharding::Rows},
      {"ffn_gelu", 32, Sharding::Rows},
      {"ffn_down", 8, Sharding::Rows},
      {"ffn_residual", 8, Sharding::Rows},
  };
  ASSERT_EQ(graph->tensors.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Tensor& tensor = graph->tensors[i];
    ASSERT_EQ(tensor.name, expected[i].name);
    EXPECT_EQ(choose_layout(tensor, 64),
              (Layout{TensorId{i}, first_tiles(expected[i].tiles), expected[i].sharding, 16}));
  }
}

TEST(KernelCommandsTest, FfnUpGivesOneCommandPerTileWithTheLastAsTail) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const auto& op = graph->ops[11];
  ASSERT_EQ(op.name, "ffn_up");
  const Layout layout = choose_layout(graph->tensors[op.output.index], 64);

  std::vector<KernelCommand> expected;
  for (std::uint16_t tile = 0; tile < 32; ++tile) {
    expected.push_back(KernelCommand{
        tile, TensorId{18}, {TensorId{17}, TensorId{5}},
        SpecializationKey{"matmul", {32, 256}, 6, tile == 31 ? "tail" : "body", 16}});
  }
  EXPECT_EQ(kernel_commands(op, *graph, layout), expected);
}

TEST(KernelCommandsTest, FollowTheGivenLayoutAndSingleTileIsTail) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId y = *graph.transpose("y", x, {1, 0});
  const auto& op = graph.ops[0];

  const Layout one{y, {0}, Sharding::Rows, 16};
  EXPECT_EQ(kernel_commands(op, graph, one),
            (std::vector<KernelCommand>{{0, y, {x}, SpecializationKey{"transpose", {3, 2}, 1, "tail", 16}}}));

  // The commands follow the layout's tile order and alignment as given.
  const Layout shuffled{y, {7, 2, 5}, Sharding::Rows, 64};
  EXPECT_EQ(kernel_commands(op, graph, shuffled),
            (std::vector<KernelCommand>{{7, y, {x}, SpecializationKey{"transpose", {3, 2}, 1, "body", 64}},
                                        {2, y, {x}, SpecializationKey{"transpose", {3, 2}, 1, "body", 64}},
                                        {5, y, {x}, SpecializationKey{"transpose", {3, 2}, 1, "tail", 64}}}));
}

TEST(LayoutDebugTextTest, RecordsPrintTheirFieldsInOrder) {
  EXPECT_EQ(to_string(Sharding::Columns), "Columns");
  EXPECT_EQ(to_string(Layout{TensorId{3}, {0, 1}, Sharding::Rows, 16}),
            "Layout { tensor: TensorId(3), tiles: [0, 1], sharding: Rows, alignment: 16 }");
  EXPECT_EQ(to_string(KernelCommand{31, TensorId{18}, {TensorId{17}, TensorId{5}},
                                SpecializationKey{"matmul", {32, 256}, 6, "tail", 16}}),
            "KernelCommand { tile: 31, output: TensorId(18), inputs: [TensorId(17), TensorId(5)], "
            "specialization: SpecializationKey { operation: \"matmul\", shape: [32, 256], worker_count: 6, "
            "role: \"tail\", alignment: 16 } }");
}

}  // namespace

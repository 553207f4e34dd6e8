#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_compiler/encoder.hpp"

namespace {

using tessal_compiler::CompileError;
using tessal_compiler::DType;
using tessal_compiler::encoder_graph;
using tessal_compiler::EncoderConfig;
using tessal_compiler::Graph;
using tessal_compiler::Op;
using tessal_compiler::OpId;
using tessal_compiler::OpKind;
using tessal_compiler::Tensor;
using tessal_compiler::TensorId;
using tessal_compiler::TensorKind;
using Shape = std::vector<std::uint64_t>;

// The whole encoder graph for a configuration, written out tensor by tensor and
// operation by operation in creation order.
Graph expected_encoder(std::uint64_t s, std::uint64_t h, std::uint64_t f) {
  struct Source {
    std::string name;
    TensorKind kind;
    Shape shape;
  };
  const Source sources[] = {
      {"input", TensorKind::Input, {s, h}}, {"wq", TensorKind::Weight, {h, h}}, {"wk", TensorKind::Weight, {h, h}},
      {"wv", TensorKind::Weight, {h, h}},   {"wo", TensorKind::Weight, {h, h}}, {"w1", TensorKind::Weight, {h, f}},
      {"w2", TensorKind::Weight, {f, h}},
  };
  struct Operation {
    std::string name;
    OpKind kind;
    std::vector<std::uint64_t> inputs;
    Shape shape;
  };
  const OpKind matmul{OpKind::MatMul{}};
  const OpKind add{OpKind::Add{}};
  const OpKind norm{OpKind::LayerNorm{1e-5F}};
  const Operation operations[] = {
      {"norm1", norm, {0}, {s, h}},
      {"q", matmul, {7, 1}, {s, h}},
      {"k", matmul, {7, 2}, {s, h}},
      {"v", matmul, {7, 3}, {s, h}},
      {"k_transpose", {OpKind::Transpose{{1, 0}}}, {9}, {h, s}},
      {"attention_scores", matmul, {8, 11}, {s, s}},
      {"attention_softmax", {OpKind::Softmax{1}}, {12}, {s, s}},
      {"attention_context", matmul, {13, 10}, {s, h}},
      {"attention_projection", matmul, {14, 4}, {s, h}},
      {"attention_residual", add, {0, 15}, {s, h}},
      {"norm2", norm, {16}, {s, h}},
      {"ffn_up", matmul, {17, 5}, {s, f}},
      {"ffn_gelu", {OpKind::Gelu{}}, {18}, {s, f}},
      {"ffn_down", matmul, {19, 6}, {s, h}},
      {"ffn_residual", add, {16, 20}, {s, h}},
  };

  Graph graph;
  for (const Source& source : sources) {
    graph.tensors.push_back(
        Tensor{TensorId{graph.tensors.size()}, source.name, DType::F32, source.shape, source.kind, std::nullopt});
  }
  for (const Operation& operation : operations) {
    const OpId op{graph.ops.size()};
    const TensorId output{graph.tensors.size()};
    graph.tensors.push_back(
        Tensor{output, operation.name, DType::F32, operation.shape, TensorKind::Intermediate, op});
    std::vector<TensorId> inputs;
    for (const std::uint64_t input : operation.inputs) inputs.push_back(TensorId{input});
    graph.ops.push_back(Op{op, operation.name, operation.kind, inputs, output});
  }
  graph.tensors.back().kind = TensorKind::Output;
  graph.outputs = {TensorId{21}};
  return graph;
}

TEST(EncoderConfigTest, DefaultsAndDebugText) {
  const EncoderConfig config;
  EXPECT_EQ(config, (EncoderConfig{32, 64, 4, 256}));
  std::ostringstream out;
  out << config;
  EXPECT_EQ(out.str(), "EncoderConfig { sequence: 32, hidden: 64, heads: 4, feed_forward: 256 }");
}

TEST(EncoderGraphTest, DefaultConfigurationGivesTheFixedIdTable) {
  const auto graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  EXPECT_EQ(graph->tensors.size(), 22U);
  EXPECT_EQ(graph->ops.size(), 15U);
  EXPECT_EQ(*graph, expected_encoder(32, 64, 256));
  EXPECT_EQ(graph->tensors[12].shape, (Shape{32, 32}));
  EXPECT_EQ(graph->tensors[18].shape, (Shape{32, 256}));
  EXPECT_TRUE(graph->validate().has_value());
}

TEST(EncoderGraphTest, DimensionsComeFromTheConfiguration) {
  const auto graph = encoder_graph(EncoderConfig{.sequence = 8, .hidden = 12, .heads = 3, .feed_forward = 20});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  EXPECT_EQ(*graph, expected_encoder(8, 12, 20));
}

TEST(EncoderGraphTest, BuildingTwiceGivesEqualGraphs) {
  EXPECT_EQ(encoder_graph(EncoderConfig{}), encoder_graph(EncoderConfig{}));
}

TEST(EncoderGraphTest, DimensionTest) {
  struct Case {
    EncoderConfig config;
    bool accepted;
  };
  const Case cases[] = {
      {{.sequence = 32, .hidden = 64, .heads = 3, .feed_forward = 256}, false},
      {{.sequence = 32, .hidden = 64, .heads = 64, .feed_forward = 256}, true},
      {{.sequence = 32, .hidden = 64, .heads = 128, .feed_forward = 256}, false},
      {{.sequence = 32, .hidden = 0, .heads = 4, .feed_forward = 256}, false},
      {{.sequence = 0, .hidden = 64, .heads = 4, .feed_forward = 256}, false},
      {{.sequence = 32, .hidden = 64, .heads = 0, .feed_forward = 256}, false},
      {{.sequence = 1, .hidden = 1, .heads = 1, .feed_forward = 1}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.config));
    const auto graph = encoder_graph(c.config);
    if (c.accepted) {
      EXPECT_TRUE(graph.has_value()) << graph.error();
    } else {
      ASSERT_FALSE(graph.has_value());
      EXPECT_EQ(graph.error(), CompileError::graph("invalid encoder dimensions"));
    }
  }
}

TEST(EncoderGraphTest, ZeroFeedForwardIsBuiltButRejectedByValidationAtW1) {
  const auto graph = encoder_graph(EncoderConfig{.feed_forward = 0});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  EXPECT_EQ(*graph, expected_encoder(32, 64, 0));
  const auto valid = graph->validate();
  ASSERT_FALSE(valid.has_value());
  EXPECT_EQ(valid.error(), CompileError::graph("invalid tensor w1"));
}

TEST(EncoderGraphTest, HugeDimensionsAreBuiltButRejectedByValidation) {
  // Every extent fits, but the byte size of the first tensor does not.
  const std::uint64_t huge = std::uint64_t{1} << 32;
  const auto graph = encoder_graph(EncoderConfig{.sequence = huge, .hidden = huge, .heads = 1, .feed_forward = 1});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  EXPECT_EQ(graph->validate().error(), CompileError::graph("invalid tensor input"));
}

}  // namespace

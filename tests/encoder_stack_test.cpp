#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/graph.hpp"

namespace tessal_compiler {
namespace {

constexpr std::uint64_t tensors_per_layer = 21;  // six weights and fifteen operation results
constexpr std::uint64_t ops_per_layer = 15;

const Tensor& named(const Graph& graph, const std::string& name) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.name == name) return tensor;
  }
  ADD_FAILURE() << "no tensor named " << name;
  static const Tensor none;
  return none;
}

TEST(EncoderStackGraph, OneLayerIsTheEncoderGraph) {
  for (const EncoderConfig config : {EncoderConfig{}, EncoderConfig{4, 8, 2, 16}, EncoderConfig{128, 768, 12, 3072}}) {
    const auto single = encoder_graph(config);
    const auto stacked = encoder_stack_graph(config, 1);
    ASSERT_TRUE(single.has_value()) << single.error();
    ASSERT_TRUE(stacked.has_value()) << stacked.error();
    EXPECT_EQ(*stacked, *single) << config;
  }
}

TEST(EncoderStackGraph, LayersChainThroughTheirResiduals) {
  const EncoderConfig config;
  const auto graph = encoder_stack_graph(config, 3);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  ASSERT_TRUE(graph->validate().has_value());

  EXPECT_EQ(graph->tensors.size(), 1 + 3 * tensors_per_layer);
  EXPECT_EQ(graph->ops.size(), 3 * ops_per_layer);

  const Tensor& input = named(*graph, "input");
  EXPECT_EQ(input.id, TensorId{0});
  EXPECT_EQ(input.kind, TensorKind::Input);

  // Layer l reads layer l-1's result both in its first norm and in its attention residual.
  for (std::uint64_t layer = 0; layer < 3; ++layer) {
    std::string suffix = "_";
    suffix += std::to_string(layer);
    const TensorId layer_input = layer == 0 ? input.id : named(*graph, "ffn_residual_" + std::to_string(layer - 1)).id;
    const Tensor& norm1 = named(*graph, "norm1" + suffix);
    const Tensor& residual = named(*graph, "attention_residual" + suffix);
    ASSERT_TRUE(norm1.producer.has_value());
    ASSERT_TRUE(residual.producer.has_value());
    EXPECT_EQ(graph->ops[norm1.producer->index].inputs, std::vector<TensorId>{layer_input}) << suffix;
    EXPECT_EQ(graph->ops[residual.producer->index].inputs.front(), layer_input) << suffix;

    // Each layer has its own weights.
    const Tensor& wq = named(*graph, "wq" + suffix);
    EXPECT_EQ(wq.kind, TensorKind::Weight);
    EXPECT_EQ(wq.id, TensorId{1 + layer * tensors_per_layer});
    const Tensor& q = named(*graph, "q" + suffix);
    EXPECT_EQ(graph->ops[q.producer->index].inputs, (std::vector<TensorId>{norm1.id, wq.id})) << suffix;
  }

  // Only the last layer's result is an output; earlier results stay intermediates.
  const Tensor& last = named(*graph, "ffn_residual_2");
  EXPECT_EQ(graph->outputs, std::vector<TensorId>{last.id});
  EXPECT_EQ(last.kind, TensorKind::Output);
  EXPECT_EQ(last.id, TensorId{3 * tensors_per_layer});
  EXPECT_EQ(named(*graph, "ffn_residual_1").kind, TensorKind::Intermediate);
}

TEST(EncoderStackGraph, EveryLayerRepeatsTheFirstLayersStructure) {
  const EncoderConfig config{4, 8, 2, 16};
  const auto single = encoder_graph(config);
  const auto stacked = encoder_stack_graph(config, 12);
  ASSERT_TRUE(single.has_value()) << single.error();
  ASSERT_TRUE(stacked.has_value()) << stacked.error();
  ASSERT_EQ(stacked->ops.size(), 12 * ops_per_layer);

  for (std::uint64_t layer = 0; layer < 12; ++layer) {
    for (std::uint64_t position = 0; position < ops_per_layer; ++position) {
      const Op& op = stacked->ops[layer * ops_per_layer + position];
      const Op& original = single->ops[position];
      EXPECT_EQ(op.name, original.name + "_" + std::to_string(layer));
      EXPECT_EQ(op.kind, original.kind) << op.name;
      EXPECT_EQ(stacked->tensors[op.output.index].shape, single->tensors[original.output.index].shape) << op.name;
    }
  }
}

TEST(EncoderStackGraph, RejectsZeroLayersAndBadDimensions) {
  struct Case {
    EncoderConfig config;
    std::uint64_t layers;
    std::string message;
  };
  const std::vector<Case> cases = {
      {EncoderConfig{}, 0, "invalid encoder layer count"},
      {EncoderConfig{32, 64, 3, 256}, 2, "invalid encoder dimensions"},
      {EncoderConfig{0, 64, 4, 256}, 2, "invalid encoder dimensions"},
      {EncoderConfig{32, 0, 4, 256}, 1, "invalid encoder dimensions"},
      {EncoderConfig{32, 64, 0, 256}, 3, "invalid encoder dimensions"},
  };
  for (const Case& c : cases) {
    const auto graph = encoder_stack_graph(c.config, c.layers);
    ASSERT_FALSE(graph.has_value()) << c.config << " layers " << c.layers;
    EXPECT_EQ(graph.error(), CompileError::graph(c.message));
  }
}

}  // namespace
}  // namespace tessal_compiler

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "tessal_compiler/encoder.hpp"

namespace tessal_compiler {

namespace {

// Names of one layer: the plain names when the stack has a single layer, so
// that it is the encoder graph itself, otherwise the names suffixed "_<layer>".
class LayerNames {
 public:
  LayerNames(std::uint64_t layer, std::uint64_t layers) {
    if (layers != 1) {
      // Appended rather than "_" + text: GCC 12 warns falsely (-Wrestrict) on that form at -O2.
      suffix_ = "_";
      suffix_ += std::to_string(layer);
    }
  }

  [[nodiscard]] std::string operator()(std::string_view base) const { return std::string(base) + suffix_; }

 private:
  std::string suffix_;
};

// Appends one encoder layer that reads `layer_input` and returns its result.
std::expected<TensorId, CompileError> append_layer(Graph& graph, const EncoderConfig& config, TensorId layer_input,
                                                   const LayerNames& name) {
  const std::uint64_t hidden = config.hidden;
  const std::uint64_t feed_forward = config.feed_forward;
  constexpr float epsilon = 1e-5F;

  const TensorId wq = graph.weight(name("wq"), {hidden, hidden});
  const TensorId wk = graph.weight(name("wk"), {hidden, hidden});
  const TensorId wv = graph.weight(name("wv"), {hidden, hidden});
  const TensorId wo = graph.weight(name("wo"), {hidden, hidden});
  const TensorId w1 = graph.weight(name("w1"), {hidden, feed_forward});
  const TensorId w2 = graph.weight(name("w2"), {feed_forward, hidden});

  const auto norm1 = graph.layer_norm(name("norm1"), layer_input, epsilon);
  if (!norm1) return std::unexpected(norm1.error());
  const auto q = graph.matmul(name("q"), *norm1, wq);
  if (!q) return std::unexpected(q.error());
  const auto k = graph.matmul(name("k"), *norm1, wk);
  if (!k) return std::unexpected(k.error());
  const auto v = graph.matmul(name("v"), *norm1, wv);
  if (!v) return std::unexpected(v.error());
  const auto k_transpose = graph.transpose(name("k_transpose"), *k, {1, 0});
  if (!k_transpose) return std::unexpected(k_transpose.error());
  const auto scores = graph.matmul(name("attention_scores"), *q, *k_transpose);
  if (!scores) return std::unexpected(scores.error());
  const auto softmax = graph.softmax(name("attention_softmax"), *scores, 1);
  if (!softmax) return std::unexpected(softmax.error());
  const auto context = graph.matmul(name("attention_context"), *softmax, *v);
  if (!context) return std::unexpected(context.error());
  const auto projection = graph.matmul(name("attention_projection"), *context, wo);
  if (!projection) return std::unexpected(projection.error());
  const auto attention_residual = graph.add(name("attention_residual"), layer_input, *projection);
  if (!attention_residual) return std::unexpected(attention_residual.error());
  const auto norm2 = graph.layer_norm(name("norm2"), *attention_residual, epsilon);
  if (!norm2) return std::unexpected(norm2.error());
  const auto ffn_up = graph.matmul(name("ffn_up"), *norm2, w1);
  if (!ffn_up) return std::unexpected(ffn_up.error());
  const auto ffn_gelu = graph.gelu(name("ffn_gelu"), *ffn_up);
  if (!ffn_gelu) return std::unexpected(ffn_gelu.error());
  const auto ffn_down = graph.matmul(name("ffn_down"), *ffn_gelu, w2);
  if (!ffn_down) return std::unexpected(ffn_down.error());
  return graph.add(name("ffn_residual"), *attention_residual, *ffn_down);
}

}  // namespace

std::expected<Graph, CompileError> encoder_stack_graph(const EncoderConfig& config, std::uint64_t layers) {
  if (layers == 0) return std::unexpected(CompileError::graph("invalid encoder layer count"));
  if (config.hidden == 0 || config.sequence == 0 || config.heads == 0 || config.hidden % config.heads != 0) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }

  Graph graph;
  TensorId layer_input = graph.input("input", {config.sequence, config.hidden});
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    const auto result = append_layer(graph, config, layer_input, LayerNames(layer, layers));
    if (!result) return std::unexpected(result.error());
    layer_input = *result;
  }
  if (auto marked = graph.mark_output(layer_input); !marked) return std::unexpected(marked.error());
  return graph;
}

}  // namespace tessal_compiler

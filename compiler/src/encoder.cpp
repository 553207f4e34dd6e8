#include "tessal_compiler/encoder.hpp"

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config) {
  tessal_exchange::debug_text::StructWriter(out, "EncoderConfig")
      .field("sequence", config.sequence)
      .field("hidden", config.hidden)
      .field("heads", config.heads)
      .field("feed_forward", config.feed_forward);
  return out;
}

std::expected<Graph, CompileError> encoder_graph(const EncoderConfig& config) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  if (h == 0 || s == 0 || config.heads == 0 || h % config.heads != 0) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }

  // Attention runs over the whole model width; the heads only constrain the width.
  constexpr float epsilon = 1e-5F;
  Graph graph;
  const TensorId input = graph.input("input", {s, h});
  const TensorId wq = graph.weight("wq", {h, h});
  const TensorId wk = graph.weight("wk", {h, h});
  const TensorId wv = graph.weight("wv", {h, h});
  const TensorId wo = graph.weight("wo", {h, h});
  const TensorId w1 = graph.weight("w1", {h, f});
  const TensorId w2 = graph.weight("w2", {f, h});

  const auto norm1 = graph.layer_norm("norm1", input, epsilon);
  if (!norm1) return std::unexpected(norm1.error());
  const auto q = graph.matmul("q", *norm1, wq);
  if (!q) return std::unexpected(q.error());
  const auto k = graph.matmul("k", *norm1, wk);
  if (!k) return std::unexpected(k.error());
  const auto v = graph.matmul("v", *norm1, wv);
  if (!v) return std::unexpected(v.error());
  const auto k_transpose = graph.transpose("k_transpose", *k, {1, 0});
  if (!k_transpose) return std::unexpected(k_transpose.error());
  const auto scores = graph.matmul("attention_scores", *q, *k_transpose);
  if (!scores) return std::unexpected(scores.error());
  const auto softmax = graph.softmax("attention_softmax", *scores, 1);
  if (!softmax) return std::unexpected(softmax.error());
  const auto context = graph.matmul("attention_context", *softmax, *v);
  if (!context) return std::unexpected(context.error());
  const auto projection = graph.matmul("attention_projection", *context, wo);
  if (!projection) return std::unexpected(projection.error());
  const auto attention_residual = graph.add("attention_residual", input, *projection);
  if (!attention_residual) return std::unexpected(attention_residual.error());
  const auto norm2 = graph.layer_norm("norm2", *attention_residual, epsilon);
  if (!norm2) return std::unexpected(norm2.error());
  const auto ffn_up = graph.matmul("ffn_up", *norm2, w1);
  if (!ffn_up) return std::unexpected(ffn_up.error());
  const auto ffn_gelu = graph.gelu("ffn_gelu", *ffn_up);
  if (!ffn_gelu) return std::unexpected(ffn_gelu.error());
  const auto ffn_down = graph.matmul("ffn_down", *ffn_gelu, w2);
  if (!ffn_down) return std::unexpected(ffn_down.error());
  const auto ffn_residual = graph.add("ffn_residual", *attention_residual, *ffn_down);
  if (!ffn_residual) return std::unexpected(ffn_residual.error());

  if (auto marked = graph.mark_output(*ffn_residual); !marked) return std::unexpected(marked.error());
  return graph;
}

}  // namespace tessal_compiler

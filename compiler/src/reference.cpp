#include "tessal_compiler/reference.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "tessal_exchange/debug_text.hpp"

// Every result here must be reproducible bit for bit: each value is a float
// rounded after every single operation, sums run in ascending index order from
// zero, and nothing is fused or reassociated (the build turns contraction off).
// Loops may be reordered only where each individual sum keeps its own order.

namespace tessal_compiler {

namespace {

constexpr float layer_norm_epsilon = 1e-5F;
constexpr float gelu_cubic = 0.044715F;
constexpr float gelu_scale = 0.7978846F;

// a * b, or nothing when the product does not fit in 64 bits.
[[nodiscard]] std::optional<std::uint64_t> checked_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

// Element count of a rows x columns matrix that a float list can actually hold.
[[nodiscard]] std::optional<std::size_t> matrix_elements(std::uint64_t rows, std::uint64_t columns) {
  const std::optional<std::uint64_t> product = checked_product(rows, columns);
  if (!product || *product > std::vector<float>().max_size()) return std::nullopt;
  return static_cast<std::size_t>(*product);
}

[[nodiscard]] CompileError too_short(std::string_view function, std::string_view operand, std::size_t holds,
                                     std::size_t needs) {
  return CompileError::graph(std::string(function) + ": " + std::string(operand) + " holds " +
                             std::to_string(holds) + " elements, needs " + std::to_string(needs));
}

[[nodiscard]] CompileError too_large(std::string_view function) {
  return CompileError::graph(std::string(function) + ": dimensions overflow 64 bits");
}

// One matrix of the deterministic weights; the denominator depends on the row count.
[[nodiscard]] std::vector<float> generated_matrix(std::uint64_t rows, std::uint64_t columns, std::uint64_t salt) {
  const std::uint64_t count = rows * columns;
  const float denominator = std::sqrt(50.0F * static_cast<float>(rows));
  std::vector<float> matrix(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t v = (17 * i + 31 * salt) % 101;
    const float numerator = static_cast<float>(v) - 50.0F;
    matrix[static_cast<std::size_t>(i)] = numerator / denominator;
  }
  return matrix;
}

// Prints a float list in full when short, otherwise its head and its length,
// so that a failed comparison of whole weight sets stays readable.
struct FloatListSummary {
  const std::vector<float>& values;

  friend std::ostream& operator<<(std::ostream& out, const FloatListSummary& summary) {
    constexpr std::size_t shown_in_full = 16;
    constexpr std::size_t head = 4;
    const std::vector<float>& values = summary.values;
    if (values.size() <= shown_in_full) {
      tessal_exchange::debug_text::write_list(out, values);
      return out;
    }
    out << '[';
    for (std::size_t i = 0; i < head; ++i) {
      tessal_exchange::debug_text::write_float(out, values[i]);
      out << ", ";
    }
    return out << "... (" << values.size() << " elements)]";
  }
};

struct WeightShape {
  std::string_view name;
  const std::vector<float>& values;
  std::uint64_t rows;
  std::uint64_t columns;
};

[[nodiscard]] std::expected<void, CompileError> check_weight(const WeightShape& weight) {
  const std::optional<std::uint64_t> expected = checked_product(weight.rows, weight.columns);
  if (expected && *expected == weight.values.size()) return {};
  return std::unexpected(CompileError::graph("encoder weight " + std::string(weight.name) + " size mismatch: " +
                                             std::to_string(weight.values.size()) + " elements, expected " +
                                             std::to_string(weight.rows) + " x " + std::to_string(weight.columns)));
}

// Scaled dot-product attention of every head; columns past heads * head_size stay 0.
[[nodiscard]] std::expected<std::vector<float>, CompileError> attention_context(
    const std::vector<float>& q, const std::vector<float>& k, const std::vector<float>& v, std::size_t sequence,
    std::size_t hidden, std::size_t heads) {
  const std::size_t head_size = hidden / heads;
  const float score_divisor = std::sqrt(static_cast<float>(head_size));
  std::vector<float> context(sequence * hidden, 0.0F);
  // With more heads than columns every head is empty and writes nothing.
  if (head_size == 0) return context;
  std::vector<float> scores(sequence * sequence);
  for (std::size_t h = 0; h < heads; ++h) {
    const std::size_t offset = h * head_size;
    for (std::size_t r = 0; r < sequence; ++r) {
      const float* query = q.data() + r * hidden + offset;
      for (std::size_t c = 0; c < sequence; ++c) {
        const float* key = k.data() + c * hidden + offset;
        float dot = 0.0F;
        for (std::size_t o = 0; o < head_size; ++o) dot = query[o] * key[o] + dot;
        scores[r * sequence + c] = dot / score_divisor;
      }
    }
    if (auto softmax = softmax_rows(scores, sequence, sequence); !softmax) return std::unexpected(softmax.error());
    // Row by row, each context column keeps its own sum in ascending c.
    for (std::size_t r = 0; r < sequence; ++r) {
      float* row = context.data() + r * hidden + offset;
      for (std::size_t c = 0; c < sequence; ++c) {
        const float weight = scores[r * sequence + c];
        const float* value = v.data() + c * hidden + offset;
        for (std::size_t o = 0; o < head_size; ++o) row[o] = weight * value[o] + row[o];
      }
    }
  }
  return context;
}

}  // namespace

EncoderWeights EncoderWeights::deterministic(const EncoderConfig& config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{
      .wq = generated_matrix(h, h, 1),
      .wk = generated_matrix(h, h, 2),
      .wv = generated_matrix(h, h, 3),
      .wo = generated_matrix(h, h, 4),
      .w1 = generated_matrix(h, f, 5),
      .w2 = generated_matrix(f, h, 6),
  };
}

std::ostream& operator<<(std::ostream& out, const EncoderWeights& weights) {
  tessal_exchange::debug_text::StructWriter(out, "EncoderWeights")
      .field("wq", FloatListSummary{weights.wq})
      .field("wk", FloatListSummary{weights.wk})
      .field("wv", FloatListSummary{weights.wv})
      .field("wo", FloatListSummary{weights.wo})
      .field("w1", FloatListSummary{weights.w1})
      .field("w2", FloatListSummary{weights.w2});
  return out;
}

std::expected<std::vector<float>, CompileError> encoder_reference(const EncoderConfig& config,
                                                                  std::span<const float> input,
                                                                  const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;

  // A product beyond 64 bits cannot equal any length, so it is a mismatch too.
  const std::optional<std::uint64_t> input_size = checked_product(s, h);
  if (!input_size || *input_size != input.size()) {
    return std::unexpected(CompileError::graph("encoder input size mismatch"));
  }
  if (config.heads == 0) return std::unexpected(CompileError::graph("encoder heads must be at least 1"));
  const WeightShape shapes[] = {
      {"wq", weights.wq, h, h}, {"wk", weights.wk, h, h}, {"wv", weights.wv, h, h},
      {"wo", weights.wo, h, h}, {"w1", weights.w1, h, f}, {"w2", weights.w2, f, h},
  };
  for (const WeightShape& shape : shapes) {
    if (auto checked = check_weight(shape); !checked) return std::unexpected(checked.error());
  }
  // The attention scores and the feed-forward activations must fit as well.
  if (!matrix_elements(s, s) || !matrix_elements(s, f)) {
    return std::unexpected(CompileError::graph("encoder dimensions overflow 64 bits"));
  }

  // From here on every size is known to fit, so the steps below cannot fail;
  // their results are still checked rather than assumed.
  auto normed1 = layer_norm(input, s, h, layer_norm_epsilon);
  if (!normed1) return std::unexpected(normed1.error());
  auto q = matmul(*normed1, weights.wq, s, h, h);
  if (!q) return std::unexpected(q.error());
  auto k = matmul(*normed1, weights.wk, s, h, h);
  if (!k) return std::unexpected(k.error());
  auto v = matmul(*normed1, weights.wv, s, h, h);
  if (!v) return std::unexpected(v.error());

  auto context = attention_context(*q, *k, *v, static_cast<std::size_t>(s), static_cast<std::size_t>(h),
                                   static_cast<std::size_t>(config.heads));
  if (!context) return std::unexpected(context.error());
  auto attended = matmul(*context, weights.wo, s, h, h);
  if (!attended) return std::unexpected(attended.error());

  std::vector<float> residual(input.size());
  for (std::size_t i = 0; i < residual.size(); ++i) residual[i] = input[i] + (*attended)[i];

  auto normed2 = layer_norm(residual, s, h, layer_norm_epsilon);
  if (!normed2) return std::unexpected(normed2.error());
  auto expanded = matmul(*normed2, weights.w1, s, h, f);
  if (!expanded) return std::unexpected(expanded.error());
  for (float& value : *expanded) value = gelu(value);
  auto projected = matmul(*expanded, weights.w2, s, f, h);
  if (!projected) return std::unexpected(projected.error());

  std::vector<float> output(residual.size());
  for (std::size_t i = 0; i < output.size(); ++i) output[i] = residual[i] + (*projected)[i];
  return output;
}

std::expected<std::vector<float>, CompileError> matmul(std::span<const float> left, std::span<const float> right,
                                                       std::uint64_t rows, std::uint64_t inner,
                                                       std::uint64_t columns) {
  const std::optional<std::uint64_t> left_needs = checked_product(rows, inner);
  const std::optional<std::uint64_t> right_needs = checked_product(inner, columns);
  const std::optional<std::size_t> output_size = matrix_elements(rows, columns);
  if (!left_needs || !right_needs || !output_size) return std::unexpected(too_large("matmul"));
  if (left.size() < *left_needs) return std::unexpected(too_short("matmul", "left", left.size(), *left_needs));
  if (right.size() < *right_needs) {
    return std::unexpected(too_short("matmul", "right", right.size(), *right_needs));
  }

  // Row by row, the columns of the row accumulate side by side; each column's
  // sum still adds its products one at a time in ascending k.
  const auto n_inner = static_cast<std::size_t>(inner);
  const auto n_columns = static_cast<std::size_t>(columns);
  std::vector<float> output(*output_size, 0.0F);
  // Without inner terms every sum stays 0; the early return also spares a
  // long loop over rows that have nothing to do.
  if (n_inner == 0 || n_columns == 0) return output;
  for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
    float* sums = output.data() + r * n_columns;
    const float* left_row = left.data() + r * n_inner;
    for (std::size_t k = 0; k < n_inner; ++k) {
      const float factor = left_row[k];
      const float* right_row = right.data() + k * n_columns;
      for (std::size_t c = 0; c < n_columns; ++c) sums[c] = factor * right_row[c] + sums[c];
    }
  }
  return output;
}

std::expected<std::vector<float>, CompileError> layer_norm(std::span<const float> input, std::uint64_t rows,
                                                           std::uint64_t columns, float epsilon) {
  const std::optional<std::uint64_t> needs = checked_product(rows, columns);
  if (!needs) return std::unexpected(too_large("layer_norm"));
  if (input.size() < *needs) return std::unexpected(too_short("layer_norm", "input", input.size(), *needs));

  const auto n_columns = static_cast<std::size_t>(columns);
  const float count = static_cast<float>(columns);
  std::vector<float> output(input.size(), 0.0F);
  // Empty rows write nothing, however many there are.
  if (n_columns == 0) return output;
  for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
    const std::span<const float> x = input.subspan(r * n_columns, n_columns);
    float sum = 0.0F;
    for (const float value : x) sum = value + sum;
    const float mean = sum / count;
    float squares = 0.0F;
    for (const float value : x) {
      const float deviation = value - mean;
      squares = deviation * deviation + squares;
    }
    const float variance = squares / count;
    const float scale = 1.0F / std::sqrt(variance + epsilon);
    float* out = output.data() + r * n_columns;
    for (std::size_t j = 0; j < n_columns; ++j) out[j] = (x[j] - mean) * scale;
  }
  return output;
}

std::expected<void, CompileError> softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  const std::optional<std::uint64_t> needs = checked_product(rows, columns);
  if (!needs) return std::unexpected(too_large("softmax_rows"));
  if (values.size() < *needs) return std::unexpected(too_short("softmax_rows", "values", values.size(), *needs));

  const auto n_columns = static_cast<std::size_t>(columns);
  if (n_columns == 0) return {};
  for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
    const std::span<float> row = values.subspan(r * n_columns, n_columns);
    // fmax ignores a not-a-number operand.
    float largest = -std::numeric_limits<float>::infinity();
    for (const float value : row) largest = std::fmax(largest, value);
    float sum = 0.0F;
    for (float& value : row) {
      value = std::exp(value - largest);
      sum = value + sum;
    }
    for (float& value : row) value = value / sum;
  }
  return {};
}

float gelu(float x) {
  const float half = 0.5F * x;
  const float cube = x * (x * x);
  const float inner = x + gelu_cubic * cube;
  const float t = std::tanh(gelu_scale * inner);
  return half * (1.0F + t);
}

}  // namespace tessal_compiler

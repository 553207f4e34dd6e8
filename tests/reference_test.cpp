#include "tessal_compiler/reference.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tessal_compiler::CompileError;
using tessal_compiler::EncoderConfig;
using tessal_compiler::EncoderWeights;

constexpr float infinity = std::numeric_limits<float>::infinity();

// The small configuration of the end-to-end reference check.
constexpr EncoderConfig small_config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};

// Element i is (i - 9) / 16: every row is the same ramp shifted by a constant.
std::vector<float> ramp_input(std::uint64_t size) {
  std::vector<float> input(size);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  return input;
}

// Bit patterns, so that comparisons tell -0 from 0 and compare NaN exactly.
std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> result;
  for (const float value : values) result.push_back(std::bit_cast<std::uint32_t>(value));
  return result;
}

TEST(EncoderWeightsTest, MatricesFollowTheGenerator) {
  const EncoderWeights weights = EncoderWeights::deterministic(small_config);
  EXPECT_EQ(weights, EncoderWeights::deterministic(small_config));

  const std::vector<std::size_t> sizes = {weights.wq.size(), weights.wk.size(), weights.wv.size(),
                                          weights.wo.size(), weights.w1.size(), weights.w2.size()};
  EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 64, 64, 128, 128}));

  // Numerators -19, -2, 15, 32 over sqrt(50 * 8) = 20.
  EXPECT_EQ(std::vector<float>(weights.wq.begin(), weights.wq.begin() + 4),
            (std::vector<float>{-0.95F, -0.1F, 0.75F, 1.6F}));
  // The salt shifts the sequence; the denominator follows the row count (16 for w2).
  EXPECT_EQ(weights.w1[0], 4.0F / 20.0F);
  EXPECT_EQ(weights.w2[0], 35.0F / std::sqrt(800.0F));
  EXPECT_EQ(weights.w2[127], (static_cast<float>((17 * 127 + 31 * 6) % 101) - 50.0F) / std::sqrt(800.0F));
}

TEST(EncoderWeightsTest, DebugTextSummarisesLongLists) {
  EncoderWeights weights;
  weights.wq = {1.0F, -0.5F};
  weights.w1 = std::vector<float>(100, 0.25F);
  std::ostringstream out;
  out << weights;
  EXPECT_EQ(out.str(),
            "EncoderWeights { wq: [1.0, -0.5], wk: [], wv: [], wo: [], "
            "w1: [0.25, 0.25, 0.25, 0.25, ... (100 elements)], w2: [] }");
}

TEST(MatmulTest, SumsAscendInSinglePrecision) {
  struct Case {
    std::string name;
    std::vector<float> left;
    std::vector<float> right;
    std::uint64_t rows, inner, columns;
    std::vector<float> expected;
  };
  const float near_one = 1.0F + 0x1p-12F;
  const Case cases[] = {
      {"two by two", {1, 2, 3, 4}, {5, 6, 7, 8}, 2, 2, 2, {19, 22, 43, 50}},
      {"row times column", {1, 2, 3}, {4, 5, 6}, 1, 3, 1, {32}},
      {"column times row", {1, 2}, {3, 4, 5}, 2, 1, 3, {3, 4, 5, 6, 8, 10}},
      // 1 + 1e8 rounds to 1e8 before -1e8 comes: a wider accumulator or
      // another order would give 1.
      {"ascending float sum", {1.0F, 1e8F, -1e8F}, {1, 1, 1}, 1, 3, 1, {0}},
      // The product rounds before the add: a fused multiply-add would keep 2^-24.
      {"rounded product", {1.0F, near_one}, {-1.0F, near_one}, 1, 2, 1, {0x1p-11F}},
      {"no inner terms", {}, {}, 2, 0, 3, {0, 0, 0, 0, 0, 0}},
      // Elements past the dimensions are not read.
      {"longer operands", {2, 9}, {3, 9}, 1, 1, 1, {6}},
  };
  for (const Case& c : cases) {
    const auto product = tessal_compiler::matmul(c.left, c.right, c.rows, c.inner, c.columns);
    ASSERT_TRUE(product.has_value()) << c.name << ": " << product.error();
    EXPECT_EQ(*product, c.expected) << c.name;
  }
}

TEST(ReferenceBlocksTest, RejectShortOrOversizedOperands) {
  const std::vector<float> five(5, 1.0F);
  const std::vector<float> six(6, 1.0F);
  constexpr std::uint64_t two_to_32 = std::uint64_t{1} << 32;
  struct Case {
    std::string name;
    std::function<std::expected<void, CompileError>()> call;
    std::string error;
  };
  const auto as_void = [](const auto& result) -> std::expected<void, CompileError> {
    if (!result) return std::unexpected(result.error());
    return {};
  };
  const Case cases[] = {
      {"matmul left", [&] { return as_void(tessal_compiler::matmul(five, six, 2, 3, 2)); },
       "matmul: left holds 5 elements, needs 6"},
      {"matmul right", [&] { return as_void(tessal_compiler::matmul(six, five, 3, 2, 3)); },
       "matmul: right holds 5 elements, needs 6"},
      {"matmul overflow", [&] { return as_void(tessal_compiler::matmul(six, six, two_to_32, two_to_32, 1)); },
       "matmul: dimensions overflow 64 bits"},
      {"matmul output overflow", [&] { return as_void(tessal_compiler::matmul({}, {}, two_to_32, 0, two_to_32)); },
       "matmul: dimensions overflow 64 bits"},
      {"layer_norm", [&] { return as_void(tessal_compiler::layer_norm(five, 2, 3, 1e-5F)); },
       "layer_norm: input holds 5 elements, needs 6"},
      {"layer_norm overflow", [&] { return as_void(tessal_compiler::layer_norm(six, two_to_32, two_to_32, 1e-5F)); },
       "layer_norm: dimensions overflow 64 bits"},
      {"softmax_rows overflow",
       [&] {
         std::vector<float> values = six;
         return tessal_compiler::softmax_rows(values, two_to_32, two_to_32);
       },
       "softmax_rows: dimensions overflow 64 bits"},
  };
  for (const Case& c : cases) {
    const auto result = c.call();
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error(), CompileError::graph(c.error)) << c.name;
  }

  // A rejected softmax leaves its values as they were.
  std::vector<float> values = five;
  const auto softmax = tessal_compiler::softmax_rows(values, 3, 2);
  ASSERT_FALSE(softmax.has_value());
  EXPECT_EQ(softmax.error(), CompileError::graph("softmax_rows: values holds 5 elements, needs 6"));
  EXPECT_EQ(values, five);
}

TEST(SoftmaxRowsTest, NormalisesEachRowInPlace) {
  struct Case {
    std::string name;
    std::vector<float> values;
    std::uint64_t rows, columns;
    std::vector<float> expected;
  };
  const float third = 1.0F / 3.0F;
  const Case cases[] = {
      {"equal values", {3, 3, 3, 3}, 1, 4, {0.25F, 0.25F, 0.25F, 0.25F}},
      {"minus infinity", {-infinity, 0, 0, 0}, 1, 4, {0, third, third, third}},
      // Rows are independent, and elements past rows x columns stay untouched.
      {"two rows and a tail", {7, 7, -infinity, 5, 42}, 2, 2, {0.5F, 0.5F, 0, 1, 42}},
      // The row's maximum is subtracted before the exponential.
      {"large values do not overflow", {1000, 1000}, 1, 2, {0.5F, 0.5F}},
      {"no columns", {9}, 5, 0, {9}},
  };
  for (const Case& c : cases) {
    std::vector<float> values = c.values;
    const auto result = tessal_compiler::softmax_rows(values, c.rows, c.columns);
    ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error();
    EXPECT_EQ(values, c.expected) << c.name;
  }
}

TEST(LayerNormTest, ConstantRowsBecomeZeroAndTheTailStaysZero) {
  // Row 0 is constant, row 1 has mean 0 and variance 1, the last element lies past rows x columns.
  const std::vector<float> input = {1e6F, 1e6F, 1e6F, 1e6F, -1.0F, 1.0F, -1.0F, 1.0F, 99.0F};
  const auto normed = tessal_compiler::layer_norm(input, 2, 4, 1e-5F);
  ASSERT_TRUE(normed.has_value()) << normed.error();
  const float scale = 1.0F / std::sqrt(1.0F + 1e-5F);
  EXPECT_EQ(bits(*normed), bits({0.0F, 0.0F, 0.0F, 0.0F, -scale, scale, -scale, scale, 0.0F}));
}

TEST(GeluTest, TanhFormAtFixedPoints) {
  struct Case {
    float x;
    float expected;  // compared bit for bit
  };
  const Case cases[] = {{0.0F, 0.0F}, {10.0F, 10.0F}, {-10.0F, -0.0F}};
  for (const Case& c : cases) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(tessal_compiler::gelu(c.x)), std::bit_cast<std::uint32_t>(c.expected))
        << "gelu(" << c.x << ") = " << tessal_compiler::gelu(c.x);
  }
  EXPECT_TRUE(std::signbit(tessal_compiler::gelu(-10.0F)));
}

TEST(EncoderReferenceTest, ChecksumOfTheSmallConfigurationIsPinnedAndRepeatable) {
  const std::vector<float> input = ramp_input(32);
  const EncoderWeights weights = EncoderWeights::deterministic(small_config);
  const auto first = tessal_compiler::encoder_reference(small_config, input, weights);
  const auto second = tessal_compiler::encoder_reference(small_config, input, weights);
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(first->size(), 32U);
  EXPECT_EQ(bits(*first), bits(*second));

  float checksum = 0.0F;
  for (const float value : *first) checksum += value;
  EXPECT_LT(std::fabs(checksum - 107.46423F), 0.0001F) << "checksum=" << checksum;
}

// The encoder layer evaluated step by step in the most literal order, one
// output element at a time, as an oracle for the library's faster loops.
std::vector<float> literal_matmul(const std::vector<float>& left, const std::vector<float>& right, std::size_t rows,
                                  std::size_t inner, std::size_t columns) {
  std::vector<float> output(rows * columns, 0.0F);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      float sum = 0.0F;
      for (std::size_t k = 0; k < inner; ++k) sum = left[r * inner + k] * right[k * columns + c] + sum;
      output[r * columns + c] = sum;
    }
  }
  return output;
}

std::vector<float> literal_layer_norm(const std::vector<float>& input, std::size_t rows, std::size_t columns) {
  std::vector<float> output(input.size(), 0.0F);
  for (std::size_t r = 0; r < rows; ++r) {
    float sum = 0.0F;
    for (std::size_t j = 0; j < columns; ++j) sum = input[r * columns + j] + sum;
    const float mean = sum / static_cast<float>(columns);
    float squares = 0.0F;
    for (std::size_t j = 0; j < columns; ++j) {
      squares = (input[r * columns + j] - mean) * (input[r * columns + j] - mean) + squares;
    }
    const float scale = 1.0F / std::sqrt(squares / static_cast<float>(columns) + 1e-5F);
    for (std::size_t j = 0; j < columns; ++j) output[r * columns + j] = (input[r * columns + j] - mean) * scale;
  }
  return output;
}

float literal_gelu(float x) {
  const float half = 0.5F * x;
  const float cube = x * (x * x);
  const float inner = x + 0.044715F * cube;
  return half * (1.0F + std::tanh(0.7978846F * inner));
}

std::vector<float> literal_encoder(const EncoderConfig& config, const std::vector<float>& input,
                                   const EncoderWeights& w) {
  const std::size_t s = config.sequence;
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  const std::size_t d = h / config.heads;
  const std::vector<float> normed1 = literal_layer_norm(input, s, h);
  const std::vector<float> q = literal_matmul(normed1, w.wq, s, h, h);
  const std::vector<float> k = literal_matmul(normed1, w.wk, s, h, h);
  const std::vector<float> v = literal_matmul(normed1, w.wv, s, h, h);
  std::vector<float> context(s * h, 0.0F);
  for (std::size_t head = 0; head < config.heads; ++head) {
    std::vector<float> scores(s * s, 0.0F);
    for (std::size_t r = 0; r < s; ++r) {
      for (std::size_t c = 0; c < s; ++c) {
        float dot = 0.0F;
        for (std::size_t o = 0; o < d; ++o) dot = q[r * h + head * d + o] * k[c * h + head * d + o] + dot;
        scores[r * s + c] = dot / std::sqrt(static_cast<float>(d));
      }
    }
    for (std::size_t r = 0; r < s; ++r) {
      float largest = -infinity;
      for (std::size_t c = 0; c < s; ++c) largest = std::fmax(largest, scores[r * s + c]);
      float sum = 0.0F;
      for (std::size_t c = 0; c < s; ++c) {
        scores[r * s + c] = std::exp(scores[r * s + c] - largest);
        sum = scores[r * s + c] + sum;
      }
      for (std::size_t c = 0; c < s; ++c) scores[r * s + c] = scores[r * s + c] / sum;
    }
    for (std::size_t r = 0; r < s; ++r) {
      for (std::size_t o = 0; o < d; ++o) {
        float sum = 0.0F;
        for (std::size_t c = 0; c < s; ++c) sum = scores[r * s + c] * v[c * h + head * d + o] + sum;
        context[r * h + head * d + o] = sum;
      }
    }
  }
  const std::vector<float> attended = literal_matmul(context, w.wo, s, h, h);
  std::vector<float> residual(s * h);
  for (std::size_t i = 0; i < residual.size(); ++i) residual[i] = input[i] + attended[i];
  std::vector<float> expanded = literal_matmul(literal_layer_norm(residual, s, h), w.w1, s, h, f);
  for (float& value : expanded) value = literal_gelu(value);
  const std::vector<float> projected = literal_matmul(expanded, w.w2, s, f, h);
  std::vector<float> output(s * h);
  for (std::size_t i = 0; i < output.size(); ++i) output[i] = residual[i] + projected[i];
  return output;
}

TEST(EncoderReferenceTest, MatchesALiteralEvaluationBitForBit) {
  // An irregular input, so that rows differ and the attention weights are not uniform.
  const EncoderConfig configs[] = {
      small_config,
      EncoderConfig{.sequence = 5, .hidden = 12, .heads = 3, .feed_forward = 20},
      EncoderConfig{.sequence = 6, .hidden = 10, .heads = 4, .feed_forward = 7},
      EncoderConfig{},
  };
  for (const EncoderConfig& config : configs) {
    std::vector<float> input(config.sequence * config.hidden);
    std::uint32_t state = 12345;
    for (float& value : input) {
      state = state * 1664525U + 1013904223U;
      value = static_cast<float>(state >> 8) / static_cast<float>(1U << 22) - 2.0F;
    }
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const auto output = tessal_compiler::encoder_reference(config, input, weights);
    ASSERT_TRUE(output.has_value()) << output.error();
    EXPECT_EQ(bits(*output), bits(literal_encoder(config, input, weights)))
        << "sequence " << config.sequence << ", hidden " << config.hidden << ", heads " << config.heads;
  }
}

TEST(EncoderReferenceTest, EveryHeadCountThatDividesTheWidthGivesTheSameOutputs) {
  // After the first layer norm all rows of the ramp input are equal, so every
  // attention weight is 1/4 and the context equals v for any split into heads.
  const std::vector<float> input = ramp_input(32);
  const EncoderWeights weights = EncoderWeights::deterministic(small_config);
  const auto reference = tessal_compiler::encoder_reference(small_config, input, weights);
  ASSERT_TRUE(reference.has_value()) << reference.error();
  for (const std::uint64_t heads : {1, 4, 8}) {
    EncoderConfig config = small_config;
    config.heads = heads;
    const auto output = tessal_compiler::encoder_reference(config, input, weights);
    ASSERT_TRUE(output.has_value()) << "heads " << heads << ": " << output.error();
    EXPECT_EQ(bits(*output), bits(*reference)) << "heads " << heads;
  }
}

TEST(EncoderReferenceTest, ContextColumnsPastTheLastWholeHeadStayZero) {
  // With only rows 6 and 7 of wo non-zero, the attention adds nothing exactly
  // when context columns 6 and 7 are 0, so the outputs match those of a zero wo.
  const std::vector<float> input = ramp_input(32);
  EncoderWeights zero_wo = EncoderWeights::deterministic(small_config);
  zero_wo.wo.assign(64, 0.0F);
  const auto expected = tessal_compiler::encoder_reference(small_config, input, zero_wo);
  ASSERT_TRUE(expected.has_value()) << expected.error();

  EncoderWeights last_rows_only = EncoderWeights::deterministic(small_config);
  for (std::size_t i = 0; i < 6 * 8; ++i) last_rows_only.wo[i] = 0.0F;
  // Three heads of size 2 leave columns 6 and 7; more heads than columns leave every column.
  for (const std::uint64_t heads : {std::uint64_t{3}, std::uint64_t{9}, std::uint64_t{1} << 40}) {
    EncoderConfig config = small_config;
    config.heads = heads;
    const auto output = tessal_compiler::encoder_reference(config, input, last_rows_only);
    ASSERT_TRUE(output.has_value()) << "heads " << heads << ": " << output.error();
    EXPECT_EQ(bits(*output), bits(*expected)) << "heads " << heads;
  }
}

TEST(EncoderReferenceTest, RejectsWhatTheConfigurationDoesNotImply) {
  struct Case {
    std::string name;
    EncoderConfig config;
    std::uint64_t input_size;
    std::function<void(EncoderWeights&)> change_weights;
    std::string error;
  };
  const auto keep = [](EncoderWeights&) {};
  constexpr std::uint64_t two_to_32 = std::uint64_t{1} << 32;
  const Case cases[] = {
      {"input one short", small_config, 31, keep, "encoder input size mismatch"},
      {"input one long", small_config, 33, keep, "encoder input size mismatch"},
      {"input size overflows",
       EncoderConfig{.sequence = two_to_32, .hidden = two_to_32, .heads = 1, .feed_forward = 1}, 0, keep,
       "encoder input size mismatch"},
      {"no heads", EncoderConfig{.sequence = 4, .hidden = 8, .heads = 0, .feed_forward = 16}, 32, keep,
       "encoder heads must be at least 1"},
      {"wq short", small_config, 32, [](EncoderWeights& w) { w.wq.pop_back(); },
       "encoder weight wq size mismatch: 63 elements, expected 8 x 8"},
      {"wk long", small_config, 32, [](EncoderWeights& w) { w.wk.push_back(0.0F); },
       "encoder weight wk size mismatch: 65 elements, expected 8 x 8"},
      {"wv empty", small_config, 32, [](EncoderWeights& w) { w.wv.clear(); },
       "encoder weight wv size mismatch: 0 elements, expected 8 x 8"},
      {"wo short", small_config, 32, [](EncoderWeights& w) { w.wo.pop_back(); },
       "encoder weight wo size mismatch: 63 elements, expected 8 x 8"},
      {"w1 of a wider block", small_config, 32,
       [](EncoderWeights& w) {
         w = EncoderWeights::deterministic(EncoderConfig{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 32});
       },
       "encoder weight w1 size mismatch: 256 elements, expected 8 x 16"},
      {"w2 short", small_config, 32, [](EncoderWeights& w) { w.w2.pop_back(); },
       "encoder weight w2 size mismatch: 127 elements, expected 16 x 8"},
  };
  for (const Case& c : cases) {
    EncoderWeights weights = EncoderWeights::deterministic(small_config);
    c.change_weights(weights);
    const std::vector<float> input = ramp_input(c.input_size);
    const auto output = tessal_compiler::encoder_reference(c.config, input, weights);
    ASSERT_FALSE(output.has_value()) << c.name;
    EXPECT_EQ(output.error(), CompileError::graph(c.error)) << c.name;
  }
}

}  // namespace

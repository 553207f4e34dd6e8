#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <span>
#include <vector>

#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/error.hpp"

namespace tessal_compiler {

// Deterministic synthetic weights of one encoder layer, each matrix row-major.
struct EncoderWeights {
  std::vector<float> wq;  // H x H
  std::vector<float> wk;  // H x H
  std::vector<float> wv;  // H x H
  std::vector<float> wo;  // H x H
  std::vector<float> w1;  // H x F
  std::vector<float> w2;  // F x H

  [[nodiscard]] static EncoderWeights deterministic(const EncoderConfig& config);

  friend bool operator==(const EncoderWeights&, const EncoderWeights&) = default;
};

std::ostream& operator<<(std::ostream& out, const EncoderWeights& weights);

// Host evaluation of one encoder layer in strict single precision: S x H outputs.
[[nodiscard]] std::expected<std::vector<float>, CompileError> encoder_reference(const EncoderConfig& config,
                                                                                std::span<const float> input,
                                                                                const EncoderWeights& weights);

// The building blocks reject sequences shorter than their dimensions say.
[[nodiscard]] std::expected<std::vector<float>, CompileError> matmul(std::span<const float> left,
                                                                     std::span<const float> right,
                                                                     std::uint64_t rows, std::uint64_t inner,
                                                                     std::uint64_t columns);
[[nodiscard]] std::expected<std::vector<float>, CompileError> layer_norm(std::span<const float> input,
                                                                         std::uint64_t rows, std::uint64_t columns,
                                                                         float epsilon);
[[nodiscard]] std::expected<void, CompileError> softmax_rows(std::span<float> values, std::uint64_t rows,
                                                             std::uint64_t columns);
[[nodiscard]] float gelu(float x);

}  // namespace tessal_compiler

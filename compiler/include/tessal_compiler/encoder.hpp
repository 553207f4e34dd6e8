#pragma once

#include <cstdint>
#include <expected>
#include <ostream>

#include "tessal_compiler/graph.hpp"

namespace tessal_compiler {

struct EncoderConfig {
  std::uint64_t sequence = 32;       // token rows (S)
  std::uint64_t hidden = 64;         // model width (H)
  std::uint64_t heads = 4;           // attention heads
  std::uint64_t feed_forward = 256;  // feed-forward width (F)

  friend bool operator==(const EncoderConfig&, const EncoderConfig&) = default;
};

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config);

// One transformer encoder layer: 22 tensors and 15 operations, output "ffn_residual".
[[nodiscard]] std::expected<Graph, CompileError> encoder_graph(const EncoderConfig& config);

// `layers` encoder layers in a row, each with its own weights; layer l's names
// carry the suffix "_l" and it reads layer l-1's "ffn_residual" where the first
// layer reads "input". Only the last layer's result is an output. One layer
// gives exactly encoder_graph(config); zero layers are rejected.
[[nodiscard]] std::expected<Graph, CompileError> encoder_stack_graph(const EncoderConfig& config,
                                                                     std::uint64_t layers);

}  // namespace tessal_compiler

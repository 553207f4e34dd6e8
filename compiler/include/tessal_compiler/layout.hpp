#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tessal_compiler/graph.hpp"

namespace tessal_compiler {

// How a tensor is split; a label only, it changes neither tiles nor bytes.
enum class Sharding : std::uint8_t { Replicated, Rows, Columns, Heads };

std::ostream& operator<<(std::ostream& out, Sharding sharding);

struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 16;

  friend bool operator==(const Layout&, const Layout&) = default;
};

std::ostream& operator<<(std::ostream& out, const Layout& layout);

// Names the kernel variant that a tile runs.
struct SpecializationKey {
  std::string operation;
  std::vector<std::uint64_t> shape;
  std::uint8_t worker_count = 1;
  std::string role;
  std::uint32_t alignment = 16;

  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key);

struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  std::vector<TensorId> inputs;
  SpecializationKey specialization;

  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

std::ostream& operator<<(std::ostream& out, const KernelCommand& command);

// Tiles 0..n-1 with n = ceil(bytes / 1024) limited to 1..tile_count.
[[nodiscard]] Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);
// Bytes of the tensor held by each tile of the layout (rounded up).
[[nodiscard]] std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout);
// Workers for an operation whose output is `tensor`: 6 from 96 elements on, else 1.
[[nodiscard]] std::uint8_t worker_count(const Tensor& tensor);
// One command per tile of the output layout, in the layout's tile order.
[[nodiscard]] std::vector<KernelCommand> kernel_commands(const Op& op, const Graph& graph,
                                                         const Layout& output_layout);

}  // namespace tessal_compiler

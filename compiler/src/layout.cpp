#include "tessal_compiler/layout.hpp"

#include <algorithm>
#include <limits>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::debug_text::StructWriter;

constexpr std::uint64_t bytes_per_tile_target = 1024;
constexpr std::uint32_t storage_alignment = 16;
constexpr std::uint64_t parallel_elements = 96;
constexpr std::uint8_t parallel_workers = 6;

// A tensor too large for 64-bit byte counts is rejected by Graph::validate; the
// placement rules still see it as the largest size rather than a wrapped one.
[[nodiscard]] std::uint64_t tensor_bytes(const Tensor& tensor) {
  return tensor.byte_size().value_or(std::numeric_limits<std::uint64_t>::max());
}

[[nodiscard]] std::uint64_t divide_rounding_up(std::uint64_t value, std::uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, Sharding sharding) {
  switch (sharding) {
    case Sharding::Replicated: return out << "Replicated";
    case Sharding::Rows: return out << "Rows";
    case Sharding::Columns: return out << "Columns";
    case Sharding::Heads: return out << "Heads";
  }
  return out << "Sharding(" << static_cast<unsigned>(sharding) << ')';
}

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  StructWriter(out, "Layout")
      .field("tensor", layout.tensor)
      .field("tiles", layout.tiles)
      .field("sharding", layout.sharding)
      .field("alignment", layout.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  StructWriter(out, "SpecializationKey")
      .field("operation", key.operation)
      .field("shape", key.shape)
      .field("worker_count", key.worker_count)
      .field("role", key.role)
      .field("alignment", key.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  StructWriter(out, "KernelCommand")
      .field("tile", command.tile)
      .field("output", command.output)
      .field("inputs", command.inputs)
      .field("specialization", command.specialization);
  return out;
}

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  // About one KiB per tile, on consecutive tiles from tile 0. A tile count of 0
  // (rejected by compile) leaves the layout without tiles.
  const std::uint64_t wanted = std::max<std::uint64_t>(divide_rounding_up(tensor_bytes(tensor), bytes_per_tile_target), 1);
  const auto useful = static_cast<std::uint16_t>(std::min<std::uint64_t>(wanted, tile_count));

  Layout layout;
  layout.tensor = tensor.id;
  layout.tiles.reserve(useful);
  for (std::uint16_t tile = 0; tile < useful; ++tile) layout.tiles.push_back(tile);

  const std::size_t rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) {
    layout.sharding = Sharding::Columns;
  } else if (rank >= 3) {
    layout.sharding = Sharding::Heads;
  } else if (rank == 2) {
    layout.sharding = Sharding::Rows;
  } else {
    layout.sharding = Sharding::Replicated;
  }
  layout.alignment = storage_alignment;
  return layout;
}

std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout) {
  // Every tile holds the same rounded-up share; a layout without tiles holds nothing.
  if (layout.tiles.empty()) return 0;
  return divide_rounding_up(tensor_bytes(tensor), layout.tiles.size());
}

std::uint8_t worker_count(const Tensor& tensor) {
  return tensor.elements() >= parallel_elements ? parallel_workers : 1;
}

std::vector<KernelCommand> kernel_commands(const Op& op, const Graph& graph, const Layout& output_layout) {
  // The graph is validated before this runs; an output outside it yields no commands.
  if (op.output.index >= graph.tensors.size()) return {};
  const Tensor& output = graph.tensors[op.output.index];
  const std::string_view operation = operation_name(op.kind);
  const std::uint8_t workers = worker_count(output);

  std::vector<KernelCommand> commands;
  commands.reserve(output_layout.tiles.size());
  for (std::size_t i = 0; i < output_layout.tiles.size(); ++i) {
    const bool last = i + 1 == output_layout.tiles.size();
    commands.push_back(KernelCommand{
        .tile = output_layout.tiles[i],
        .output = op.output,
        .inputs = op.inputs,
        .specialization =
            SpecializationKey{
                .operation = std::string(operation),
                .shape = output.shape,
                .worker_count = workers,
                .role = last ? "tail" : "body",
                .alignment = output_layout.alignment,
            },
    });
  }
  return commands;
}

}  // namespace tessal_compiler

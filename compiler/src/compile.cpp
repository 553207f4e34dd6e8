#include "tessal_compiler/compile.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tessal_compiler/layout.hpp"
#include "tessal_compiler/memory_planner.hpp"
#include "tessal_exchange/logging.hpp"

namespace tessal_compiler {

namespace {

namespace logging = tessal_exchange::logging;

constexpr std::string_view log_target = "tessal_compiler";

// Lowest address of the staging window; home windows must start at or after its end.
constexpr std::uint32_t staging_window_floor = 0x50000;
// The multicast receive rows reach addresses below this bound only.
constexpr std::uint32_t staging_window_ceiling = 0x58000;

[[nodiscard]] bool options_valid(const CompilerOptions& options) {
  return options.tile_count != 0 && options.exchange_base >= staging_window_floor &&
         options.exchange_limit <= staging_window_ceiling && options.exchange_base < options.exchange_limit &&
         options.exchange_limit <= options.data_base && options.data_base < options.data_limit;
}

// Every tensor's per-tile share, aligned, must fit 32 bits: transfers and
// regions carry 32-bit sizes, and a truncated share would be a silently wrong
// transfer and region.
[[nodiscard]] std::expected<void, CompileError> check_share_sizes(const Graph& graph,
                                                                  std::span<const Layout> layouts) {
  constexpr std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
  for (std::size_t index = 0; index < layouts.size(); ++index) {
    const Layout& layout = layouts[index];
    if (layout.tiles.empty()) continue;
    const std::uint64_t share = local_bytes(graph.tensors[index], layout);
    const std::uint64_t alignment = std::max<std::uint64_t>(layout.alignment, 1);
    if (share > largest || share + (alignment - share % alignment) % alignment > largest) {
      return std::unexpected(CompileError::memory("tile " + std::to_string(layout.tiles.front()) +
                                                  " exceeds data limit allocating " + graph.tensors[index].name));
    }
  }
  return {};
}

// The copies that bring an input's shares onto the tiles of the output layout
// that lack them: output position i reads the share at position i modulo the
// input's tile count.
void append_input_transfers(const Tensor& input, const Layout& input_layout, const Layout& output_layout,
                            std::vector<Transfer>& transfers) {
  if (input_layout.tiles == output_layout.tiles && input_layout.sharding == output_layout.sharding) return;
  if (input_layout.tiles.empty()) return;
  const auto bytes = static_cast<std::uint32_t>(local_bytes(input, input_layout));
  for (std::size_t position = 0; position < output_layout.tiles.size(); ++position) {
    const std::uint16_t destination = output_layout.tiles[position];
    const std::uint16_t source = input_layout.tiles[position % input_layout.tiles.size()];
    if (source == destination) continue;
    transfers.push_back(Transfer{input.id, bytes, source, destination});
  }
}

[[nodiscard]] std::expected<std::vector<Phase>, CompileError> build_phases(const Graph& graph,
                                                                           std::span<const Layout> layouts) {
  std::vector<Phase> phases;
  phases.reserve(graph.ops.size() * 2);
  for (const Op& op : graph.ops) {
    const Layout& output_layout = layouts[op.output.index];
    std::vector<Transfer> transfers;
    for (const TensorId input : op.inputs) {
      append_input_transfers(graph.tensors[input.index], layouts[input.index], output_layout, transfers);
    }
    if (!transfers.empty()) {
      if (const auto valid = validate_transfers(transfers); !valid) return std::unexpected(valid.error());
      phases.push_back(Phase{Phase::Exchange{std::move(transfers)}});
    }
    phases.push_back(Phase{Phase::Compute{op.id, kernel_commands(op, graph, output_layout)}});
  }
  return phases;
}

}  // namespace

std::expected<Schedule, CompileError> compile(const Graph& graph, const CompilerOptions& options) {
  logging::emit(logging::Level::Info, log_target, "compiling graph", logging::field("operations", graph.ops.size()),
                logging::field("tensors", graph.tensors.size()), logging::field("tiles", options.tile_count));

  if (const auto valid = graph.validate(); !valid) return std::unexpected(valid.error());
  if (!options_valid(options)) return std::unexpected(CompileError::graph("invalid compiler options"));

  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) layouts.push_back(choose_layout(tensor, options.tile_count));
  if (const auto shares = check_share_sizes(graph, layouts); !shares) return std::unexpected(shares.error());

  std::expected<std::vector<Phase>, CompileError> phases = build_phases(graph, layouts);
  if (!phases) return std::unexpected(phases.error());

  std::expected<std::vector<Allocation>, CompileError> allocations = plan_memory(graph, layouts, *phases, options);
  if (!allocations) return std::unexpected(allocations.error());

  // Peak use per tile, measured from the lower of the two window bases.
  const std::uint32_t memory_base = std::min(options.exchange_base, options.data_base);
  std::map<std::uint16_t, std::uint32_t> peak_sram;
  for (const Allocation& allocation : *allocations) {
    const std::uint32_t used = allocation.address + allocation.size - memory_base;
    const auto [entry, inserted] = peak_sram.try_emplace(allocation.tile, used);
    if (!inserted) entry->second = std::max(entry->second, used);
  }
  std::uint32_t peak_bytes = 0;
  for (const auto& [tile, used] : peak_sram) peak_bytes = std::max(peak_bytes, used);

  logging::emit(logging::Level::Debug, log_target, "planned tile SRAM", logging::field("peak_bytes", peak_bytes));
  logging::emit(logging::Level::Info, log_target, "graph compilation completed",
                logging::field("phases", phases->size()), logging::field("allocations", allocations->size()),
                logging::field("peak_bytes", peak_bytes));

  return Schedule{std::move(layouts), std::move(*phases), std::move(*allocations), options.tile_count,
                  std::move(peak_sram)};
}

}  // namespace tessal_compiler

#include "tessal_compiler/tile_program.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "tessal_compiler/exchange_lowering.hpp"
#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::debug_text::StructWriter;
namespace logging = tessal_exchange::logging;

// Both address rules are written once, over any list of candidate
// allocations in schedule order: the whole allocation list for a single
// lookup, or the few allocations of one tensor on one tile from an
// AllocationIndex. Candidates of other tensors or tiles are skipped, so both
// kinds of list give the same first match.

[[nodiscard]] bool is_home_of(const Allocation& allocation, TensorId tensor, std::uint16_t tile) {
  return allocation.tensor == tensor && allocation.tile == tile && allocation.kind.is_home();
}

// A staging buffer is read only by the compute phase at which its lifetime ends.
[[nodiscard]] bool is_staging_read_by(const Allocation& allocation, TensorId tensor, std::uint16_t tile,
                                      std::uint64_t compute_phase) {
  return allocation.tensor == tensor && allocation.tile == tile && allocation.live_until == compute_phase &&
         allocation.kind.staging() != nullptr;
}

[[nodiscard]] CompileError missing_home(TensorId tensor, std::uint16_t tile) {
  return CompileError::memory("missing home allocation for tensor " + std::to_string(tensor.index) + " on tile " +
                              std::to_string(tile));
}

template <class Candidates>
[[nodiscard]] std::expected<std::uint32_t, CompileError> home_address_in(const Candidates& candidates, TensorId tensor,
                                                                         std::uint16_t tile) {
  for (const Allocation& allocation : candidates) {
    if (is_home_of(allocation, tensor, tile)) {
      return allocation.address;
    }
  }
  return std::unexpected(missing_home(tensor, tile));
}

template <class Candidates>
[[nodiscard]] std::expected<std::uint32_t, CompileError> input_address_in(const Candidates& candidates, TensorId tensor,
                                                                          std::uint16_t tile,
                                                                          std::uint64_t compute_phase) {
  for (const Allocation& allocation : candidates) {
    if (is_staging_read_by(allocation, tensor, tile, compute_phase)) {
      return allocation.address;
    }
  }
  return home_address_in(candidates, tensor, tile);
}

struct TensorOnTile {
  TensorId tensor;
  std::uint16_t tile = 0;
  friend bool operator==(const TensorOnTile&, const TensorOnTile&) = default;
};

struct TensorOnTileHash {
  std::size_t operator()(const TensorOnTile& key) const noexcept {
    const std::size_t tensor_hash = std::hash<TensorId>{}(key.tensor);
    return tensor_hash ^
           (std::hash<std::uint16_t>{}(key.tile) + 0x9e3779b97f4a7c15ULL + (tensor_hash << 6) + (tensor_hash >> 2));
  }
};

// The allocations of a schedule grouped by (tensor, tile), each group in
// schedule order, stored flat: group g occupies entries_[starts_[g] ..
// starts_[g + 1]). Built in two linear passes.
class AllocationIndex {
 public:
  explicit AllocationIndex(std::span<const Allocation> allocations) {
    std::vector<std::size_t> group_of_allocation;
    group_of_allocation.reserve(allocations.size());
    std::vector<std::size_t> group_sizes;
    group_of_.reserve(allocations.size());
    for (const Allocation& allocation : allocations) {
      const auto [entry, inserted] =
          group_of_.try_emplace(TensorOnTile{allocation.tensor, allocation.tile}, group_sizes.size());
      if (inserted) {
        group_sizes.push_back(0);
      }
      ++group_sizes[entry->second];
      group_of_allocation.push_back(entry->second);
    }

    starts_.reserve(group_sizes.size() + 1);
    starts_.push_back(0);
    for (const std::size_t size : group_sizes) {
      starts_.push_back(starts_.back() + size);
    }
    std::vector<std::size_t> next_entry(starts_.begin(), starts_.end() - 1);
    entries_.resize(allocations.size());
    for (std::size_t position = 0; position < allocations.size(); ++position) {
      entries_[next_entry[group_of_allocation[position]]++] = &allocations[position];
    }
  }

  // The allocations of the tensor on the tile, in schedule order.
  [[nodiscard]] auto candidates(TensorId tensor, std::uint16_t tile) const {
    std::span<const Allocation* const> group;
    if (const auto found = group_of_.find(TensorOnTile{tensor, tile}); found != group_of_.end()) {
      group = std::span(entries_).subspan(starts_[found->second], starts_[found->second + 1] - starts_[found->second]);
    }
    return group | std::views::transform([](const Allocation* allocation) -> const Allocation& { return *allocation; });
  }

 private:
  std::unordered_map<TensorOnTile, std::size_t, TensorOnTileHash> group_of_;
  std::vector<std::size_t> starts_;
  std::vector<const Allocation*> entries_;
};

// A kernel command together with the compute phase it belongs to.
struct TileWork {
  std::uint64_t phase = 0;
  OpId op;
  const KernelCommand* command = nullptr;
};

// The kernel commands of all compute phases bucketed by tile, each bucket in
// phase order and, within a phase, in command-list order.
struct WorkByTile {
  std::vector<std::size_t> starts;  // bucket of tile t: work[starts[t] .. starts[t + 1])
  std::vector<TileWork> work;
  std::optional<std::uint16_t> lowest_foreign_tile;  // lowest command tile at or above tile_count

  [[nodiscard]] std::span<const TileWork> of(std::uint16_t tile) const {
    return std::span(work).subspan(starts[tile], starts[tile + 1] - starts[tile]);
  }
};

[[nodiscard]] WorkByTile bucket_work_by_tile(const std::vector<Phase>& phases, std::uint16_t tile_count) {
  WorkByTile result;
  std::vector<std::size_t> counts(tile_count, 0);
  for (const Phase& phase : phases) {
    if (const Phase::Compute* compute = phase.compute()) {
      for (const KernelCommand& command : compute->commands) {
        if (command.tile < tile_count) {
          ++counts[command.tile];
        } else if (!result.lowest_foreign_tile || command.tile < *result.lowest_foreign_tile) {
          result.lowest_foreign_tile = command.tile;
        }
      }
    }
  }

  result.starts.reserve(std::size_t{tile_count} + 1);
  result.starts.push_back(0);
  for (const std::size_t count : counts) {
    result.starts.push_back(result.starts.back() + count);
  }
  std::vector<std::size_t> next_entry(result.starts.begin(), result.starts.end() - 1);
  result.work.resize(result.starts.back());
  for (std::uint64_t p = 0; p < phases.size(); ++p) {
    const Phase::Compute* compute = phases[p].compute();
    if (compute == nullptr) {
      continue;
    }
    for (const KernelCommand& command : compute->commands) {
      if (command.tile < tile_count) {
        result.work[next_entry[command.tile]++] = TileWork{p, compute->op, &command};
      }
    }
  }
  return result;
}

[[nodiscard]] std::expected<LoweredComputeCommand, CompileError> lower_command(const AllocationIndex& index,
                                                                               const TileWork& work,
                                                                               std::uint16_t tile) {
  const KernelCommand& command = *work.command;
  const std::expected<std::uint32_t, CompileError> output_address =
      home_address_in(index.candidates(command.output, tile), command.output, tile);
  if (!output_address) {
    return std::unexpected(output_address.error());
  }
  LoweredComputeCommand lowered{.op = work.op,
                                .input_addresses = {},
                                .output_address = *output_address,
                                .specialization = command.specialization};
  lowered.input_addresses.reserve(command.inputs.size());
  for (const TensorId input : command.inputs) {
    const std::expected<std::uint32_t, CompileError> input_address =
        input_address_in(index.candidates(input, tile), input, tile, work.phase);
    if (!input_address) {
      return std::unexpected(input_address.error());
    }
    lowered.input_addresses.push_back(*input_address);
  }
  return lowered;
}

}  // namespace

std::expected<std::uint32_t, CompileError> Schedule::home_address(TensorId tensor, std::uint16_t tile) const {
  return home_address_in(allocations, tensor, tile);
}

std::expected<std::uint32_t, CompileError> Schedule::compute_input_address(TensorId tensor, std::uint16_t tile,
                                                                           std::uint64_t compute_phase) const {
  return input_address_in(allocations, tensor, tile, compute_phase);
}

std::expected<std::vector<LoweredTileProgram>, CompileError> Schedule::lower_tile_programs(
    const tessal_exchange::Topology& topology) const {
  std::expected<std::vector<LoweredExchangePhase>, CompileError> lowered_exchanges = lower_exchanges(topology);
  if (!lowered_exchanges) {
    return std::unexpected(std::move(lowered_exchanges.error()));
  }

  // Lowered exchange phase by phase index; the first one with an index counts.
  std::vector<const LoweredExchangePhase*> lowered_by_phase(phases.size(), nullptr);
  std::size_t epochs_per_tile = 0;
  for (const LoweredExchangePhase& lowered : *lowered_exchanges) {
    if (lowered.phase < phases.size() && lowered_by_phase[lowered.phase] == nullptr) {
      lowered_by_phase[lowered.phase] = &lowered;
      epochs_per_tile += lowered.epochs.size();
    }
  }

  const AllocationIndex allocation_index(allocations);
  const WorkByTile work_by_tile = bucket_work_by_tile(phases, tile_count);

  std::vector<LoweredTileProgram> programs;
  programs.reserve(tile_count);
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    const std::span<const TileWork> tile_work = work_by_tile.of(tile);
    auto next_work = tile_work.begin();
    LoweredTileProgram program{.tile = tile, .steps = {}};
    program.steps.reserve(tile_work.size() + epochs_per_tile);
    for (std::uint64_t p = 0; p < phases.size(); ++p) {
      if (phases[p].exchange() != nullptr) {
        const LoweredExchangePhase* lowered = lowered_by_phase[p];
        if (lowered == nullptr) {
          return std::unexpected(CompileError::graph("missing lowered exchange phase " + std::to_string(p)));
        }
        for (std::uint64_t e = 0; e < lowered->epochs.size(); ++e) {
          program.steps.push_back(LoweredTileStep{
              LoweredTileStep::Exchange{.phase = p, .epoch = e, .row = lowered->epochs[e].row_for(tile)}});
        }
        continue;
      }
      for (; next_work != tile_work.end() && next_work->phase == p; ++next_work) {
        std::expected<LoweredComputeCommand, CompileError> command = lower_command(allocation_index, *next_work, tile);
        if (!command) {
          return std::unexpected(std::move(command.error()));
        }
        program.steps.push_back(LoweredTileStep{std::move(*command)});
      }
    }
    programs.push_back(std::move(program));
  }

  // A command on a tile without a program would otherwise be dropped unseen.
  if (work_by_tile.lowest_foreign_tile) {
    return std::unexpected(
        CompileError::graph("tile " + std::to_string(*work_by_tile.lowest_foreign_tile) + " is out of range"));
  }

  logging::emit(logging::Level::Info, "tessal_compiler", "lowered per-tile programs",
                logging::field("tiles", programs.size()));
  return programs;
}

std::ostream& operator<<(std::ostream& out, const LoweredComputeCommand& command) {
  StructWriter(out, "LoweredComputeCommand")
      .field("op", command.op)
      .field("input_addresses", command.input_addresses)
      .field("output_address", command.output_address)
      .field("specialization", command.specialization);
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoweredTileStep& step) {
  if (const LoweredTileStep::Compute* compute = step.compute()) {
    out << "Compute(" << *compute << ')';
  } else if (const LoweredTileStep::Exchange* exchange = step.exchange()) {
    StructWriter(out, "Exchange")
        .field("phase", exchange->phase)
        .field("epoch", exchange->epoch)
        .field("row", exchange->row);
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoweredTileProgram& program) {
  StructWriter(out, "LoweredTileProgram").field("tile", program.tile).field("steps", program.steps);
  return out;
}

}  // namespace tessal_compiler

#include "tessal_compiler/memory_planner.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::debug_text::StructWriter;

constexpr std::uint64_t largest_address = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t staging_alignment = 16;

// Bytes [begin, end) of a region that competes with a placement. Ends are kept
// in 64 bits so that no sum of address and size wraps.
struct BusyRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// The byte test of both searches: [begin, end) and [start, start + size) meet.
[[nodiscard]] bool bytes_meet(const BusyRange& busy, std::uint64_t start, std::uint64_t size) {
  return busy.begin < start + size && start < busy.end;
}

[[nodiscard]] std::uint64_t round_up(std::uint64_t value, std::uint64_t alignment) {
  const std::uint64_t remainder = value % alignment;
  return remainder == 0 ? value : value + (alignment - remainder);
}

[[nodiscard]] std::uint64_t round_down(std::uint64_t value, std::uint64_t alignment) {
  return value - value % alignment;
}

[[nodiscard]] CompileError data_limit_error(std::uint16_t tile, std::string_view label) {
  return CompileError::memory("tile " + std::to_string(tile) + " exceeds data limit allocating " + std::string(label));
}

[[nodiscard]] std::string lower_hex(std::uint32_t value) {
  std::array<char, 8> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16);
  return std::string(digits.data(), result.ptr);
}

[[nodiscard]] CompileError unknown_tensor_error(std::size_t phase, TensorId tensor) {
  return CompileError::graph("phase " + std::to_string(phase) + " names unknown tensor " +
                             std::to_string(tensor.index));
}

// The staging buffer of one tensor on one destination tile within the current exchange phase.
struct StagedRegion {
  std::uint64_t tensor = 0;
  std::uint16_t tile = 0;
  friend bool operator==(const StagedRegion&, const StagedRegion&) = default;
};

struct StagedRegionHash {
  std::size_t operator()(const StagedRegion& region) const noexcept {
    const std::size_t tensor_hash = std::hash<std::uint64_t>{}(region.tensor);
    return tensor_hash ^ (std::hash<std::uint16_t>{}(region.tile) + 0x9e3779b97f4a7c15ULL + (tensor_hash << 6) +
                          (tensor_hash >> 2));
  }
};

// First and last phase in which each tensor is used, closed at both ends.
struct Lifetimes {
  std::vector<std::uint64_t> produced;
  std::vector<std::uint64_t> consumed;
};

[[nodiscard]] std::expected<Lifetimes, CompileError> tensor_lifetimes(const Graph& graph,
                                                                      std::span<const Phase> phases) {
  const std::size_t tensor_count = graph.tensors.size();
  Lifetimes lifetimes{std::vector<std::uint64_t>(tensor_count, 0), std::vector<std::uint64_t>(tensor_count, 0)};
  auto read_at = [&](std::uint64_t phase, TensorId tensor) {
    lifetimes.consumed[tensor.index] = std::max(lifetimes.consumed[tensor.index], phase);
  };

  for (std::size_t p = 0; p < phases.size(); ++p) {
    if (const Phase::Exchange* exchange = phases[p].exchange()) {
      for (const Transfer& transfer : exchange->transfers) {
        if (transfer.tensor.index >= tensor_count) return std::unexpected(unknown_tensor_error(p, transfer.tensor));
        read_at(p, transfer.tensor);
      }
    } else if (const Phase::Compute* compute = phases[p].compute()) {
      if (compute->op.index >= graph.ops.size()) {
        return std::unexpected(CompileError::graph("phase " + std::to_string(p) + " names unknown operation " +
                                                   std::to_string(compute->op.index)));
      }
      const Op& op = graph.ops[compute->op.index];
      if (op.output.index >= tensor_count) return std::unexpected(unknown_tensor_error(p, op.output));
      for (const TensorId input : op.inputs) {
        if (input.index >= tensor_count) return std::unexpected(unknown_tensor_error(p, input));
      }
      lifetimes.produced[op.output.index] = p;
      for (const TensorId input : op.inputs) read_at(p, input);
    }
  }

  for (const TensorId output : graph.outputs) {
    if (output.index >= tensor_count) {
      return std::unexpected(CompileError::graph("graph output names unknown tensor " + std::to_string(output.index)));
    }
    lifetimes.consumed[output.index] = phases.size();
  }

  // A result that nothing reads and that is no graph output lives in its
  // producing phase alone; left as it is, its lifetime would end before it
  // begins and its region could share bytes with storage that is still live.
  for (std::size_t tensor = 0; tensor < tensor_count; ++tensor) {
    lifetimes.consumed[tensor] = std::max(lifetimes.consumed[tensor], lifetimes.produced[tensor]);
  }
  return lifetimes;
}

// One region to place: what allocate_region takes besides the lists.
struct RegionRequest {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t size = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
  std::uint32_t alignment = 1;
  AllocationKind kind;
  std::uint32_t allocation_base = 0;
  std::uint32_t allocation_limit = 0;
  std::string_view label;
};

// allocate_region with a caller-owned buffer for the blocking regions, so that
// planning thousands of regions does not allocate a buffer for each.
[[nodiscard]] std::expected<void, CompileError> place_region(std::vector<Allocation>& allocations,
                                                             TileAllocations& by_tile, std::vector<BusyRange>& busy,
                                                             const RegionRequest& request) {
  const auto& [tensor, tile, size, live_from, live_until, alignment, kind, allocation_base, allocation_limit,
               label] = request;
  if (alignment == 0) return std::unexpected(CompileError::memory("invalid allocation alignment"));

  // Only regions of this tile whose lifetimes meet the new one can block it.
  busy.clear();
  if (const auto existing = by_tile.find(tile); existing != by_tile.end()) {
    for (const Allocation& allocation : existing->second) {
      if (lifetimes_overlap(live_from, live_until, allocation.live_from, allocation.live_until)) {
        busy.push_back({allocation.address, std::uint64_t{allocation.address} + allocation.size});
      }
    }
  }
  std::ranges::sort(busy, [](const BusyRange& left, const BusyRange& right) { return left.begin < right.begin; });

  // First fit upward over the blocking regions in address order. This stops
  // where the rule "move past the first blocking region in placement order,
  // then search again" stops: either way the candidate skips only addresses
  // at which some blocking region still sits, so both end on the lowest free
  // address among the base and the aligned ends of the blocking regions.
  std::uint64_t candidate = allocation_base;
  for (const BusyRange& range : busy) {
    if (candidate + size > largest_address) return std::unexpected(CompileError::memory("address overflow"));
    if (range.begin >= candidate + size) break;
    if (!bytes_meet(range, candidate, size)) continue;
    candidate = round_up(range.end, alignment);
  }
  if (candidate + size > largest_address) return std::unexpected(CompileError::memory("address overflow"));
  if (candidate + size > allocation_limit) return std::unexpected(data_limit_error(tile, label));

  const Allocation allocation{tensor, tile, static_cast<std::uint32_t>(candidate), size, live_from, live_until,
                              kind};
  by_tile[tile].push_back(allocation);
  allocations.push_back(allocation);
  return {};
}

}  // namespace

std::ostream& operator<<(std::ostream& out, MemoryPlacement placement) {
  switch (placement) {
    case MemoryPlacement::Low: return out << "Low";
    case MemoryPlacement::High: return out << "High";
  }
  return out << "MemoryPlacement(" << static_cast<unsigned>(placement) << ')';
}

std::ostream& operator<<(std::ostream& out, const MemoryConstraint& constraint) {
  StructWriter(out, "MemoryConstraint")
      .field("base", constraint.base)
      .field("limit", constraint.limit)
      .field("alignment", constraint.alignment)
      .field("placement", constraint.placement);
  return out;
}

std::expected<std::vector<Allocation>, CompileError> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                                 std::span<const Phase> phases,
                                                                 const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size()) {
    return std::unexpected(CompileError::graph("layout count does not match tensor count"));
  }
  const std::expected<Lifetimes, CompileError> lifetimes = tensor_lifetimes(graph, phases);
  if (!lifetimes) return std::unexpected(lifetimes.error());

  std::size_t region_count = 0;
  for (const Layout& layout : layouts) region_count += layout.tiles.size();
  for (const Phase& phase : phases) {
    if (const Phase::Exchange* exchange = phase.exchange()) region_count += exchange->transfers.size();
  }
  std::vector<Allocation> allocations;
  allocations.reserve(region_count);
  TileAllocations by_tile;
  std::vector<BusyRange> busy;

  // Home regions: one per tensor share, on every tile of the tensor's layout.
  for (std::size_t index = 0; index < graph.tensors.size(); ++index) {
    const Tensor& tensor = graph.tensors[index];
    const Layout& layout = layouts[index];
    if (layout.tiles.empty()) continue;
    if (layout.alignment == 0) return std::unexpected(CompileError::memory("invalid allocation alignment"));
    // A share beyond 32 bits fits no window; it must not be truncated into a small region.
    const std::uint64_t share = local_bytes(tensor, layout);
    if (share > largest_address || round_up(share, layout.alignment) > largest_address) {
      return std::unexpected(data_limit_error(layout.tiles.front(), tensor.name));
    }
    const auto size = static_cast<std::uint32_t>(round_up(share, layout.alignment));
    for (const std::uint16_t tile : layout.tiles) {
      const std::expected<void, CompileError> placed = place_region(
          allocations, by_tile, busy,
          RegionRequest{TensorId{index}, tile, size, lifetimes->produced[index], lifetimes->consumed[index],
                        layout.alignment, AllocationKind{AllocationKind::Home{}}, options.data_base,
                        options.data_limit, tensor.name});
      if (!placed) return std::unexpected(placed.error());
    }
  }

  // Staging regions: one per received share, live in the exchange phase and
  // in the compute phase that follows it. Only staging placed in the current
  // phase can match the skip test, so the index is reset per phase.
  std::unordered_set<StagedRegion, StagedRegionHash> staged;
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const Phase::Exchange* exchange = phases[p].exchange();
    if (exchange == nullptr) continue;
    staged.clear();
    for (const Transfer& transfer : exchange->transfers) {
      if (!staged.insert(StagedRegion{transfer.tensor.index, transfer.destination_tile}).second) continue;
      const std::string label = "tensor " + std::to_string(transfer.tensor.index) + " exchange staging";
      const std::uint64_t size = round_up(transfer.bytes, staging_alignment);
      if (size > largest_address) return std::unexpected(data_limit_error(transfer.destination_tile, label));
      const std::expected<void, CompileError> placed = place_region(
          allocations, by_tile, busy,
          RegionRequest{transfer.tensor, transfer.destination_tile, static_cast<std::uint32_t>(size), p, p + 1,
                        staging_alignment, AllocationKind{AllocationKind::ExchangeStaging{p}},
                        options.exchange_base, options.exchange_limit, label});
      if (!placed) return std::unexpected(placed.error());
    }
  }
  return allocations;
}

std::expected<void, CompileError> allocate_region(std::vector<Allocation>& allocations, TileAllocations& by_tile,
                                                  TensorId tensor, std::uint16_t tile, std::uint32_t size,
                                                  std::uint64_t live_from, std::uint64_t live_until,
                                                  std::uint32_t alignment, AllocationKind kind,
                                                  std::uint32_t allocation_base, std::uint32_t allocation_limit,
                                                  std::string_view label) {
  std::vector<BusyRange> busy;
  return place_region(allocations, by_tile, busy,
                      RegionRequest{tensor, tile, size, live_from, live_until, alignment, std::move(kind),
                                    allocation_base, allocation_limit, label});
}

std::expected<std::uint32_t, CompileError> find_free_region(std::span<const Allocation> allocations,
                                                            std::uint16_t tile, std::uint32_t size,
                                                            std::uint64_t live_from, std::uint64_t live_until,
                                                            const MemoryConstraint& constraint) {
  const std::uint64_t alignment = constraint.alignment;
  const bool power_of_two = alignment != 0 && (alignment & (alignment - 1)) == 0;
  if (size == 0 || live_from >= live_until || !power_of_two || constraint.base >= constraint.limit ||
      constraint.limit - constraint.base < size) {
    return std::unexpected(CompileError::memory("invalid allocation constraint"));
  }
  const std::uint64_t base = constraint.base;
  const std::uint64_t highest_start = constraint.limit - size;

  // Regions that can block some candidate: this tile, a lifetime that meets
  // [live_from, live_until) (both half-open), bytes that reach into the window.
  std::vector<BusyRange> busy;
  for (const Allocation& allocation : allocations) {
    const BusyRange range{allocation.address, std::uint64_t{allocation.address} + allocation.size};
    if (allocation.tile == tile && live_from < allocation.live_until && allocation.live_from < live_until &&
        range.begin < constraint.limit && range.end > base) {
      busy.push_back(range);
    }
  }
  const auto no_region = [&] {
    return CompileError::memory("no " + std::to_string(size) + "-byte region for tile " + std::to_string(tile) +
                                " in 0x" + lower_hex(constraint.base) + "..0x" + lower_hex(constraint.limit));
  };

  // Candidates are the multiples of the alignment inside the window. Both
  // searches jump over every candidate that meets one blocking region at
  // once, which returns the same address as trying the candidates one by one.
  if (constraint.placement == MemoryPlacement::Low) {
    std::ranges::sort(busy, [](const BusyRange& left, const BusyRange& right) { return left.begin < right.begin; });
    std::uint64_t candidate = round_up(base, alignment);
    if (candidate > highest_start) return std::unexpected(no_region());
    for (const BusyRange& range : busy) {
      if (range.begin >= candidate + size) break;
      if (!bytes_meet(range, candidate, size)) continue;
      candidate = round_up(range.end, alignment);
      if (candidate > highest_start) {
        // One by one, the search would step from the last candidate in the
        // window to the next multiple, which may not fit 32 bits.
        if (round_down(highest_start, alignment) + alignment > largest_address) {
          return std::unexpected(CompileError::memory("allocation address overflow"));
        }
        return std::unexpected(no_region());
      }
    }
    return static_cast<std::uint32_t>(candidate);
  }

  std::ranges::sort(busy, [](const BusyRange& left, const BusyRange& right) { return left.end > right.end; });
  std::uint64_t candidate = round_down(highest_start, alignment);
  if (candidate < base) return std::unexpected(no_region());
  for (const BusyRange& range : busy) {
    if (range.end <= candidate) break;
    if (!bytes_meet(range, candidate, size)) continue;
    // The next candidate must end at or below the blocking region's start.
    if (range.begin < size) return std::unexpected(no_region());
    candidate = round_down(range.begin - size, alignment);
    if (candidate < base) return std::unexpected(no_region());
  }
  return static_cast<std::uint32_t>(candidate);
}

}  // namespace tessal_compiler

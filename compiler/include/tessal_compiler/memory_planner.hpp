#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/layout.hpp"
#include "tessal_compiler/schedule.hpp"

namespace tessal_compiler {

enum class MemoryPlacement : std::uint8_t { Low, High };

std::ostream& operator<<(std::ostream& out, MemoryPlacement placement);

struct MemoryConstraint {
  std::uint32_t base = 0;       // first usable address
  std::uint32_t limit = 0;      // end of the usable window, exclusive
  std::uint32_t alignment = 1;  // a power of two
  MemoryPlacement placement = MemoryPlacement::Low;

  friend bool operator==(const MemoryConstraint&, const MemoryConstraint&) = default;
};

std::ostream& operator<<(std::ostream& out, const MemoryConstraint& constraint);

// Per-tile index used while planning: each tile's allocations in placement
// order. Only ever looked up by tile.
using TileAllocations = std::unordered_map<std::uint16_t, std::vector<Allocation>>;

// Home regions for every tensor share and staging regions for every received
// transfer; lifetimes are closed intervals of phase indexes.
[[nodiscard]] std::expected<std::vector<Allocation>, CompileError> plan_memory(const Graph& graph,
                                                                               std::span<const Layout> layouts,
                                                                               std::span<const Phase> phases,
                                                                               const CompilerOptions& options);

// First fit upward from allocation_base; appends the region to both lists.
[[nodiscard]] std::expected<void, CompileError> allocate_region(
    std::vector<Allocation>& allocations, TileAllocations& by_tile, TensorId tensor, std::uint16_t tile,
    std::uint32_t size, std::uint64_t live_from, std::uint64_t live_until, std::uint32_t alignment,
    AllocationKind kind, std::uint32_t allocation_base, std::uint32_t allocation_limit, std::string_view label);

// Closed intervals [a_start, a_end] and [b_start, b_end] share an index.
[[nodiscard]] constexpr bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                                               std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

// Smallest multiple of `alignment` (never 0) not below `value`, modulo 2^32.
[[nodiscard]] constexpr std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment) {
  const std::uint32_t remainder = value % alignment;
  return remainder == 0 ? value : value + (alignment - remainder);
}

// One placement query with half-open lifetimes [live_from, live_until); records nothing.
[[nodiscard]] std::expected<std::uint32_t, CompileError> find_free_region(std::span<const Allocation> allocations,
                                                                          std::uint16_t tile, std::uint32_t size,
                                                                          std::uint64_t live_from,
                                                                          std::uint64_t live_until,
                                                                          const MemoryConstraint& constraint);

}  // namespace tessal_compiler

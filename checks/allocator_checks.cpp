// Checks of the memory planner: one over a full compilation of the encoder
// graph, two over single placement queries.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "check_bodies.hpp"
#include "tessal_compiler/compile.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/memory_planner.hpp"

namespace tessal_checks {

using tessal_compiler::Allocation;
using tessal_compiler::AllocationKind;
using tessal_compiler::MemoryConstraint;
using tessal_compiler::MemoryPlacement;
using tessal_compiler::TensorId;

void live_allocations_do_not_overlap() {
  const auto graph = tessal_compiler::encoder_graph({});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const auto schedule = tessal_compiler::compile(*graph, {});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();

  const std::vector<Allocation>& allocations = schedule->allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& left = allocations[i];
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& right = allocations[j];
      if (left.tile != right.tile ||
          !tessal_compiler::lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        continue;
      }
      const std::uint64_t left_end = std::uint64_t{left.address} + left.size;
      const std::uint64_t right_end = std::uint64_t{right.address} + right.size;
      ASSERT_TRUE(left_end <= right.address || right_end <= left.address)
          << "assertion failed: left.address + left.size <= right.address ||\n"
             "    right.address + right.size <= left.address\n"
          << "left: " << left << "\nright: " << right;
    }
  }
}

void constrained_allocator_reports_exhaustion() {
  const MemoryConstraint constraint{.base = 0x50000, .limit = 0x50040, .alignment = 32,
                                    .placement = MemoryPlacement::Low};
  const std::vector<Allocation> allocations{Allocation{
      .tensor = TensorId{0},
      .tile = 7,
      .address = constraint.base,
      .size = constraint.limit - constraint.base,
      .live_from = 3,
      .live_until = 5,
      .kind = AllocationKind{AllocationKind::ExchangeStaging{3}},
  }};
  ASSERT_FALSE(tessal_compiler::find_free_region(allocations, 7, 32, 4, 6, constraint).has_value())
      << "assertion failed: find_free_region(&allocations, 7, 32, 4, 6, constraint).is_err()";
}

void constrained_allocator_obeys_bounds_and_reuses_dead_storage() {
  const MemoryConstraint constraint{.base = 0x50000, .limit = 0x54000, .alignment = 32,
                                    .placement = MemoryPlacement::High};
  constexpr std::uint32_t size = 256;

  const auto first = tessal_compiler::find_free_region({}, 0, size, 0, 1, constraint);
  ASSERT_TRUE(first.has_value()) << first.error();
  const std::vector<Allocation> allocations{Allocation{
      .tensor = TensorId{0},
      .tile = 0,
      .address = *first,
      .size = size,
      .live_from = 0,
      .live_until = 1,
      .kind = AllocationKind{AllocationKind::Home{}},
  }};

  const auto concurrent = tessal_compiler::find_free_region(allocations, 0, size, 0, 1, constraint);
  ASSERT_TRUE(concurrent.has_value()) << concurrent.error();
  const auto reused = tessal_compiler::find_free_region(allocations, 0, size, 1, 2, constraint);
  ASSERT_TRUE(reused.has_value()) << reused.error();
  const auto other_tile = tessal_compiler::find_free_region(allocations, 1, size, 0, 1, constraint);
  ASSERT_TRUE(other_tile.has_value()) << other_tile.error();

  for (const std::uint32_t address : {*first, *concurrent, *reused, *other_tile}) {
    ASSERT_EQ(address % constraint.alignment, 0U);
    ASSERT_TRUE(address >= constraint.base) << "assertion failed: address >= constraint.base";
    ASSERT_TRUE(std::uint64_t{address} + size <= constraint.limit)
        << "assertion failed: address + 256 <= constraint.limit";
  }
  ASSERT_TRUE(std::uint64_t{*concurrent} + size <= *first || std::uint64_t{*first} + size <= *concurrent)
      << "assertion failed: concurrent + 256 <= first || first + 256 <= concurrent";
  ASSERT_EQ(*reused, *first);
  ASSERT_EQ(*other_tile, *first);
}

}  // namespace tessal_checks

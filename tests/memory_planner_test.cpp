#include "tessal_compiler/memory_planner.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tessal_compiler/compile.hpp"
#include "tessal_compiler/encoder.hpp"

namespace {

using namespace tessal_compiler;

Allocation home(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                std::uint64_t from, std::uint64_t until) {
  return Allocation{TensorId{tensor}, tile, address, size, from, until, AllocationKind{AllocationKind::Home{}}};
}

Allocation staging(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                   std::uint64_t phase) {
  return Allocation{TensorId{tensor}, tile, address, size, phase, phase + 1,
                    AllocationKind{AllocationKind::ExchangeStaging{phase}}};
}

// An address (or "ok" for other results) or the error, as one printable value.
template <class T>
std::string outcome(const std::expected<T, CompileError>& result) {
  std::ostringstream text;
  if (!result) {
    text << result.error();
  } else if constexpr (std::is_integral_v<T>) {
    text << "0x" << std::hex << *result;
  } else {
    text << "ok";
  }
  return text.str();
}

std::string address_text(std::uint64_t address) {
  std::ostringstream text;
  text << "0x" << std::hex << address;
  return text.str();
}

std::string memory_error_text(const std::string& message) {
  std::ostringstream text;
  text << CompileError::memory(message);
  return text.str();
}

// Two regions of one tile whose closed lifetimes meet never share a byte.
void expect_live_regions_disjoint(const std::vector<Allocation>& allocations) {
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& left = allocations[i];
      const Allocation& right = allocations[j];
      if (left.tile != right.tile ||
          !lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        continue;
      }
      EXPECT_TRUE(std::uint64_t{left.address} + left.size <= right.address ||
                  std::uint64_t{right.address} + right.size <= left.address)
          << left << "\n" << right;
    }
  }
}

// ---------------------------------------------------------------------------
// plan_memory on the encoder graph

class EncoderPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto graph = encoder_graph({});
    ASSERT_TRUE(graph) << graph.error();
    graph_ = *graph;
    auto schedule = compile(graph_, {});
    ASSERT_TRUE(schedule) << schedule.error();
    schedule_ = std::move(*schedule);
  }

  Graph graph_;
  Schedule schedule_;
};

// What the planner decides about a home region apart from its address.
struct Share {
  TensorId tensor;
  std::uint16_t tile;
  std::uint32_t size;
  AllocationKind kind;
  bool operator==(const Share&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Share& share) {
    return out << share.tensor << " on tile " << share.tile << ", " << share.size << " bytes, " << share.kind;
  }
};

TEST_F(EncoderPlanTest, HomeRegionsComeFirstOnePerShareInTensorAndTileOrder) {
  ASSERT_EQ(schedule_.allocations.size(), 388U);
  std::vector<Share> expected;
  for (const Layout& layout : schedule_.layouts) {
    for (const std::uint16_t tile : layout.tiles) {
      expected.push_back({layout.tensor, tile, 1024, AllocationKind{AllocationKind::Home{}}});
    }
  }
  ASSERT_EQ(expected.size(), 360U);
  std::vector<Share> actual;
  for (std::size_t i = 0; i < 360; ++i) {
    const Allocation& allocation = schedule_.allocations[i];
    actual.push_back({allocation.tensor, allocation.tile, allocation.size, allocation.kind});
  }
  EXPECT_EQ(actual, expected);
}

TEST_F(EncoderPlanTest, StagingRegionsFollowAtTheWindowBaseForTheExchangeAndNextPhase) {
  std::vector<Allocation> expected;
  for (std::uint16_t tile = 4; tile <= 7; ++tile) expected.push_back(staging(13, tile, 0x50000, 1024, 7));
  for (std::uint16_t tile = 8; tile <= 31; ++tile) expected.push_back(staging(17, tile, 0x50000, 1024, 12));
  ASSERT_EQ(schedule_.allocations.size(), 388U);
  const std::vector<Allocation> actual(schedule_.allocations.begin() + 360, schedule_.allocations.end());
  EXPECT_EQ(actual, expected);
}

TEST_F(EncoderPlanTest, TileZeroHomeRegionsReuseDeadSlots) {
  struct Row {
    std::uint64_t tensor;
    std::uint32_t slot;
    std::uint64_t from;
    std::uint64_t until;
  };
  // input, wq, wk, wv, wo, w1, w2, norm1, q, k, v, k_transpose, attention_scores,
  // attention_softmax, attention_context, attention_projection, attention_residual,
  // norm2, ffn_up, ffn_gelu, ffn_down, ffn_residual
  const Row rows[] = {
      {0, 0, 0, 10},  {1, 1, 0, 1},   {2, 2, 0, 2},   {3, 3, 0, 3},   {4, 4, 0, 9},   {5, 5, 0, 13},
      {6, 6, 0, 15},  {7, 7, 0, 3},   {8, 8, 1, 5},   {9, 1, 2, 4},   {10, 2, 3, 8},  {11, 3, 4, 5},
      {12, 1, 5, 6},  {13, 3, 6, 8},  {14, 1, 8, 9},  {15, 2, 9, 10}, {16, 1, 10, 16}, {17, 0, 11, 13},
      {18, 2, 13, 14}, {19, 0, 14, 15}, {20, 2, 15, 16}, {21, 0, 16, 17},
  };
  std::vector<Allocation> expected;
  for (const Row& row : rows) expected.push_back(home(row.tensor, 0, 0x58000 + row.slot * 0x400, 1024, row.from, row.until));

  std::vector<Allocation> actual;
  for (const Allocation& allocation : schedule_.allocations) {
    if (allocation.tile == 0 && allocation.kind.is_home()) actual.push_back(allocation);
  }
  EXPECT_EQ(actual, expected);
}

TEST_F(EncoderPlanTest, PlanningAgainGivesTheSameRegionsAndNoLiveRegionsShareBytes) {
  const auto allocations = plan_memory(graph_, schedule_.layouts, schedule_.phases, {});
  ASSERT_TRUE(allocations) << allocations.error();
  EXPECT_EQ(*allocations, schedule_.allocations);
  expect_live_regions_disjoint(schedule_.allocations);
}

// ---------------------------------------------------------------------------
// plan_memory on small graphs

TEST(PlanMemoryTest, UnreadResultLivesInItsProducingPhaseAndGetsFreshStorage) {
  // Phases: 0 b = gelu(x); 1 d = gelu(b); 2 dead = gelu(x), read by nobody; 3 e = b + d.
  // Were dead's lifetime left to end before it begins, it would share d's slot
  // while d is still live in phase 2.
  Graph graph;
  const TensorId x = graph.input("x", {16, 16});
  const auto b = graph.gelu("b", x);
  ASSERT_TRUE(b) << b.error();
  const auto d = graph.gelu("d", *b);
  ASSERT_TRUE(d) << d.error();
  const auto dead = graph.gelu("dead", x);
  ASSERT_TRUE(dead) << dead.error();
  const auto e = graph.add("e", *b, *d);
  ASSERT_TRUE(e) << e.error();
  ASSERT_TRUE(graph.mark_output(*e));

  const auto schedule = compile(graph, {});
  ASSERT_TRUE(schedule) << schedule.error();
  const std::vector<Allocation> expected{
      home(0, 0, 0x58000, 1024, 0, 2),  // x
      home(1, 0, 0x58400, 1024, 0, 3),  // b
      home(2, 0, 0x58800, 1024, 1, 3),  // d
      home(3, 0, 0x58c00, 1024, 2, 2),  // dead
      home(4, 0, 0x58000, 1024, 3, 4),  // e, in the storage of x
  };
  EXPECT_EQ(schedule->allocations, expected);
  expect_live_regions_disjoint(schedule->allocations);
}

TEST(PlanMemoryTest, RepeatedTransferInOnePhaseGetsOneStagingRegion) {
  Graph graph;
  const TensorId x = graph.input("x", {16, 16});
  const auto y = graph.op("y", OpKind{OpKind::Gelu{}}, {x}, {32, 16});
  ASSERT_TRUE(y) << y.error();
  ASSERT_TRUE(graph.mark_output(*y));
  const std::vector<Layout> layouts{Layout{TensorId{0}, {0}, Sharding::Rows, 16},
                                    Layout{TensorId{1}, {0, 1}, Sharding::Rows, 16}};
  const Transfer transfer{TensorId{0}, 1024, 0, 1};
  const std::vector<Phase> phases{Phase{Phase::Exchange{{transfer, transfer}}},
                                  Phase{Phase::Compute{OpId{0}, {}}}};

  const auto allocations = plan_memory(graph, layouts, phases, {});
  ASSERT_TRUE(allocations) << allocations.error();
  const std::vector<Allocation> expected{
      home(0, 0, 0x58000, 1024, 0, 1),
      home(1, 0, 0x58400, 1024, 1, 2),
      home(1, 1, 0x58000, 1024, 1, 2),
      staging(0, 1, 0x50000, 1024, 0),
  };
  EXPECT_EQ(*allocations, expected);
}

TEST(PlanMemoryTest, MalformedInputsAreRejectedWithoutPlanning) {
  Graph graph;
  const TensorId x = graph.input("x", {16, 16});
  const auto y = graph.gelu("y", x);
  ASSERT_TRUE(y) << y.error();
  ASSERT_TRUE(graph.mark_output(*y));
  const std::vector<Layout> layouts{Layout{TensorId{0}, {0}, Sharding::Rows, 16},
                                    Layout{TensorId{1}, {0}, Sharding::Rows, 16}};
  const std::vector<Phase> compute{Phase{Phase::Compute{OpId{0}, {}}}};

  struct Case {
    const char* name;
    std::vector<Layout> layouts;
    std::vector<Phase> phases;
    std::vector<TensorId> outputs;
    CompileError error;
  };
  const Case cases[] = {
      {"one layout short", {layouts[0]}, compute, {TensorId{1}},
       CompileError::graph("layout count does not match tensor count")},
      {"unknown operation", layouts, {Phase{Phase::Compute{OpId{5}, {}}}}, {TensorId{1}},
       CompileError::graph("phase 0 names unknown operation 5")},
      {"unknown transferred tensor", layouts,
       {Phase{Phase::Exchange{{Transfer{TensorId{9}, 1024, 0, 1}}}}, compute[0]}, {TensorId{1}},
       CompileError::graph("phase 0 names unknown tensor 9")},
      {"unknown output", layouts, compute, {TensorId{7}},
       CompileError::graph("graph output names unknown tensor 7")},
  };
  for (const Case& c : cases) {
    Graph variant = graph;
    variant.outputs = c.outputs;
    std::ostringstream expected;
    expected << c.error;
    EXPECT_EQ(outcome(plan_memory(variant, c.layouts, c.phases, {})), expected.str())
        << c.name;
  }
}

TEST(PlanMemoryTest, ShareOrStagingBeyondThirtyTwoBitsIsRejectedNotTruncated) {
  Graph graph;
  const TensorId big = graph.input("big", {0x3fffffff});  // 0xfffffffc bytes, 0x1_0000_0000 once aligned
  const auto y = graph.gelu("y", big);
  ASSERT_TRUE(y) << y.error();
  ASSERT_TRUE(graph.mark_output(*y));
  const std::vector<Layout> layouts{Layout{TensorId{0}, {2}, Sharding::Replicated, 16},
                                    Layout{TensorId{1}, {2}, Sharding::Replicated, 16}};
  const std::vector<Phase> compute{Phase{Phase::Compute{OpId{0}, {}}}};
  const CompilerOptions wide{.tile_count = 64, .data_limit = 0xffffffff};
  EXPECT_EQ(outcome(plan_memory(graph, layouts, compute, wide)),
            memory_error_text("tile 2 exceeds data limit allocating big"));

  Graph small;
  const TensorId x = small.input("x", {4});
  ASSERT_TRUE(small.mark_output(x));
  const std::vector<Layout> small_layouts{Layout{TensorId{0}, {0}, Sharding::Replicated, 16}};
  const std::vector<Phase> huge_transfer{Phase{Phase::Exchange{{Transfer{TensorId{0}, 0xfffffff9, 0, 5}}}}};
  EXPECT_EQ(outcome(plan_memory(small, small_layouts, huge_transfer, wide)),
            memory_error_text("tile 5 exceeds data limit allocating tensor 0 exchange staging"));
}

// ---------------------------------------------------------------------------
// allocate_region

constexpr std::uint16_t case_tile = 3;

TEST(AllocateRegionTest, FirstFitUpwardWithClosedLifetimes) {
  struct Case {
    const char* name;
    std::vector<Allocation> existing;  // filed under their own tiles
    std::uint32_t size;
    std::uint64_t from;
    std::uint64_t until;
    std::uint32_t alignment;
    std::uint32_t base;
    std::uint32_t limit;
    std::string outcome;
  };
  const std::string wq_limit = memory_error_text("tile 3 exceeds data limit allocating wq");
  const std::string overflow = memory_error_text("address overflow");
  const Case cases[] = {
      {"empty tile takes the base unrounded", {}, 64, 0, 1, 16, 0x58004, 0x60000, "0x58004"},
      {"region ending at phase p blocks one starting at p",
       {home(0, 3, 0x58000, 1024, 0, 2)}, 1024, 2, 3, 16, 0x58000, 0x60000, "0x58400"},
      {"dead storage is reused", {home(0, 3, 0x58000, 1024, 0, 1)}, 1024, 2, 3, 16, 0x58000, 0x60000, "0x58000"},
      {"move past an unaligned end rounds up", {home(0, 3, 0x58000, 20, 0, 1)}, 16, 0, 1, 16, 0x58000, 0x60000,
       "0x58020"},
      {"first gap that is large enough",
       {home(0, 3, 0x58200, 0x100, 0, 5), home(1, 3, 0x58000, 0x100, 0, 5)}, 0x100, 1, 1, 16, 0x58000, 0x60000,
       "0x58100"},
      {"gap too small is passed",
       {home(0, 3, 0x58200, 0x100, 0, 5), home(1, 3, 0x58000, 0x100, 0, 5)}, 0x180, 1, 1, 16, 0x58000, 0x60000,
       "0x58300"},
      {"other tiles do not compete", {home(0, 4, 0x58000, 1024, 0, 9)}, 1024, 0, 9, 16, 0x58000, 0x60000,
       "0x58000"},
      {"end equal to the limit fits", {}, 0x400, 0, 1, 16, 0x58000, 0x58400, "0x58000"},
      {"end above the limit is rejected", {}, 0x400, 0, 1, 16, 0x58000, 0x583ff, wq_limit},
      {"pushed past the limit by a live region", {home(0, 3, 0x58000, 0x200, 0, 1)}, 0x300, 1, 2, 16, 0x58000,
       0x58400, wq_limit},
      {"end beyond 32 bits", {}, 0x200, 0, 1, 16, 0xffffff00, 0xffffffff, overflow},
      {"move past a region at the top does not wrap to 0", {home(0, 3, 0xffffffe0, 0x18, 0, 1)}, 4, 0, 1, 16,
       0xffffffe0, 0xffffffff, overflow},
      {"alignment 0", {}, 16, 0, 1, 0, 0x58000, 0x60000, memory_error_text("invalid allocation alignment")},
  };
  for (const Case& c : cases) {
    std::vector<Allocation> allocations = c.existing;
    TileAllocations by_tile;
    for (const Allocation& allocation : c.existing) by_tile[allocation.tile].push_back(allocation);
    const std::vector<Allocation> allocations_before = allocations;
    const TileAllocations by_tile_before = by_tile;

    const auto result = allocate_region(allocations, by_tile, TensorId{9}, case_tile, c.size, c.from, c.until,
                                        c.alignment, AllocationKind{AllocationKind::Home{}}, c.base, c.limit, "wq");
    if (!result) {
      EXPECT_EQ(outcome(result), c.outcome) << c.name;
      EXPECT_EQ(allocations, allocations_before) << c.name;
      EXPECT_TRUE(by_tile == by_tile_before) << c.name << ": the per-tile index changed";
      continue;
    }
    ASSERT_EQ(allocations.size(), c.existing.size() + 1) << c.name;
    const Allocation& placed = allocations.back();
    EXPECT_EQ(address_text(placed.address), c.outcome) << c.name;
    EXPECT_EQ(placed, (home(9, case_tile, placed.address, c.size, c.from, c.until))) << c.name;
    ASSERT_FALSE(by_tile[case_tile].empty()) << c.name;
    EXPECT_EQ(by_tile[case_tile].back(), placed) << c.name;
  }
}

// The placement rule as stated, one step at a time: find the first region in
// placement order that blocks the candidate, move past it, search again.
std::string stepwise_first_fit(const std::vector<Allocation>& existing, std::uint32_t size, std::uint64_t from,
                               std::uint64_t until, std::uint32_t alignment, std::uint32_t base,
                               std::uint32_t limit) {
  std::uint64_t candidate = base;
  while (true) {
    const std::uint64_t end = candidate + size;
    if (end > 0xffffffff) return memory_error_text("address overflow");
    const Allocation* conflict = nullptr;
    for (const Allocation& allocation : existing) {
      const std::uint64_t other_end = std::uint64_t{allocation.address} + allocation.size;
      if (lifetimes_overlap(from, until, allocation.live_from, allocation.live_until) &&
          allocation.address < end && candidate < other_end) {
        conflict = &allocation;
        break;
      }
    }
    if (conflict == nullptr) break;
    const std::uint64_t conflict_end = std::uint64_t{conflict->address} + conflict->size;
    candidate = (conflict_end + alignment - 1) / alignment * alignment;
    if (candidate > 0xffffffff) return memory_error_text("address overflow");
  }
  if (candidate + size > limit) return memory_error_text("tile 3 exceeds data limit allocating t");
  return address_text(candidate);
}

TEST(AllocateRegionTest, AgreesWithTheStepwiseRuleOnVariedTiles) {
  std::minstd_rand random(20240611);
  auto below = [&random](std::uint32_t bound) { return static_cast<std::uint32_t>(random() % bound); };
  for (int round = 0; round < 400; ++round) {
    const std::uint32_t base = 0x1000 + below(64);
    const std::uint32_t limit = base + 0x200 + below(0x400);
    std::vector<Allocation> existing;
    TileAllocations by_tile;
    std::vector<Allocation> allocations;
    const std::uint32_t count = below(12);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t from = below(6);
      Allocation allocation = home(i, case_tile, base - 32 + below(0x600), 1 + below(0x120), from,
                                   from + below(4));
      if (below(5) == 0) allocation.tile = 4;
      if (allocation.tile == case_tile) existing.push_back(allocation);
      by_tile[allocation.tile].push_back(allocation);
      allocations.push_back(allocation);
    }
    const std::uint32_t size = 1 + below(0x100);
    const std::uint64_t from = below(6);
    const std::uint64_t until = from + below(3);
    const std::uint32_t alignment = 1U + below(40);

    const auto result = allocate_region(allocations, by_tile, TensorId{99}, case_tile, size, from, until, alignment,
                                        AllocationKind{AllocationKind::Home{}}, base, limit, "t");
    const std::string actual = result ? address_text(allocations.back().address) : outcome(result);
    EXPECT_EQ(actual, stepwise_first_fit(existing, size, from, until, alignment, base, limit)) << "round " << round;
  }
}

// ---------------------------------------------------------------------------
// find_free_region

TEST(FindFreeRegionTest, PlacesWithHalfOpenLifetimes) {
  const MemoryConstraint high{0x50000, 0x54000, 32, MemoryPlacement::High};
  const MemoryConstraint low_tiny{0x50000, 0x50040, 32, MemoryPlacement::Low};
  const std::vector<Allocation> first{home(0, 0, 0x54000 - 256, 256, 0, 1)};
  const std::vector<Allocation> full_tile_7{staging(0, 7, 0x50000, 64, 3)};  // live 3 to 4
  std::vector<Allocation> full_tile_7_long = full_tile_7;
  full_tile_7_long[0].live_until = 5;

  struct Case {
    const char* name;
    std::vector<Allocation> allocations;
    std::uint16_t tile;
    std::uint32_t size;
    std::uint64_t from;
    std::uint64_t until;
    MemoryConstraint constraint;
    std::string outcome;
  };
  const Case cases[] = {
      {"high on an empty list ends at the limit", {}, 0, 256, 0, 1, high, "0x53f00"},
      {"high below a concurrent region", first, 0, 256, 0, 1, high, "0x53e00"},
      {"high reuses a region that ends where this one starts", first, 0, 256, 1, 2, high, "0x53f00"},
      {"high ignores other tiles", first, 1, 256, 0, 1, high, "0x53f00"},
      {"high skips regions above and below the candidate",
       {home(0, 0, 0x53f00, 256, 0, 1), home(1, 0, 0x53d00, 256, 0, 1), home(2, 0, 0x50000, 256, 0, 9)}, 0, 256,
       0, 1, high, "0x53e00"},
      {"high stops at the base", {home(0, 0, 0x50040, 0x40, 0, 1)}, 0, 32, 0, 1,
       MemoryConstraint{0x50020, 0x50080, 32, MemoryPlacement::High}, "0x50020"},
      {"high stops at address 0", {home(0, 0, 0, 64, 0, 1)}, 0, 32, 0, 1,
       MemoryConstraint{0, 64, 32, MemoryPlacement::High},
       memory_error_text("no 32-byte region for tile 0 in 0x0..0x40")},
      {"low whole window taken", full_tile_7_long, 7, 32, 4, 6, low_tiny,
       memory_error_text("no 32-byte region for tile 7 in 0x50000..0x50040")},
      {"low reuses a region that ends where this one starts", full_tile_7_long, 7, 32, 5, 6, low_tiny,
       "0x50000"},
      {"low starts at the base rounded up", {}, 0, 32, 0, 1,
       MemoryConstraint{0x50010, 0x50080, 32, MemoryPlacement::Low}, "0x50020"},
      {"low steps past a live region", {home(0, 0, 0x50000, 40, 0, 2)}, 0, 32, 1, 3,
       MemoryConstraint{0x50000, 0x50080, 32, MemoryPlacement::Low}, "0x50040"},
      {"low past 32 bits", {home(0, 0, 0xffffff00, 0xff, 0, 1)}, 0, 8, 0, 1,
       MemoryConstraint{0xffffff00, 0xffffffff, 16, MemoryPlacement::Low},
       memory_error_text("allocation address overflow")},
      {"low base rounded up past 32 bits does not wrap to 0", {}, 0, 4, 0, 1,
       MemoryConstraint{0xfffffff1, 0xffffffff, 16, MemoryPlacement::Low},
       memory_error_text("no 4-byte region for tile 0 in 0xfffffff1..0xffffffff")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(find_free_region(c.allocations, c.tile, c.size, c.from, c.until, c.constraint)), c.outcome)
        << c.name;
  }
  // Fits exactly when the earlier region is dead in the half-open sense.
  EXPECT_EQ(outcome(find_free_region(full_tile_7, 7, 32, 4, 6, low_tiny)), "0x50000");
}

TEST(FindFreeRegionTest, RejectsInvalidQueries) {
  struct Case {
    const char* name;
    std::uint32_t size;
    std::uint64_t from;
    std::uint64_t until;
    MemoryConstraint constraint;
  };
  const MemoryConstraint valid{0x50000, 0x54000, 32, MemoryPlacement::Low};
  const Case cases[] = {
      {"alignment 24", 32, 0, 1, {0x50000, 0x54000, 24, MemoryPlacement::Low}},
      {"alignment 0", 32, 0, 1, {0x50000, 0x54000, 0, MemoryPlacement::High}},
      {"size 0", 0, 0, 1, valid},
      {"empty lifetime", 32, 5, 5, valid},
      {"reversed lifetime", 32, 6, 5, valid},
      {"base equal to limit", 32, 0, 1, {0x50000, 0x50000, 32, MemoryPlacement::Low}},
      {"base above limit", 32, 0, 1, {0x50040, 0x50000, 32, MemoryPlacement::Low}},
      {"window smaller than the size", 0x41, 0, 1, {0x50000, 0x50040, 1, MemoryPlacement::Low}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(find_free_region({}, 0, c.size, c.from, c.until, c.constraint)),
              memory_error_text("invalid allocation constraint"))
        << c.name;
  }
}

// The query as stated: try every multiple of the alignment in turn.
std::string stepwise_find(const std::vector<Allocation>& allocations, std::uint16_t tile, std::uint32_t size,
                          std::uint64_t from, std::uint64_t until, const MemoryConstraint& constraint) {
  const std::uint64_t alignment = constraint.alignment;
  auto fits = [&](std::uint64_t address) {
    if (address + size > constraint.limit) return false;
    for (const Allocation& allocation : allocations) {
      const bool free = allocation.tile != tile || from >= allocation.live_until || allocation.live_from >= until ||
                        address + size <= allocation.address ||
                        address >= std::uint64_t{allocation.address} + allocation.size;
      if (!free) return false;
    }
    return true;
  };
  std::ostringstream no_region;
  no_region << "no " << size << "-byte region for tile " << tile << " in 0x" << std::hex << constraint.base
            << "..0x" << constraint.limit;
  if (constraint.placement == MemoryPlacement::Low) {
    std::uint64_t candidate = (constraint.base + alignment - 1) / alignment * alignment;
    while (candidate <= constraint.limit - size) {
      if (fits(candidate)) return address_text(candidate);
      candidate += alignment;
      if (candidate > 0xffffffff) return memory_error_text("allocation address overflow");
    }
    return memory_error_text(no_region.str());
  }
  std::int64_t candidate = static_cast<std::int64_t>((constraint.limit - size) / alignment * alignment);
  while (candidate >= static_cast<std::int64_t>(constraint.base)) {
    if (fits(static_cast<std::uint64_t>(candidate))) return address_text(static_cast<std::uint64_t>(candidate));
    candidate -= static_cast<std::int64_t>(alignment);
  }
  return memory_error_text(no_region.str());
}

TEST(FindFreeRegionTest, AgreesWithTheStepwiseSearch) {
  std::minstd_rand random(977);
  auto below = [&random](std::uint32_t bound) { return static_cast<std::uint32_t>(random() % bound); };
  for (int round = 0; round < 600; ++round) {
    const bool near_top = below(4) == 0;
    const std::uint32_t base = near_top ? 0xfffff800 + below(0x400) : below(0x200);
    const auto limit = static_cast<std::uint32_t>(
        near_top && below(2) == 0 ? 0xffffffff
                                  : std::min<std::uint64_t>(std::uint64_t{base} + 0x40 + below(0x400), 0xffffffff));
    std::vector<Allocation> allocations;
    const std::uint32_t count = below(14);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t from = below(6);
      const std::uint32_t size = below(0x100);
      const std::uint32_t address = base - std::min<std::uint32_t>(base, 32) + below(limit - base);
      Allocation allocation = home(i, static_cast<std::uint16_t>(below(3) == 0 ? 1 : 0), address,
                                   std::min<std::uint32_t>(size, 0xffffffff - address), from, from + below(4));
      allocations.push_back(allocation);
    }
    const std::uint32_t size = 1 + below(0x60);
    const std::uint64_t from = below(6);
    const std::uint64_t until = from + 1 + below(3);
    const MemoryConstraint constraint{base, limit, 1U << below(7),
                                      below(2) == 0 ? MemoryPlacement::Low : MemoryPlacement::High};
    if (limit - base < size) continue;
    EXPECT_EQ(outcome(find_free_region(allocations, 0, size, from, until, constraint)),
              stepwise_find(allocations, 0, size, from, until, constraint))
        << "round " << round << " " << constraint;
  }
}

TEST(MemoryConstraintTest, PrintsFieldsByName) {
  std::ostringstream text;
  text << MemoryConstraint{0x50000, 0x54000, 32, MemoryPlacement::High} << ' ' << MemoryPlacement::Low;
  EXPECT_EQ(text.str(), "MemoryConstraint { base: 327680, limit: 344064, alignment: 32, placement: High } Low");
}

}  // namespace

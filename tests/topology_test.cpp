#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <sstream>
#include <vector>

#include "tessal_exchange/topology.hpp"

namespace {

using tessal_exchange::ExchangeError;
using tessal_exchange::m917_logical_to_physical;
using tessal_exchange::Topology;

TEST(TopologyTest, M917ReferenceNumbers) {
  struct Case {
    std::uint16_t logical;
    std::uint16_t physical;
  };
  // Down column 0, up column 1 (odd columns run backwards), then column 2.
  const Case cases[] = {
      {0, 0},       {1, 2},       {2, 64},     {3, 66}, {44, 1408}, {45, 1410},
      {46, 1409},   {47, 1411},   {90, 1},     {92, 4}, {1470, 61}, {1471, 63},
  };
  const Topology topology = Topology::m917();
  for (const Case& c : cases) {
    EXPECT_EQ(m917_logical_to_physical(c.logical), c.physical) << "logical " << c.logical;
    EXPECT_EQ(topology.physical(c.logical), c.physical) << "logical " << c.logical;
  }
}

TEST(TopologyTest, M917NumbersEveryTileOnceInLogicalOrder) {
  const Topology topology = Topology::m917();
  ASSERT_EQ(topology.tile_count(), 1472U);
  for (std::uint16_t logical = 0; logical < 1472; ++logical) {
    ASSERT_EQ(topology.logical_to_physical[logical], m917_logical_to_physical(logical)) << "logical " << logical;
  }
  std::vector<std::uint16_t> sorted = topology.logical_to_physical;
  std::ranges::sort(sorted);
  std::vector<std::uint16_t> all(1472);
  std::iota(all.begin(), all.end(), std::uint16_t{0});
  EXPECT_EQ(sorted, all);
}

TEST(TopologyTest, M917LanesOfOnePositionDifferByTwo) {
  for (std::uint16_t position = 0; position < 736; ++position) {
    const auto even = static_cast<std::uint16_t>(2 * position);
    ASSERT_EQ(m917_logical_to_physical(even + 1), m917_logical_to_physical(even) + 2) << "logical " << even;
  }
}

TEST(TopologyTest, PhysicalRejectsTilesBeyondTheCount) {
  const Topology m917 = Topology::m917();
  EXPECT_EQ(m917.physical(1471), 63);
  EXPECT_EQ(m917.physical(1472), std::unexpected(ExchangeError::tile(1472)));
  EXPECT_EQ(m917.physical(65535), std::unexpected(ExchangeError::tile(65535)));

  const Topology small{{7, 3}};
  EXPECT_EQ(small.tile_count(), 2U);
  EXPECT_EQ(small.physical(1), 3);
  EXPECT_EQ(small.physical(2), std::unexpected(ExchangeError::tile(2)));
  EXPECT_EQ(Topology{}.physical(0), std::unexpected(ExchangeError::tile(0)));
}

TEST(TopologyTest, DebugTextListsTheMapping) {
  std::ostringstream out;
  out << Topology{{7, 3}};
  EXPECT_EQ(out.str(), "Topology { logical_to_physical: [7, 3] }");
}

}  // namespace

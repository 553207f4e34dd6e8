#include "tessal_exchange/topology.hpp"

#include "tessal_exchange/debug_text.hpp"

namespace tessal_exchange {

namespace {

// The m917 board: 32 columns of 23 positions with two lanes each.
constexpr std::uint32_t m917_tiles_per_column = 46;
constexpr std::uint32_t m917_positions_per_column = 23;
constexpr std::uint16_t m917_tile_count = 1472;

}  // namespace

std::uint16_t m917_logical_to_physical(std::uint16_t logical) {
  const std::uint32_t column = logical / m917_tiles_per_column;
  const std::uint32_t row_position = (logical / 2U) % m917_positions_per_column;
  const std::uint32_t lane = logical % 2U;
  // The numbering runs down one column and back up the next.
  const std::uint32_t tile_row = column % 2U == 0 ? row_position : m917_positions_per_column - 1 - row_position;
  const std::uint32_t physical = tile_row * 64U + (column / 2U) * 4U + lane * 2U + column % 2U;
  return static_cast<std::uint16_t>(physical);
}

Topology Topology::m917() {
  Topology topology;
  topology.logical_to_physical.reserve(m917_tile_count);
  for (std::uint16_t logical = 0; logical < m917_tile_count; ++logical) {
    topology.logical_to_physical.push_back(m917_logical_to_physical(logical));
  }
  return topology;
}

std::expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const {
  if (logical >= logical_to_physical.size()) return std::unexpected(ExchangeError::tile(logical));
  return logical_to_physical[logical];
}

std::ostream& operator<<(std::ostream& out, const Topology& topology) {
  debug_text::StructWriter(out, "Topology").field("logical_to_physical", topology.logical_to_physical);
  return out;
}

}  // namespace tessal_exchange

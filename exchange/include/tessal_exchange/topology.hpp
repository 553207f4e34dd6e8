#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <span>
#include <vector>

#include "tessal_exchange/error.hpp"
#include "tessal_exchange/multicast.hpp"

namespace tessal_exchange {

// The physical number of a logical tile on the m917 board (defined for 0..1471).
[[nodiscard]] std::uint16_t m917_logical_to_physical(std::uint16_t logical);

struct Topology {
  // Entry i is the physical number of logical tile i.
  std::vector<std::uint16_t> logical_to_physical;

  // The 1472-tile board.
  [[nodiscard]] static Topology m917();

  [[nodiscard]] std::expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const;
  [[nodiscard]] std::uint64_t tile_count() const { return logical_to_physical.size(); }

  // Plans one multicast of `count` words from `sender_logical` to `receivers`,
  // moved `schedule_offset` cycles later.
  [[nodiscard]] std::expected<MulticastPlan, ExchangeError> multicast(std::uint16_t sender_logical,
                                                                      std::span<const std::uint16_t> receivers,
                                                                      std::uint32_t count,
                                                                      std::uint32_t schedule_offset) const;

  friend bool operator==(const Topology&, const Topology&) = default;
};

std::ostream& operator<<(std::ostream& out, const Topology& topology);

}  // namespace tessal_exchange

#pragma once

// The fixture of the scheduler checks, shared with the exchange lowering's unit
// tests so that both lower exactly the same hand-built schedules.

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "tessal_compiler/schedule.hpp"

namespace tessal_checks {

// A schedule of one exchange phase with the given transfers: every sender
// holds its tensor at home (0x62000) and every receiver owns a staging buffer
// of the phase (0x52000). No SRAM planning takes place.
inline tessal_compiler::Schedule exchange_schedule(const std::vector<tessal_compiler::Transfer>& transfers) {
  using tessal_compiler::Allocation;
  using tessal_compiler::AllocationKind;
  using tessal_compiler::Phase;
  using tessal_compiler::Schedule;
  using tessal_compiler::TensorId;
  using tessal_compiler::Transfer;
  std::vector<Allocation> allocations;
  const auto has = [&allocations](TensorId tensor, std::uint16_t tile, const AllocationKind& kind) {
    return std::ranges::any_of(allocations, [&](const Allocation& allocation) {
      return allocation.tensor == tensor && allocation.tile == tile && allocation.kind == kind;
    });
  };
  const AllocationKind home{AllocationKind::Home{}};
  const AllocationKind staging{AllocationKind::ExchangeStaging{0}};
  for (const Transfer& transfer : transfers) {
    if (!has(transfer.tensor, transfer.source_tile, home)) {
      allocations.push_back(Allocation{.tensor = transfer.tensor,
                                       .tile = transfer.source_tile,
                                       .address = 0x62000,
                                       .size = transfer.bytes,
                                       .live_from = 0,
                                       .live_until = 1,
                                       .kind = home});
    }
    if (!has(transfer.tensor, transfer.destination_tile, staging)) {
      allocations.push_back(Allocation{.tensor = transfer.tensor,
                                       .tile = transfer.destination_tile,
                                       .address = 0x52000,
                                       .size = transfer.bytes,
                                       .live_from = 0,
                                       .live_until = 1,
                                       .kind = staging});
    }
  }
  return Schedule{.layouts = {},
                  .phases = {Phase{Phase::Exchange{transfers}}},
                  .allocations = std::move(allocations),
                  .tile_count = 16,
                  .peak_sram = {}};
}

}  // namespace tessal_checks

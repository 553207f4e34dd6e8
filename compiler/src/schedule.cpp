#include "tessal_compiler/schedule.hpp"

#include <unordered_set>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::debug_text::StructWriter;

// A tensor region on one destination tile; at most one send may fill it per phase.
struct DestinationRegion {
  std::uint16_t tile = 0;
  TensorId tensor;
  friend bool operator==(const DestinationRegion&, const DestinationRegion&) = default;
};

struct DestinationRegionHash {
  std::size_t operator()(const DestinationRegion& region) const noexcept {
    const std::size_t tensor_hash = std::hash<TensorId>{}(region.tensor);
    return tensor_hash ^ (std::hash<std::uint16_t>{}(region.tile) + 0x9e3779b97f4a7c15ULL + (tensor_hash << 6) +
                          (tensor_hash >> 2));
  }
};

}  // namespace

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options) {
  StructWriter(out, "CompilerOptions")
      .field("tile_count", options.tile_count)
      .field("exchange_base", options.exchange_base)
      .field("exchange_limit", options.exchange_limit)
      .field("data_base", options.data_base)
      .field("data_limit", options.data_limit);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Transfer& transfer) {
  StructWriter(out, "Transfer")
      .field("tensor", transfer.tensor)
      .field("bytes", transfer.bytes)
      .field("source_tile", transfer.source_tile)
      .field("destination_tile", transfer.destination_tile);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  if (const Phase::Compute* compute = phase.compute()) {
    StructWriter(out, "Compute").field("op", compute->op).field("commands", compute->commands);
  } else if (const Phase::Exchange* exchange = phase.exchange()) {
    StructWriter(out, "Exchange").field("transfers", exchange->transfers);
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const AllocationKind& kind) {
  if (const AllocationKind::ExchangeStaging* staging = kind.staging()) {
    StructWriter(out, "ExchangeStaging").field("phase", staging->phase);
  } else {
    out << "Home";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Allocation& allocation) {
  StructWriter(out, "Allocation")
      .field("tensor", allocation.tensor)
      .field("tile", allocation.tile)
      .field("address", allocation.address)
      .field("size", allocation.size)
      .field("live_from", allocation.live_from)
      .field("live_until", allocation.live_until)
      .field("kind", allocation.kind);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Schedule& schedule) {
  StructWriter(out, "Schedule")
      .field("layouts", schedule.layouts)
      .field("phases", schedule.phases)
      .field("allocations", schedule.allocations)
      .field("tile_count", schedule.tile_count)
      .field("peak_sram", schedule.peak_sram);
  return out;
}

std::expected<void, CompileError> validate_transfers(std::span<const Transfer> transfers) {
  std::unordered_set<DestinationRegion, DestinationRegionHash> destinations;
  destinations.reserve(transfers.size());
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    if (!destinations.insert(DestinationRegion{transfer.destination_tile, transfer.tensor}).second) {
      return std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch"));
    }
  }
  return {};
}

}  // namespace tessal_compiler

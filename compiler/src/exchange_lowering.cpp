#include "tessal_compiler/exchange_lowering.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/program_builder.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::ExchangeRow;
using tessal_exchange::PlanProgramBuilder;
using tessal_exchange::debug_text::StructWriter;
namespace logging = tessal_exchange::logging;

// One exchange group under construction: one sender, one tensor, one byte
// count, and the tiles that receive it.
struct PendingGroup {
  std::uint16_t source = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  std::vector<std::uint16_t> destinations;
};

// A slot lists the indexes of its groups in creation order.
using Slot = std::vector<std::size_t>;

// A tensor's data on one tile.
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

using TensorOnTileSet = std::unordered_set<TensorOnTile, TensorOnTileHash>;

[[nodiscard]] std::unexpected<CompileError> fail(CompileError error) { return std::unexpected(std::move(error)); }

// The allocations of a schedule grouped by (tensor, tile), each list in the
// schedule's order, so that every "first allocation of this kind" lookup costs
// only the few regions of one tensor on one tile.
class AllocationIndex {
 public:
  explicit AllocationIndex(std::span<const Allocation> allocations) : allocations_(allocations) {
    for (std::size_t position = 0; position < allocations.size(); ++position) {
      const Allocation& allocation = allocations[position];
      by_tensor_on_tile_[TensorOnTile{allocation.tensor, allocation.tile}].push_back(position);
    }
  }

  // The receive buffer of the tensor on the tile for exchange phase `phase`.
  [[nodiscard]] std::optional<std::uint32_t> staging_address(TensorOnTile key, std::uint64_t phase) const {
    return first_address(key, [phase](const Allocation& allocation) {
      const AllocationKind::ExchangeStaging* staging = allocation.kind.staging();
      return staging != nullptr && staging->phase == phase;
    });
  }

  // The copy a tile holds when phase `phase` starts: a staging buffer of an
  // earlier phase that is still live, otherwise the home region.
  [[nodiscard]] std::optional<std::uint32_t> held_address(TensorOnTile key, std::uint64_t phase) const {
    const std::optional<std::uint32_t> earlier_staging = first_address(key, [phase](const Allocation& allocation) {
      const AllocationKind::ExchangeStaging* staging = allocation.kind.staging();
      return staging != nullptr && staging->phase < phase && allocation.live_from <= phase &&
             allocation.live_until > phase;
    });
    if (earlier_staging) {
      return earlier_staging;
    }
    return first_address(key, [](const Allocation& allocation) { return allocation.kind.is_home(); });
  }

 private:
  template <class Matches>
  [[nodiscard]] std::optional<std::uint32_t> first_address(TensorOnTile key, Matches matches) const {
    const auto found = by_tensor_on_tile_.find(key);
    if (found == by_tensor_on_tile_.end()) {
      return std::nullopt;
    }
    for (const std::size_t position : found->second) {
      if (matches(allocations_[position])) {
        return allocations_[position].address;
      }
    }
    return std::nullopt;
  }

  std::span<const Allocation> allocations_;
  std::unordered_map<TensorOnTile, std::vector<std::size_t>, TensorOnTileHash> by_tensor_on_tile_;
};

struct GroupKey {
  std::uint16_t source = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;
  friend bool operator==(const GroupKey&, const GroupKey&) = default;
};

struct GroupKeyHash {
  std::size_t operator()(const GroupKey& key) const noexcept {
    std::size_t hash = std::hash<TensorId>{}(key.tensor);
    for (const std::size_t part : {std::hash<std::uint16_t>{}(key.source), std::hash<std::uint32_t>{}(key.bytes)}) {
      hash ^= part + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    }
    return hash;
  }
};

// Fan-out of one tensor from one tile with one byte count becomes one group;
// groups keep the order of their first transfer.
[[nodiscard]] std::vector<PendingGroup> coalesce_transfers(std::span<const Transfer> transfers) {
  std::vector<PendingGroup> groups;
  std::unordered_map<GroupKey, std::size_t, GroupKeyHash> group_of;
  for (const Transfer& transfer : transfers) {
    const auto [entry, inserted] =
        group_of.try_emplace(GroupKey{transfer.source_tile, transfer.tensor, transfer.bytes}, groups.size());
    if (inserted) {
      groups.push_back(PendingGroup{transfer.source_tile, transfer.tensor, transfer.bytes, {transfer.destination_tile}});
    } else {
      groups[entry->second].destinations.push_back(transfer.destination_tile);
    }
  }
  for (PendingGroup& group : groups) {
    std::ranges::sort(group.destinations);
    const auto repeated = std::ranges::unique(group.destinations);
    group.destinations.erase(repeated.begin(), repeated.end());
  }
  return groups;
}

// Two groups conflict exactly when their tile sets (source and destinations)
// meet, so the neighbours of a group are the other groups found on its tiles.
// The groups on each tile are laid out tile by tile (`first_role` gives each
// tile's range in `role_groups`); a group that already conflicts with every
// other one stops looking.
[[nodiscard]] std::vector<std::vector<std::size_t>> conflict_graph(const std::vector<PendingGroup>& groups) {
  const auto tiles_of = [](const PendingGroup& group, auto&& visit) {
    visit(group.source);
    for (const std::uint16_t destination : group.destinations) {
      visit(destination);
    }
  };
  std::size_t tile_limit = 0;
  for (const PendingGroup& group : groups) {
    tiles_of(group, [&](std::uint16_t tile) { tile_limit = std::max<std::size_t>(tile_limit, tile + 1U); });
  }
  std::vector<std::size_t> first_role(tile_limit + 1, 0);
  for (const PendingGroup& group : groups) {
    tiles_of(group, [&](std::uint16_t tile) { ++first_role[tile + 1U]; });
  }
  for (std::size_t tile = 0; tile < tile_limit; ++tile) {
    first_role[tile + 1] += first_role[tile];
  }
  std::vector<std::size_t> role_groups(first_role[tile_limit]);
  std::vector<std::size_t> next_role(first_role.begin(), first_role.end() - 1);
  for (std::size_t index = 0; index < groups.size(); ++index) {
    tiles_of(groups[index], [&](std::uint16_t tile) { role_groups[next_role[tile]++] = index; });
  }

  constexpr std::size_t unseen = std::numeric_limits<std::size_t>::max();
  std::vector<std::size_t> seen_by(groups.size(), unseen);
  std::vector<std::vector<std::size_t>> adjacency(groups.size());
  for (std::size_t index = 0; index < groups.size(); ++index) {
    std::vector<std::size_t>& neighbours = adjacency[index];
    seen_by[index] = index;
    tiles_of(groups[index], [&](std::uint16_t tile) {
      for (std::size_t role = first_role[tile]; role < first_role[tile + 1U] && neighbours.size() + 1 < groups.size();
           ++role) {
        const std::size_t other = role_groups[role];
        if (seen_by[other] != index) {
          seen_by[other] = index;
          neighbours.push_back(other);
        }
      }
    });
  }
  return adjacency;
}

// The colouring key of one uncoloured group at the time it was queued.
struct ColorCandidate {
  std::uint64_t saturation = 0;
  std::uint64_t degree = 0;
  std::uint16_t source = 0;
  std::uint64_t tensor = 0;
  std::size_t index = 0;
};

// True when `right` is chosen before `left`: more distinct neighbour colours,
// then more neighbours, then the smaller source tile, then the smaller tensor,
// and between equal keys the higher index.
struct ChosenAfter {
  bool operator()(const ColorCandidate& left, const ColorCandidate& right) const noexcept {
    if (left.saturation != right.saturation) return left.saturation < right.saturation;
    if (left.degree != right.degree) return left.degree < right.degree;
    if (left.source != right.source) return left.source > right.source;
    if (left.tensor != right.tensor) return left.tensor > right.tensor;
    return left.index < right.index;
  }
};

// Saturation-first greedy colouring. Each group's saturation is brought up to
// date when a neighbour is coloured, and a queue ordered by the full key hands
// out the next group; queue entries whose saturation has since grown are stale
// and skipped.
[[nodiscard]] std::expected<std::vector<std::uint64_t>, CompileError> color_groups(
    const std::vector<PendingGroup>& groups, const std::vector<std::vector<std::size_t>>& adjacency) {
  const std::size_t count = groups.size();
  std::vector<std::optional<std::uint64_t>> colors(count);
  std::vector<std::unordered_set<std::uint64_t>> neighbour_colors(count);
  std::priority_queue<ColorCandidate, std::vector<ColorCandidate>, ChosenAfter> queue;
  const auto candidate = [&](std::size_t index) {
    return ColorCandidate{neighbour_colors[index].size(), adjacency[index].size(), groups[index].source,
                          groups[index].tensor.index, index};
  };
  for (std::size_t index = 0; index < count; ++index) {
    queue.push(candidate(index));
  }

  for (std::size_t step = 0; step < count; ++step) {
    while (!queue.empty() && (colors[queue.top().index].has_value() ||
                              queue.top().saturation != neighbour_colors[queue.top().index].size())) {
      queue.pop();
    }
    if (queue.empty()) {
      return fail(CompileError::graph("exchange coloring failed"));
    }
    const std::size_t chosen = queue.top().index;
    queue.pop();

    // The neighbour colours of the chosen group are exactly the colours it may not take.
    const std::unordered_set<std::uint64_t>& unavailable = neighbour_colors[chosen];
    std::uint64_t color = 0;
    while (unavailable.contains(color)) {
      if (color == std::numeric_limits<std::uint64_t>::max()) {
        return fail(CompileError::graph("exchange color overflow"));
      }
      ++color;
    }
    colors[chosen] = color;
    neighbour_colors[chosen] = {};

    for (const std::size_t neighbour : adjacency[chosen]) {
      if (!colors[neighbour].has_value() && neighbour_colors[neighbour].insert(color).second) {
        queue.push(candidate(neighbour));
      }
    }
  }

  std::vector<std::uint64_t> result;
  result.reserve(count);
  for (const std::optional<std::uint64_t>& color : colors) {
    if (!color.has_value()) {
      return fail(CompileError::graph("uncolored exchange group"));
    }
    result.push_back(*color);
  }
  return result;
}

// One slot per colour, its groups in creation order.
[[nodiscard]] std::vector<Slot> slots_by_color(std::span<const std::uint64_t> colors) {
  std::uint64_t color_count = 0;
  for (const std::uint64_t color : colors) {
    color_count = std::max(color_count, color + 1);
  }
  std::vector<Slot> slots(color_count);
  for (std::size_t index = 0; index < colors.size(); ++index) {
    slots[colors[index]].push_back(index);
  }
  return slots;
}

// Orders the slots so that every sender holds its tensor when its slot starts:
// repeatedly the lowest-coloured slot whose senders all hold their data runs
// next, and its receivers hold the tensor from then on. Each slot counts the
// sender copies it still waits for, so a delivery wakes only the slots that
// wait for it.
[[nodiscard]] std::expected<std::vector<Slot>, CompileError> order_slots(const std::vector<PendingGroup>& groups,
                                                                         std::vector<Slot> slots,
                                                                         const AllocationIndex& allocations,
                                                                         std::uint64_t phase_index) {
  std::vector<std::size_t> missing(slots.size(), 0);
  std::unordered_map<TensorOnTile, std::vector<std::size_t>, TensorOnTileHash> waiting;
  std::set<std::size_t> ready;
  for (std::size_t slot = 0; slot < slots.size(); ++slot) {
    for (const std::size_t index : slots[slot]) {
      const TensorOnTile sent{groups[index].tensor, groups[index].source};
      if (!allocations.held_address(sent, phase_index).has_value()) {
        waiting[sent].push_back(slot);
        ++missing[slot];
      }
    }
    if (missing[slot] == 0) {
      ready.insert(slot);
    }
  }

  std::vector<Slot> ordered;
  ordered.reserve(slots.size());
  TensorOnTileSet delivered;
  while (ordered.size() < slots.size()) {
    if (ready.empty()) {
      return fail(CompileError::graph("exchange staging dependencies contain a cycle"));
    }
    const std::size_t slot = *ready.begin();
    ready.erase(ready.begin());
    for (const std::size_t index : slots[slot]) {
      for (const std::uint16_t destination : groups[index].destinations) {
        const TensorOnTile received{groups[index].tensor, destination};
        if (!delivered.insert(received).second) {
          continue;
        }
        const auto found = waiting.find(received);
        if (found == waiting.end()) {
          continue;
        }
        for (const std::size_t waiter : found->second) {
          if (--missing[waiter] == 0) {
            ready.insert(waiter);
          }
        }
        waiting.erase(found);
      }
    }
    ordered.push_back(std::move(slots[slot]));
  }
  return ordered;
}

[[nodiscard]] std::string tensor_on_tile_text(TensorOnTile key) {
  return std::to_string(key.tensor.index) + " on tile " + std::to_string(key.tile);
}

// Where a sender reads the tensor. A tile that received the tensor in an
// earlier slot of this phase sends from that staging buffer; otherwise it
// sends the copy it held when the phase began, even if it also owns a staging
// buffer of this phase, which is not written before its delivering slot.
[[nodiscard]] std::expected<std::uint32_t, CompileError> source_address(const AllocationIndex& allocations,
                                                                        const TensorOnTileSet& delivered,
                                                                        TensorOnTile sent,
                                                                        std::uint64_t phase_index) {
  if (delivered.contains(sent)) {
    if (const std::optional<std::uint32_t> staging = allocations.staging_address(sent, phase_index)) {
      return *staging;
    }
  }
  if (const std::optional<std::uint32_t> held = allocations.held_address(sent, phase_index)) {
    return *held;
  }
  return fail(CompileError::memory("missing source allocation for tensor " + tensor_on_tile_text(sent)));
}

// Times the ordered slots one after another inside one launch and builds each
// taking-part tile's program, closed at the launch's common horizon.
[[nodiscard]] std::expected<LoweredExchangePhase, CompileError> lower_phase(
    const tessal_exchange::Topology& topology, const AllocationIndex& allocations,
    const std::vector<PendingGroup>& groups, const std::vector<Slot>& epoch_slots, std::uint64_t phase_index) {
  ExchangeCost cost{.launches = epoch_slots.empty() ? 0U : 1U, .estimated_cycles = 0, .payload_words = 0};
  std::vector<LoweredExchangeGroup> lowered_groups;
  std::map<std::uint16_t, PlanProgramBuilder> builders;
  TensorOnTileSet delivered;
  std::uint32_t horizon = 0;

  for (const Slot& slot : epoch_slots) {
    // A horizon at the top of the range saturates; the planner then rejects the start cycle.
    const std::uint32_t schedule_offset =
        horizon == 0 ? 0 : (horizon == std::numeric_limits<std::uint32_t>::max() ? horizon : horizon + 1);
    std::uint32_t slot_horizon = horizon;

    for (const std::size_t index : slot) {
      const PendingGroup& group = groups[index];
      if (group.bytes == 0 || group.bytes % 4 != 0) {
        return fail(CompileError::graph("tensor " + std::to_string(group.tensor.index) +
                                        " exchange size is not whole words"));
      }
      const std::uint32_t words = group.bytes / 4;

      const std::expected<std::uint32_t, CompileError> sender_address =
          source_address(allocations, delivered, TensorOnTile{group.tensor, group.source}, phase_index);
      if (!sender_address) {
        return fail(sender_address.error());
      }
      std::vector<std::uint32_t> destination_addresses;
      destination_addresses.reserve(group.destinations.size());
      for (const std::uint16_t destination : group.destinations) {
        const TensorOnTile received{group.tensor, destination};
        const std::optional<std::uint32_t> staging = allocations.staging_address(received, phase_index);
        if (!staging) {
          return fail(CompileError::memory("missing staging allocation for tensor " + tensor_on_tile_text(received)));
        }
        destination_addresses.push_back(*staging);
      }

      std::expected<tessal_exchange::MulticastPlan, tessal_exchange::ExchangeError> plan =
          topology.multicast(group.source, group.destinations, words, schedule_offset);
      if (!plan) {
        return fail(plan.error());
      }
      if (auto patched = tessal_exchange::patch_sender_address(plan->sender, *sender_address); !patched) {
        return fail(patched.error());
      }
      for (std::size_t position = 0; position < plan->receivers.size(); ++position) {
        if (auto patched = tessal_exchange::patch_multicast_receiver_address(plan->receivers[position],
                                                                             destination_addresses[position]);
            !patched) {
          return fail(patched.error());
        }
      }

      if (auto appended = builders[group.source].append_scheduled_row(plan->sender); !appended) {
        return fail(appended.error());
      }
      for (std::size_t position = 0; position < group.destinations.size(); ++position) {
        if (auto appended = builders[group.destinations[position]].append_scheduled_row(plan->receivers[position]);
            !appended) {
          return fail(appended.error());
        }
      }

      std::uint32_t group_cycles = 0;
      const auto account = [&group_cycles](const ExchangeRow& row) -> std::expected<void, CompileError> {
        const std::expected<std::uint32_t, tessal_exchange::ExchangeError> cycles =
            tessal_exchange::plan_event_cycles(row);
        if (!cycles) {
          return fail(cycles.error());
        }
        group_cycles = std::max(group_cycles, *cycles);
        return {};
      };
      if (auto counted = account(plan->sender); !counted) {
        return fail(counted.error());
      }
      for (const ExchangeRow& row : plan->receivers) {
        if (auto counted = account(row); !counted) {
          return fail(counted.error());
        }
      }
      slot_horizon = std::max(slot_horizon, group_cycles);
      cost.payload_words += words;

      lowered_groups.push_back(LoweredExchangeGroup{.source_tile = group.source,
                                                    .destination_tiles = group.destinations,
                                                    .tensor = group.tensor,
                                                    .bytes = group.bytes,
                                                    .addressing = ExchangeAddressing::Absolute,
                                                    .sender = plan->sender,
                                                    .receivers = std::move(plan->receivers)});
    }

    horizon = slot_horizon;
    for (const std::size_t index : slot) {
      for (const std::uint16_t destination : groups[index].destinations) {
        delivered.insert(TensorOnTile{groups[index].tensor, destination});
      }
    }
  }
  cost.estimated_cycles = horizon;

  LoweredExchangePhase lowered{.phase = phase_index, .epochs = {}, .cost = {}};
  if (lowered_groups.empty()) {
    return lowered;
  }
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  for (auto& [tile, builder] : builders) {
    std::expected<std::vector<std::uint32_t>, tessal_exchange::ExchangeError> program =
        std::move(builder).finish(horizon);
    if (!program) {
      return fail(program.error());
    }
    tile_rows.emplace(tile, std::move(*program));
  }
  lowered.epochs.push_back(
      LoweredExchangeEpoch{.groups = std::move(lowered_groups), .tile_rows = std::move(tile_rows), .cost = cost});
  lowered.cost = cost;
  return lowered;
}

}  // namespace

std::expected<std::vector<LoweredExchangePhase>, CompileError> Schedule::lower_exchanges(
    const tessal_exchange::Topology& topology) const {
  if (topology.tile_count() < tile_count) {
    return fail(CompileError::graph("exchange topology has too few tiles"));
  }
  const AllocationIndex allocation_index(allocations);

  std::vector<LoweredExchangePhase> lowered_phases;
  for (std::uint64_t phase_index = 0; phase_index < phases.size(); ++phase_index) {
    const Phase::Exchange* exchange = phases[phase_index].exchange();
    if (exchange == nullptr) {
      continue;
    }
    if (auto valid = validate_transfers(exchange->transfers); !valid) {
      return fail(valid.error());
    }
    const std::vector<PendingGroup> groups = coalesce_transfers(exchange->transfers);
    const std::expected<std::vector<std::uint64_t>, CompileError> colors =
        color_groups(groups, conflict_graph(groups));
    if (!colors) {
      return fail(colors.error());
    }
    std::expected<std::vector<Slot>, CompileError> epoch_slots =
        order_slots(groups, slots_by_color(*colors), allocation_index, phase_index);
    if (!epoch_slots) {
      return fail(epoch_slots.error());
    }
    std::expected<LoweredExchangePhase, CompileError> lowered =
        lower_phase(topology, allocation_index, groups, *epoch_slots, phase_index);
    if (!lowered) {
      return fail(lowered.error());
    }
    lowered_phases.push_back(std::move(*lowered));
  }

  std::uint32_t launches = 0;
  for (const LoweredExchangePhase& lowered : lowered_phases) {
    launches += lowered.cost.launches;
  }
  logging::emit(logging::Level::Info, "tessal_compiler", "lowered exchange schedule",
                logging::field("phases", lowered_phases.size()), logging::field("launches", launches));
  return lowered_phases;
}

std::vector<std::uint32_t> LoweredExchangeEpoch::row_for(std::uint16_t tile) const {
  if (const auto found = tile_rows.find(tile); found != tile_rows.end()) {
    return found->second;
  }
  return {idle_exchange_row.begin(), idle_exchange_row.end()};
}

bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                              std::uint16_t right_source, std::span<const std::uint16_t> right_destinations) {
  if (left_source == right_source) return true;
  if (std::ranges::find(left_destinations, right_source) != left_destinations.end()) return true;
  if (std::ranges::find(right_destinations, left_source) != right_destinations.end()) return true;
  // Sorted lists, as the lowering keeps them, meet in one merge pass.
  if (std::ranges::is_sorted(left_destinations) && std::ranges::is_sorted(right_destinations)) {
    auto left = left_destinations.begin();
    auto right = right_destinations.begin();
    while (left != left_destinations.end() && right != right_destinations.end()) {
      if (*left == *right) return true;
      if (*left < *right) {
        ++left;
      } else {
        ++right;
      }
    }
    return false;
  }
  const std::unordered_set<std::uint16_t> right_tiles(right_destinations.begin(), right_destinations.end());
  return std::ranges::any_of(left_destinations, [&](std::uint16_t tile) { return right_tiles.contains(tile); });
}

std::ostream& operator<<(std::ostream& out, ExchangeAddressing addressing) {
  switch (addressing) {
    case ExchangeAddressing::Relative: return out << "Relative";
    case ExchangeAddressing::Absolute: return out << "Absolute";
  }
  return out << "Unknown";
}

std::ostream& operator<<(std::ostream& out, const ExchangeCost& cost) {
  StructWriter(out, "ExchangeCost")
      .field("launches", cost.launches)
      .field("estimated_cycles", cost.estimated_cycles)
      .field("payload_words", cost.payload_words);
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangeGroup& group) {
  StructWriter(out, "LoweredExchangeGroup")
      .field("source_tile", group.source_tile)
      .field("destination_tiles", group.destination_tiles)
      .field("tensor", group.tensor)
      .field("bytes", group.bytes)
      .field("addressing", group.addressing)
      .field("sender", group.sender)
      .field("receivers", group.receivers);
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangeEpoch& epoch) {
  StructWriter(out, "LoweredExchangeEpoch")
      .field("groups", epoch.groups)
      .field("tile_rows", epoch.tile_rows)
      .field("cost", epoch.cost);
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoweredExchangePhase& phase) {
  StructWriter(out, "LoweredExchangePhase")
      .field("phase", phase.phase)
      .field("epochs", phase.epochs)
      .field("cost", phase.cost);
  return out;
}

}  // namespace tessal_compiler

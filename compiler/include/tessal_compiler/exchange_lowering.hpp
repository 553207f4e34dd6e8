#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <span>
#include <vector>

#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/schedule.hpp"
#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_compiler {

enum class ExchangeAddressing : std::uint8_t { Relative, Absolute };

std::ostream& operator<<(std::ostream& out, ExchangeAddressing addressing);

struct ExchangeCost {
  std::uint32_t launches = 0;
  std::uint64_t estimated_cycles = 0;  // the launch's common horizon
  std::uint64_t payload_words = 0;     // words per receiver, summed over groups

  friend bool operator==(const ExchangeCost&, const ExchangeCost&) = default;
};

std::ostream& operator<<(std::ostream& out, const ExchangeCost& cost);

// One multicast of a launch, with the SRAM addresses patched into its rows.
struct LoweredExchangeGroup {
  std::uint16_t source_tile = 0;
  std::vector<std::uint16_t> destination_tiles;  // ascending
  TensorId tensor;
  std::uint32_t bytes = 0;
  ExchangeAddressing addressing = ExchangeAddressing::Absolute;
  tessal_exchange::ExchangeRow sender{};
  std::vector<tessal_exchange::ExchangeRow> receivers;  // one per destination tile

  friend bool operator==(const LoweredExchangeGroup&, const LoweredExchangeGroup&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredExchangeGroup& group);

// The idle row: the program of a tile that takes no part in a launch.
inline constexpr tessal_exchange::ExchangeRow idle_exchange_row{0x40C00000, 0x41800001, 0x43A00000, 0, 0, 0, 0, 0, 0};

// One launch: its groups slot by slot and each taking-part tile's program.
struct LoweredExchangeEpoch {
  std::vector<LoweredExchangeGroup> groups;
  std::map<std::uint16_t, std::vector<std::uint32_t>> tile_rows;
  ExchangeCost cost;

  // The tile's program, or the idle row when it takes no part.
  [[nodiscard]] std::vector<std::uint32_t> row_for(std::uint16_t tile) const;

  friend bool operator==(const LoweredExchangeEpoch&, const LoweredExchangeEpoch&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredExchangeEpoch& epoch);

struct LoweredExchangePhase {
  std::uint64_t phase = 0;
  std::vector<LoweredExchangeEpoch> epochs;  // none without transfers, else one
  ExchangeCost cost;

  friend bool operator==(const LoweredExchangePhase&, const LoweredExchangePhase&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredExchangePhase& phase);

// Two groups conflict when they share a tile in any role.
[[nodiscard]] bool exchange_groups_conflict(std::uint16_t left_source, std::span<const std::uint16_t> left_destinations,
                                            std::uint16_t right_source,
                                            std::span<const std::uint16_t> right_destinations);

}  // namespace tessal_compiler

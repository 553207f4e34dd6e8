#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <map>
#include <ostream>
#include <span>
#include <variant>
#include <vector>

#include "tessal_compiler/error.hpp"
#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/layout.hpp"

namespace tessal_exchange {
struct Topology;
}

namespace tessal_compiler {

struct LoweredExchangePhase;
struct LoweredTileProgram;
struct EncodedTileCommand;

struct CompilerOptions {
  std::uint16_t tile_count = 64;
  std::uint32_t exchange_base = 0x50000;   // staging window, first byte
  std::uint32_t exchange_limit = 0x58000;  // staging window, end (exclusive)
  std::uint32_t data_base = 0x58000;       // home window, first byte
  std::uint32_t data_limit = 0xe0000;      // home window, end (exclusive)

  friend bool operator==(const CompilerOptions&, const CompilerOptions&) = default;
};

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options);

// One copy of one tile's share of a tensor to another tile.
struct Transfer {
  TensorId tensor;
  std::uint32_t bytes = 0;
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;

  friend bool operator==(const Transfer&, const Transfer&) = default;
};

std::ostream& operator<<(std::ostream& out, const Transfer& transfer);

struct Phase {
  struct Compute {
    OpId op;
    std::vector<KernelCommand> commands;
    friend bool operator==(const Compute&, const Compute&) = default;
  };
  struct Exchange {
    std::vector<Transfer> transfers;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };

  std::variant<Compute, Exchange> value;

  [[nodiscard]] const Compute* compute() const { return std::get_if<Compute>(&value); }
  [[nodiscard]] const Exchange* exchange() const { return std::get_if<Exchange>(&value); }

  friend bool operator==(const Phase&, const Phase&) = default;
};

std::ostream& operator<<(std::ostream& out, const Phase& phase);

struct AllocationKind {
  struct Home {
    friend bool operator==(const Home&, const Home&) = default;
  };
  // Receive buffer on a destination tile for the exchange phase `phase`.
  struct ExchangeStaging {
    std::uint64_t phase = 0;
    friend bool operator==(const ExchangeStaging&, const ExchangeStaging&) = default;
  };

  std::variant<Home, ExchangeStaging> value;

  [[nodiscard]] bool is_home() const { return std::holds_alternative<Home>(value); }
  [[nodiscard]] const ExchangeStaging* staging() const { return std::get_if<ExchangeStaging>(&value); }

  friend bool operator==(const AllocationKind&, const AllocationKind&) = default;
};

std::ostream& operator<<(std::ostream& out, const AllocationKind& kind);

struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
  AllocationKind kind;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

std::ostream& operator<<(std::ostream& out, const Allocation& allocation);

// The compiler's result: where every tensor lives, the phases in execution
// order and every SRAM region over time. Later passes only read it.
struct Schedule {
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  std::vector<Allocation> allocations;
  std::uint16_t tile_count = 0;
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  // Every exchange phase as one timed launch (see exchange_lowering.hpp).
  [[nodiscard]] std::expected<std::vector<LoweredExchangePhase>, CompileError> lower_exchanges(
      const tessal_exchange::Topology& topology) const;
  // One program per tile (see tile_program.hpp).
  [[nodiscard]] std::expected<std::vector<LoweredTileProgram>, CompileError> lower_tile_programs(
      const tessal_exchange::Topology& topology) const;
  [[nodiscard]] std::expected<std::uint32_t, CompileError> home_address(TensorId tensor, std::uint16_t tile) const;
  [[nodiscard]] std::expected<std::uint32_t, CompileError> compute_input_address(TensorId tensor, std::uint16_t tile,
                                                                                 std::uint64_t compute_phase) const;
  // One tile's transfers and kernel commands as fixed-width commands (see tile_commands.hpp).
  [[nodiscard]] std::expected<std::vector<EncodedTileCommand>, CompileError> tile_commands(std::uint16_t tile) const;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

std::ostream& operator<<(std::ostream& out, const Schedule& schedule);

// Checks the transfers of one exchange phase.
[[nodiscard]] std::expected<void, CompileError> validate_transfers(std::span<const Transfer> transfers);

}  // namespace tessal_compiler

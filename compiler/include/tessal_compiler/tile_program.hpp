#pragma once

#include <cstdint>
#include <ostream>
#include <variant>
#include <vector>

#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/layout.hpp"
#include "tessal_compiler/schedule.hpp"

namespace tessal_compiler {

// One kernel invocation with its operands resolved to SRAM addresses on the tile.
struct LoweredComputeCommand {
  OpId op;
  std::vector<std::uint32_t> input_addresses;
  std::uint32_t output_address = 0;
  SpecializationKey specialization;

  friend bool operator==(const LoweredComputeCommand&, const LoweredComputeCommand&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredComputeCommand& command);

struct LoweredTileStep {
  using Compute = LoweredComputeCommand;
  // The tile's exchange program for one epoch of one exchange phase.
  struct Exchange {
    std::uint64_t phase = 0;
    std::uint64_t epoch = 0;
    std::vector<std::uint32_t> row;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };

  std::variant<Compute, Exchange> value;

  [[nodiscard]] const Compute* compute() const { return std::get_if<Compute>(&value); }
  [[nodiscard]] const Exchange* exchange() const { return std::get_if<Exchange>(&value); }

  friend bool operator==(const LoweredTileStep&, const LoweredTileStep&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredTileStep& step);

struct LoweredTileProgram {
  std::uint16_t tile = 0;
  std::vector<LoweredTileStep> steps;

  friend bool operator==(const LoweredTileProgram&, const LoweredTileProgram&) = default;
};

std::ostream& operator<<(std::ostream& out, const LoweredTileProgram& program);

}  // namespace tessal_compiler

#pragma once

// The compiler pipeline as the tool runs it, stage by stage with timings:
// graph -> compile -> lower_exchanges -> lower_tile_programs -> tile_commands.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "tessal_compiler/tessal_compiler.hpp"

namespace tessalc {

struct StageTime {
  std::string_view stage;
  std::chrono::steady_clock::duration duration{};
};

// A failed stage: its name as the error document gives it, and the error.
struct StageFailure {
  std::string_view stage;
  tessal_compiler::CompileError error;
};

struct PipelineResult {
  std::optional<tessal_compiler::Graph> graph;  // none when a schedule file was lowered
  tessal_compiler::Schedule schedule;
  std::vector<tessal_compiler::LoweredExchangePhase> lowered_exchanges;
  std::vector<tessal_compiler::LoweredTileProgram> tile_programs;
  std::vector<std::vector<tessal_compiler::EncodedTileCommand>> tile_commands;  // tile 0 to tile_count - 1
  std::vector<StageTime> timings;
};

// Runs `work` and records how long it took under `stage`.
template <class Work>
auto timed(std::vector<StageTime>& timings, std::string_view stage, Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  auto result = work();
  timings.push_back({stage, std::chrono::steady_clock::now() - start});
  return result;
}

// Compiles result.graph with `options` and lowers the schedule.
[[nodiscard]] std::expected<void, StageFailure> compile_and_lower(PipelineResult& result,
                                                                  const tessal_compiler::CompilerOptions& options);

// Lowers result.schedule: exchanges, tile programs and every tile's commands,
// against the board topology.
[[nodiscard]] std::expected<void, StageFailure> lower(PipelineResult& result);

// The short human summary of a successful run.
void write_summary(std::ostream& out, const PipelineResult& result);

}  // namespace tessalc

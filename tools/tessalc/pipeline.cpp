#include "tessalc/pipeline.hpp"

#include <algorithm>
#include <iomanip>
#include <string>

namespace tessalc {

namespace tc = tessal_compiler;

namespace {

// "0 to 7, 12, 14 to 15" for ascending tile numbers.
std::string tile_ranges(const std::vector<std::uint16_t>& tiles) {
  std::string text;
  for (std::size_t start = 0; start < tiles.size();) {
    std::size_t end = start;
    while (end + 1 < tiles.size() && tiles[end + 1] == tiles[end] + 1) ++end;
    if (!text.empty()) text += ", ";
    text += std::to_string(tiles[start]);
    if (end > start) text += " to " + std::to_string(tiles[end]);
    start = end + 1;
  }
  return text;
}

void write_peak_sram(std::ostream& out, const tc::Schedule& schedule) {
  if (schedule.peak_sram.empty()) {
    out << "peak SRAM:      none (no allocations)\n";
    return;
  }
  std::uint32_t highest = 0;
  std::uint32_t lowest = UINT32_MAX;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    highest = std::max(highest, bytes);
    lowest = std::min(lowest, bytes);
  }
  std::vector<std::uint16_t> at_peak;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    if (bytes == highest) at_peak.push_back(tile);
  }
  out << "peak SRAM:      " << highest << " bytes on " << (at_peak.size() == 1 ? "tile " : "tiles ")
      << tile_ranges(at_peak) << '\n';
  out << "per-tile peak:  min " << lowest << ", max " << highest << " bytes over " << schedule.peak_sram.size()
      << (schedule.peak_sram.size() == 1 ? " tile" : " tiles") << " with allocations (of " << schedule.tile_count
      << ")\n";
}

}  // namespace

std::expected<void, StageFailure> compile_and_lower(PipelineResult& result, const tc::CompilerOptions& options) {
  auto schedule = timed(result.timings, "compile", [&] { return tc::compile(*result.graph, options); });
  if (!schedule) return std::unexpected(StageFailure{"compile", std::move(schedule.error())});
  result.schedule = std::move(*schedule);
  return lower(result);
}

std::expected<void, StageFailure> lower(PipelineResult& result) {
  const tessal_exchange::Topology topology = tessal_exchange::Topology::m917();

  auto lowered = timed(result.timings, "lower_exchanges", [&] { return result.schedule.lower_exchanges(topology); });
  if (!lowered) return std::unexpected(StageFailure{"lower_exchanges", std::move(lowered.error())});
  result.lowered_exchanges = std::move(*lowered);

  auto programs =
      timed(result.timings, "lower_tile_programs", [&] { return result.schedule.lower_tile_programs(topology); });
  if (!programs) return std::unexpected(StageFailure{"lower_tile_programs", std::move(programs.error())});
  result.tile_programs = std::move(*programs);

  auto commands = timed(result.timings, "tile_commands",
                        [&]() -> std::expected<std::vector<std::vector<tc::EncodedTileCommand>>, tc::CompileError> {
                          std::vector<std::vector<tc::EncodedTileCommand>> tiles;
                          tiles.reserve(result.schedule.tile_count);
                          for (std::uint32_t tile = 0; tile < result.schedule.tile_count; ++tile) {
                            auto encoded = result.schedule.tile_commands(static_cast<std::uint16_t>(tile));
                            if (!encoded) return std::unexpected(std::move(encoded.error()));
                            tiles.push_back(std::move(*encoded));
                          }
                          return tiles;
                        });
  if (!commands) return std::unexpected(StageFailure{"tile_commands", std::move(commands.error())});
  result.tile_commands = std::move(*commands);
  return {};
}

void write_summary(std::ostream& out, const PipelineResult& result) {
  const tc::Schedule& schedule = result.schedule;
  if (result.graph) {
    out << "tensors:        " << result.graph->tensors.size() << '\n';
    out << "operations:     " << result.graph->ops.size() << '\n';
  } else {
    out << "graph:          none (a schedule file was lowered)\n";
  }

  const auto exchange_phases =
      static_cast<std::size_t>(std::count_if(schedule.phases.begin(), schedule.phases.end(),
                                             [](const tc::Phase& phase) { return phase.exchange() != nullptr; }));
  out << "phases:         " << schedule.phases.size() << " (" << schedule.phases.size() - exchange_phases
      << " compute, " << exchange_phases << " exchange)\n";

  const auto staging = static_cast<std::size_t>(
      std::count_if(schedule.allocations.begin(), schedule.allocations.end(),
                    [](const tc::Allocation& allocation) { return !allocation.kind.is_home(); }));
  out << "allocations:    " << schedule.allocations.size() << " (" << schedule.allocations.size() - staging << " home, "
      << staging << " staging)\n";
  write_peak_sram(out, schedule);

  tc::ExchangeCost total;
  for (const tc::LoweredExchangePhase& phase : result.lowered_exchanges) {
    total.launches += phase.cost.launches;
    total.estimated_cycles += phase.cost.estimated_cycles;
    total.payload_words += phase.cost.payload_words;
  }
  out << "exchange:       " << total.launches << (total.launches == 1 ? " launch, " : " launches, ")
      << total.estimated_cycles << " estimated cycles, " << total.payload_words << " payload words\n";

  std::size_t commands = 0;
  for (const auto& tile : result.tile_commands) commands += tile.size();
  out << "tile commands:  " << commands << " over " << result.tile_commands.size() << " tiles\n";

  out << "stage times:\n";
  for (const StageTime& time : result.timings) {
    const double milliseconds = std::chrono::duration<double, std::milli>(time.duration).count();
    out << "  " << std::left << std::setw(20) << time.stage << std::right << std::fixed << std::setprecision(3)
        << std::setw(12) << milliseconds << " ms\n";
  }
  out.unsetf(std::ios::floatfield);
}

}  // namespace tessalc

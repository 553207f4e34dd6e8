// End-to-end checks over the encoder layer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "check_bodies.hpp"
#include "tessal_compiler/compile.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/exchange_lowering.hpp"
#include "tessal_compiler/reference.hpp"
#include "tessal_compiler/tile_commands.hpp"
#include "tessal_compiler/tile_program.hpp"
#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_checks {

void encoder_graph_compiles_deterministically() {
  using tessal_compiler::Allocation;
  using tessal_compiler::LoweredExchangePhase;
  using tessal_compiler::LoweredTileProgram;
  using tessal_exchange::Topology;

  const auto graph = tessal_compiler::encoder_graph({});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const auto first = tessal_compiler::compile(*graph, {});
  ASSERT_TRUE(first.has_value()) << first.error();
  const auto second = tessal_compiler::compile(*graph, {});
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(*first, *second);
  ASSERT_EQ(graph->ops.size(), 15U);
  ASSERT_TRUE(first->phases.size() >= graph->ops.size()) << "assertion failed: first.phases.len() >= graph.ops.len()";
  ASSERT_TRUE(std::ranges::all_of(first->peak_sram, [](const auto& entry) { return entry.second < 0x8e000; }))
      << "assertion failed: first.peak_sram.values().all(|peak| *peak < 0x8e000)";
  ASSERT_TRUE(std::ranges::any_of(first->allocations,
                                  [](const Allocation& allocation) { return allocation.kind.staging() != nullptr; }))
      << "assertion failed: first.allocations.iter().any(|allocation|\n"
         "        matches!(allocation.kind, AllocationKind::ExchangeStaging { .. }))";

  const auto lowered = first->lower_exchanges(Topology::m917());
  ASSERT_TRUE(lowered.has_value()) << lowered.error();
  ASSERT_TRUE(!lowered->empty()) << "assertion failed: !lowered.is_empty()";
  ASSERT_TRUE(std::ranges::all_of(*lowered, [](const LoweredExchangePhase& phase) { return phase.cost.launches > 0; }))
      << "assertion failed: lowered.iter().all(|phase| phase.cost.launches > 0)";

  const auto programs = first->lower_tile_programs(Topology::m917());
  ASSERT_TRUE(programs.has_value()) << programs.error();
  ASSERT_EQ(programs->size(), first->tile_count);
  ASSERT_TRUE(std::ranges::all_of(*programs, [](const LoweredTileProgram& program) { return !program.steps.empty(); }))
      << "assertion failed: programs.iter().all(|program| !program.steps.is_empty())";

  const auto commands = first->tile_commands(0);
  ASSERT_TRUE(commands.has_value()) << commands.error();
  ASSERT_FALSE(commands->empty()) << "tile 0 has no last command";
  ASSERT_EQ(commands->back().words[0], 255U);
  ASSERT_EQ(commands->back().to_le_bytes().size(), 32U);
}

void encoder_reference_is_finite_and_repeatable() {
  const tessal_compiler::EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  const tessal_compiler::EncoderWeights weights = tessal_compiler::EncoderWeights::deterministic(config);

  const auto first = tessal_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value()) << first.error();
  const auto second = tessal_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(*first, *second);

  bool all_finite = true;
  for (const float value : *first) all_finite = all_finite && std::isfinite(value);
  ASSERT_TRUE(all_finite) << "assertion failed: first.iter().all(|value| value.is_finite())";

  float checksum = 0.0F;
  for (const float value : *first) checksum += value;
  ASSERT_TRUE(std::fabs(checksum - 107.46423F) < 0.0001F)
      << "checksum=" << tessal_exchange::debug_text::to_string(checksum);
}

}  // namespace tessal_checks

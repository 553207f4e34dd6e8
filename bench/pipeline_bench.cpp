// Times each stage of the pipeline on the reference workload: the default
// encoder layer on 64 tiles, and a 12-layer BERT-base sized stack on all 1472
// tiles of the board. Each benchmark runs one stage on inputs prepared once.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "tessal_compiler/tessal_compiler.hpp"

namespace {

using namespace tessal_compiler;

struct Workload {
  Graph graph;
  CompilerOptions options;
  Schedule schedule;
};

template <class T>
T value_or_exit(std::expected<T, CompileError> result) {
  if (!result) {
    std::cerr << "benchmark set-up failed: " << result.error() << '\n';
    std::exit(1);
  }
  return std::move(*result);
}

Workload make_workload(const EncoderConfig& config, std::uint64_t layers, std::uint16_t tiles) {
  Workload workload;
  workload.graph = value_or_exit(encoder_stack_graph(config, layers));
  workload.options.tile_count = tiles;
  workload.schedule = value_or_exit(compile(workload.graph, workload.options));
  return workload;
}

const Workload& default_encoder() {
  static const Workload workload = make_workload(EncoderConfig{}, 1, 64);
  return workload;
}

const Workload& full_board() {
  static const Workload workload = make_workload(EncoderConfig{128, 768, 12, 3072}, 12, 1472);
  return workload;
}

const Workload& workload_for(const benchmark::State& state) {
  return state.range(0) == 0 ? default_encoder() : full_board();
}

void label(benchmark::State& state) { state.SetLabel(state.range(0) == 0 ? "encoder/64 tiles" : "12 layers/1472 tiles"); }

void BM_Compile(benchmark::State& state) {
  const Workload& workload = workload_for(state);
  for (auto _ : state) {
    auto schedule = compile(workload.graph, workload.options);
    benchmark::DoNotOptimize(schedule);
  }
  state.counters["allocations"] = static_cast<double>(workload.schedule.allocations.size());
  label(state);
}

void BM_LowerExchanges(benchmark::State& state) {
  const Workload& workload = workload_for(state);
  const auto topology = tessal_exchange::Topology::m917();
  for (auto _ : state) {
    auto lowered = workload.schedule.lower_exchanges(topology);
    benchmark::DoNotOptimize(lowered);
  }
  label(state);
}

void BM_LowerTilePrograms(benchmark::State& state) {
  const Workload& workload = workload_for(state);
  const auto topology = tessal_exchange::Topology::m917();
  for (auto _ : state) {
    auto programs = workload.schedule.lower_tile_programs(topology);
    benchmark::DoNotOptimize(programs);
  }
  label(state);
}

void BM_TileCommands(benchmark::State& state) {
  const Workload& workload = workload_for(state);
  for (auto _ : state) {
    std::uint64_t commands = 0;
    for (std::uint16_t tile = 0; tile < workload.schedule.tile_count; ++tile) {
      commands += value_or_exit(workload.schedule.tile_commands(tile)).size();
    }
    benchmark::DoNotOptimize(commands);
  }
  label(state);
}

void BM_EncoderReference(benchmark::State& state) {
  const EncoderConfig config{static_cast<std::uint64_t>(state.range(0)), 768, 12, 3072};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i % 97) - 48.0F) / 64.0F;
  for (auto _ : state) {
    auto output = encoder_reference(config, input, weights);
    benchmark::DoNotOptimize(output);
  }
}

BENCHMARK(BM_Compile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerExchanges)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerTilePrograms)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TileCommands)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncoderReference)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond);

}  // namespace

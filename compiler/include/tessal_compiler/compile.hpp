#pragma once

#include <expected>

#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/schedule.hpp"

namespace tessal_compiler {

// Validates graph and options, lays out every tensor, builds the phases and
// plans every tile's SRAM.
[[nodiscard]] std::expected<Schedule, CompileError> compile(const Graph& graph, const CompilerOptions& options = {});

}  // namespace tessal_compiler

#pragma once

// The JSON form of the compiler's records, as tessalc writes them. Field names
// are the records' own; enumerations without payload are strings, those with a
// payload variant are {"kind": <variant>, <payload>...}; tile-keyed maps are
// objects keyed by the decimal tile number.

#include <ostream>
#include <span>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tessal_compiler/tessal_compiler.hpp"

namespace tessalc {

// Members are kept in the order written, which is declaration order.
using OrderedJson = nlohmann::ordered_json;

[[nodiscard]] OrderedJson to_json(const tessal_compiler::Tensor& tensor);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::OpKind& kind);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Op& op);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Graph& graph);

[[nodiscard]] OrderedJson to_json(const tessal_compiler::Layout& layout);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::SpecializationKey& key);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::KernelCommand& command);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Transfer& transfer);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Phase& phase);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Allocation& allocation);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::Schedule& schedule);

[[nodiscard]] OrderedJson to_json(const tessal_compiler::ExchangeCost& cost);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::LoweredExchangeGroup& group);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::LoweredExchangeEpoch& epoch);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::LoweredExchangePhase& phase);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::LoweredTileStep& step);
[[nodiscard]] OrderedJson to_json(const tessal_compiler::LoweredTileProgram& program);
// One tile's command stream: a list of eight-word lists.
[[nodiscard]] OrderedJson to_json(std::span<const tessal_compiler::EncodedTileCommand> commands);

// Everything one successful run produced.
struct DocumentView {
  const tessal_compiler::Graph* graph = nullptr;  // null when a schedule file was lowered
  const tessal_compiler::Schedule* schedule = nullptr;
  std::span<const tessal_compiler::LoweredExchangePhase> lowered_exchanges;
  std::span<const tessal_compiler::LoweredTileProgram> tile_programs;
  std::span<const std::vector<tessal_compiler::EncodedTileCommand>> tile_commands;  // tile 0 to tile_count - 1
};

// Writes the whole document with one list entry per line. Entries are turned
// into JSON one at a time, so a full-board schedule never exists as one tree.
void write_document(std::ostream& out, const DocumentView& document);

// The document that replaces the result when the stage named `stage` fails.
[[nodiscard]] OrderedJson error_document(std::string_view stage, const tessal_compiler::CompileError& error);

}  // namespace tessalc

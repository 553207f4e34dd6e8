#pragma once

// Reading graph files and schedule files. A graph is rebuilt through the Graph
// builders, so a file that the builders would not produce is rejected; a
// schedule is read as it stands. Every rejection names the JSON path of the
// offending value, such as ops[3].inputs[1].

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/schedule.hpp"

namespace tessalc {

struct InputError {
  std::string path;  // empty for the document itself
  std::string message;

  friend bool operator==(const InputError&, const InputError&) = default;
};

// "path: message", or the message alone for the document itself.
std::ostream& operator<<(std::ostream& out, const InputError& error);

// The members of a whole document that each kind of input file does not read.
enum class InputFile : std::uint8_t { Graph, Schedule };

// Parses the text; when the top level is an object, the document members that
// `file` does not read (the lowered results, and the graph or the schedule)
// are checked for syntax but not kept, so a full-board dump reads back in
// bounded memory.
[[nodiscard]] std::expected<nlohmann::json, InputError> parse_json(std::string_view text, InputFile file);

// A Graph object, or a whole document whose "graph" member is used.
[[nodiscard]] std::expected<tessal_compiler::Graph, InputError> graph_from_json(const nlohmann::json& document);
// A Schedule object, or a whole document whose "schedule" member is used.
[[nodiscard]] std::expected<tessal_compiler::Schedule, InputError> schedule_from_json(const nlohmann::json& document);

// The first tensor whose element count times the element size does not fit 64
// bits, as an error at tensors[i].shape; such a graph cannot be laid out.
[[nodiscard]] std::expected<void, InputError> check_tensor_sizes(const tessal_compiler::Graph& graph);

}  // namespace tessalc

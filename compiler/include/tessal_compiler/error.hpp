#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "tessal_exchange/error.hpp"

namespace tessal_compiler {

// The error type of the compiler library: Graph (malformed graph, options,
// transfers or schedule), Memory (storage cannot be placed or found) or
// Exchange (a failure of the exchange library, carried unchanged).
struct CompileError {
  enum class Kind : std::uint8_t { Graph, Memory, Exchange };

  Kind kind = Kind::Graph;
  std::string message;                      // Graph and Memory
  tessal_exchange::ExchangeError exchange;  // Exchange

  CompileError() = default;
  CompileError(Kind kind, std::string message) : kind(kind), message(std::move(message)) {}
  // Every exchange failure converts implicitly, so lowering passes hand them on unchanged.
  CompileError(tessal_exchange::ExchangeError error) : kind(Kind::Exchange), exchange(std::move(error)) {}

  [[nodiscard]] static CompileError graph(std::string message) { return {Kind::Graph, std::move(message)}; }
  [[nodiscard]] static CompileError memory(std::string message) { return {Kind::Memory, std::move(message)}; }

  friend bool operator==(const CompileError&, const CompileError&) = default;
};

// Debug text: Graph("graph has no outputs"), Memory("..."), Exchange(Tile(1472)).
std::ostream& operator<<(std::ostream& out, const CompileError& error);
std::ostream& operator<<(std::ostream& out, CompileError::Kind kind);

}  // namespace tessal_compiler

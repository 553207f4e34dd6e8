#include "tessal_compiler/error.hpp"

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

std::ostream& operator<<(std::ostream& out, CompileError::Kind kind) {
  switch (kind) {
    case CompileError::Kind::Graph: return out << "Graph";
    case CompileError::Kind::Memory: return out << "Memory";
    case CompileError::Kind::Exchange: return out << "Exchange";
  }
  return out << "Unknown";
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) {
  out << error.kind << '(';
  if (error.kind == CompileError::Kind::Exchange) {
    out << error.exchange;
  } else {
    tessal_exchange::debug_text::write_quoted(out, error.message);
  }
  return out << ')';
}

}  // namespace tessal_compiler

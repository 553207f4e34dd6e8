#include "tessal_compiler/tile_commands.hpp"

#include <cstddef>
#include <string>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

namespace {

constexpr std::uint32_t exchange_kind = 1;
constexpr std::uint32_t compute_kind = 2;
constexpr std::uint32_t end_kind = 255;
// Words 5 to 7 carry the first inputs; word 4 always holds the full count.
constexpr std::size_t encoded_inputs = 3;

// Indexes and counts are 64-bit in the schedule; a command keeps their low 32 bits.
[[nodiscard]] constexpr std::uint32_t low_word(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

[[nodiscard]] EncodedTileCommand exchange_command(std::uint32_t phase, const Transfer& transfer) {
  return {{exchange_kind, phase, transfer.source_tile, transfer.destination_tile, low_word(transfer.tensor.index),
           transfer.bytes, 0, 0}};
}

[[nodiscard]] EncodedTileCommand compute_command(std::uint32_t phase, OpId op, const KernelCommand& command) {
  EncodedTileCommand encoded{{compute_kind, phase, low_word(op.index), low_word(command.output.index),
                              low_word(command.inputs.size()), 0, 0, 0}};
  for (std::size_t i = 0; i < command.inputs.size() && i < encoded_inputs; ++i) {
    encoded.words[5 + i] = low_word(command.inputs[i].index);
  }
  return encoded;
}

}  // namespace

std::expected<std::vector<EncodedTileCommand>, CompileError> Schedule::tile_commands(std::uint16_t tile) const {
  if (tile >= tile_count) {
    return std::unexpected(CompileError::graph("tile " + std::to_string(tile) + " is out of range"));
  }

  std::vector<EncodedTileCommand> commands;
  for (std::size_t p = 0; p < phases.size(); ++p) {
    const std::uint32_t phase = low_word(p);
    if (const Phase::Exchange* exchange = phases[p].exchange()) {
      // A transfer from a tile to itself still gives one command.
      for (const Transfer& transfer : exchange->transfers) {
        if (transfer.source_tile == tile || transfer.destination_tile == tile) {
          commands.push_back(exchange_command(phase, transfer));
        }
      }
    } else if (const Phase::Compute* compute = phases[p].compute()) {
      for (const KernelCommand& command : compute->commands) {
        if (command.tile == tile) commands.push_back(compute_command(phase, compute->op, command));
      }
    }
  }
  commands.push_back(EncodedTileCommand{{end_kind, 0, 0, 0, 0, 0, 0, 0}});
  return commands;
}

std::array<std::uint8_t, 32> EncodedTileCommand::to_le_bytes() const {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      bytes[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
    }
  }
  return bytes;
}

std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command) {
  tessal_exchange::debug_text::StructWriter(out, "EncodedTileCommand").field("words", command.words);
  return out;
}

}  // namespace tessal_compiler

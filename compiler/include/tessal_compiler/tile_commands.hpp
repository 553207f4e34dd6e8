#pragma once

#include <array>
#include <cstdint>
#include <ostream>

#include "tessal_compiler/schedule.hpp"

namespace tessal_compiler {

// One fixed-width tile command: word 0 is the kind (1 exchange, 2 compute, 255 end).
struct EncodedTileCommand {
  std::array<std::uint32_t, 8> words{};

  // The 32-byte little-endian form.
  [[nodiscard]] std::array<std::uint8_t, 32> to_le_bytes() const;

  friend bool operator==(const EncodedTileCommand&, const EncodedTileCommand&) = default;
};

std::ostream& operator<<(std::ostream& out, const EncodedTileCommand& command);

}  // namespace tessal_compiler

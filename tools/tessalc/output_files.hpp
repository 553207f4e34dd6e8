#pragma once

// Output files appear whole or not at all: each is written to a temporary file
// in the same directory and renamed into place once complete.

#include <expected>
#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "tessal_compiler/tile_commands.hpp"

namespace tessalc {

// Writes `write`'s text to `path`, or to standard output when `path` is "-".
// The error is one line naming the file and the system's reason.
[[nodiscard]] std::expected<void, std::string> write_output(const std::string& path,
                                                            const std::function<void(std::ostream&)>& write);

// Writes tile-<n>.bin, the 32-byte little-endian commands of tile n, for every
// tile, creating `directory` if needed.
[[nodiscard]] std::expected<void, std::string> write_command_files(
    const std::filesystem::path& directory, std::span<const std::vector<tessal_compiler::EncodedTileCommand>> tiles);

}  // namespace tessalc

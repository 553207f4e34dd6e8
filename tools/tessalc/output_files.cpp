#include "tessalc/output_files.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>

namespace tessalc {

namespace {

std::string reason(const std::error_code& error) { return error.message(); }

std::string errno_reason() { return errno != 0 ? std::strerror(errno) : "write failed"; }

// As many links as the system follows in one path lookup.
constexpr int max_symbolic_links = 40;

// Writes straight into something that is not a regular file, such as a
// terminal, a pipe or /dev/null: renaming over it would replace the device.
std::expected<void, std::string> write_in_place(const std::filesystem::path& path,
                                                const std::function<void(std::ostream&)>& write) {
  errno = 0;
  std::ofstream out(path, std::ios::binary);
  if (!out) return std::unexpected("cannot write " + path.string() + ": " + errno_reason());
  write(out);
  out.flush();
  if (!out) return std::unexpected("cannot write " + path.string() + ": " + errno_reason());
  return {};
}

// Writes one file through a temporary sibling; nothing is left behind on failure.
std::expected<void, std::string> write_file(const std::filesystem::path& requested,
                                            const std::function<void(std::ostream&)>& write) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(requested, error);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_directory(status)) {
    return write_in_place(requested, write);
  }
  // A symbolic link keeps pointing at the file it names, even one that does not
  // exist yet: the rename replaces or creates the final target of its chain.
  std::filesystem::path path = requested;
  for (int links = 0; std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)); ++links) {
    if (links == max_symbolic_links) {
      return std::unexpected("cannot write " + requested.string() + ": too many levels of symbolic links");
    }
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    if (error) return std::unexpected("cannot write " + requested.string() + ": " + reason(error));
    path = target.is_absolute() ? target : path.parent_path() / target;
  }

  std::filesystem::path temporary = path;
  temporary += ".tessalc-" + std::to_string(::getpid()) + ".tmp";
  const auto discard = [&temporary](std::string message) -> std::expected<void, std::string> {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return std::unexpected(std::move(message));
  };

  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return discard("cannot write " + path.string() + ": " + errno_reason());
    write(out);
    out.flush();
    if (!out) return discard("cannot write " + path.string() + ": " + errno_reason());
    out.close();
    if (!out) return discard("cannot write " + path.string() + ": " + errno_reason());
  }
  std::filesystem::rename(temporary, path, error);
  if (error) return discard("cannot write " + path.string() + ": " + reason(error));
  return {};
}

}  // namespace

std::expected<void, std::string> write_output(const std::string& path,
                                              const std::function<void(std::ostream&)>& write) {
  if (path != "-") return write_file(path, write);
  write(std::cout);
  std::cout.flush();
  if (!std::cout) return std::unexpected("cannot write to standard output");
  return {};
}

std::expected<void, std::string> write_command_files(
    const std::filesystem::path& directory, std::span<const std::vector<tessal_compiler::EncodedTileCommand>> tiles) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return std::unexpected("cannot create directory " + directory.string() + ": " + reason(error));
  if (!std::filesystem::is_directory(directory, error)) {
    return std::unexpected("cannot write commands: " + directory.string() + " is not a directory");
  }
  for (std::size_t tile = 0; tile < tiles.size(); ++tile) {
    const auto written = write_file(directory / ("tile-" + std::to_string(tile) + ".bin"), [&](std::ostream& out) {
      for (const tessal_compiler::EncodedTileCommand& command : tiles[tile]) {
        const auto bytes = command.to_le_bytes();
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      }
    });
    if (!written) return written;
  }
  return {};
}

}  // namespace tessalc

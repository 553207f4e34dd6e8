#include "tessal_compiler/tile_commands.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tessal_compiler::CompileError;
using tessal_compiler::EncodedTileCommand;
using tessal_compiler::KernelCommand;
using tessal_compiler::OpId;
using tessal_compiler::Phase;
using tessal_compiler::Schedule;
using tessal_compiler::TensorId;
using tessal_compiler::Transfer;

using Words = std::array<std::uint32_t, 8>;

const EncodedTileCommand end_command{{255, 0, 0, 0, 0, 0, 0, 0}};

EncodedTileCommand command(Words words) { return EncodedTileCommand{words}; }

KernelCommand kernel(std::uint16_t tile, std::uint64_t output, std::vector<std::uint64_t> inputs) {
  KernelCommand result{.tile = tile, .output = TensorId{output}, .inputs = {}, .specialization = {}};
  for (const std::uint64_t input : inputs) result.inputs.push_back(TensorId{input});
  return result;
}

Transfer transfer(std::uint64_t tensor, std::uint32_t bytes, std::uint16_t source, std::uint16_t destination) {
  return Transfer{.tensor = TensorId{tensor}, .bytes = bytes, .source_tile = source, .destination_tile = destination};
}

// Three phases over eight tiles: a compute phase, an exchange phase (with a
// transfer from tile 2 to tile 5 and one from tile 4 to itself) and a second
// compute phase whose kernel commands have 2, 0 and 4 inputs.
Schedule three_phase_schedule() {
  Schedule schedule;
  schedule.tile_count = 8;
  schedule.phases = {
      Phase{Phase::Compute{OpId{0}, {kernel(0, 1, {0}), kernel(2, 1, {0})}}},
      Phase{Phase::Exchange{{transfer(1, 64, 2, 5), transfer(1, 64, 0, 3), transfer(6, 8, 4, 4)}}},
      Phase{Phase::Compute{OpId{1}, {kernel(5, 2, {1, 0}), kernel(5, 3, {}), kernel(2, 4, {1, 2, 3, 4})}}},
  };
  return schedule;
}

TEST(TileCommandsTest, EachTileGetsItsOwnCommandsInPhaseOrder) {
  const Schedule schedule = three_phase_schedule();
  const EncodedTileCommand from_2_to_5 = command({1, 1, 2, 5, 1, 64, 0, 0});
  const EncodedTileCommand from_0_to_3 = command({1, 1, 0, 3, 1, 64, 0, 0});
  const EncodedTileCommand first_kernel = command({2, 0, 0, 1, 1, 0, 0, 0});
  struct Case {
    std::uint16_t tile;
    std::vector<EncodedTileCommand> expected;
  };
  const Case cases[] = {
      {0, {first_kernel, from_0_to_3, end_command}},
      {1, {end_command}},
      // Four inputs: word 4 keeps the count, the fourth input is dropped.
      {2, {first_kernel, from_2_to_5, command({2, 2, 1, 4, 4, 1, 2, 3}), end_command}},
      {3, {from_0_to_3, end_command}},
      // A transfer from a tile to itself gives a single command.
      {4, {command({1, 1, 4, 4, 6, 8, 0, 0}), end_command}},
      // Two inputs leave word 7 at 0; no inputs leave words 4 to 7 at 0.
      {5, {from_2_to_5, command({2, 2, 1, 2, 2, 1, 0, 0}), command({2, 2, 1, 3, 0, 0, 0, 0}), end_command}},
      {6, {end_command}},
      {7, {end_command}},
  };
  for (const Case& c : cases) {
    const auto commands = schedule.tile_commands(c.tile);
    ASSERT_TRUE(commands.has_value()) << "tile " << c.tile << ": " << commands.error();
    EXPECT_EQ(*commands, c.expected) << "tile " << c.tile;
  }
}

TEST(TileCommandsTest, WideIndexesKeepTheirLow32Bits) {
  constexpr std::uint64_t high = std::uint64_t{1} << 32;
  Schedule schedule;
  schedule.tile_count = 1;
  schedule.phases = {Phase{Phase::Compute{OpId{high + 3}, {kernel(0, high + 9, {high + 1, 2 * high})}}},
                     Phase{Phase::Exchange{{transfer(high + 5, 4, 0, 0)}}}};
  const auto commands = schedule.tile_commands(0);
  ASSERT_TRUE(commands.has_value()) << commands.error();
  const std::vector<EncodedTileCommand> expected = {command({2, 0, 3, 9, 2, 1, 0, 0}),
                                                    command({1, 1, 0, 0, 5, 4, 0, 0}), end_command};
  EXPECT_EQ(*commands, expected);
}

TEST(TileCommandsTest, TileMustBeBelowTheTileCount) {
  struct Case {
    std::uint16_t tile_count;
    std::uint16_t tile;
    std::string error;  // empty when the call succeeds
  };
  const Case cases[] = {
      {64, 64, "tile 64 is out of range"},
      {64, 63, ""},
      {64, 65535, "tile 65535 is out of range"},
      {0, 0, "tile 0 is out of range"},
  };
  for (const Case& c : cases) {
    Schedule schedule;
    schedule.tile_count = c.tile_count;
    const auto commands = schedule.tile_commands(c.tile);
    if (c.error.empty()) {
      ASSERT_TRUE(commands.has_value()) << commands.error();
      EXPECT_EQ(*commands, std::vector<EncodedTileCommand>{end_command});
    } else {
      ASSERT_FALSE(commands.has_value()) << "tile " << c.tile;
      EXPECT_EQ(commands.error(), CompileError::graph(c.error));
    }
  }
}

TEST(TileCommandsTest, ByteFormIsEightLittleEndianWords) {
  const EncodedTileCommand mixed = command({0x04030201, 0xFFFFFFFF, 0x80000000, 0, 1, 0x00ABCDEF, 0x12345678, 255});
  const std::array<std::uint8_t, 32> mixed_bytes = {
      0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x00, 0x78, 0x56, 0x34, 0x12, 0xFF, 0x00, 0x00, 0x00,
  };
  EXPECT_EQ(mixed.to_le_bytes(), mixed_bytes);

  std::array<std::uint8_t, 32> end_bytes{};
  end_bytes[0] = 0xFF;
  EXPECT_EQ(end_command.to_le_bytes(), end_bytes);

  // Reading the bytes back as words gives the command again.
  const auto commands = three_phase_schedule().tile_commands(5);
  ASSERT_TRUE(commands.has_value()) << commands.error();
  for (const EncodedTileCommand& original : *commands) {
    const std::array<std::uint8_t, 32> bytes = original.to_le_bytes();
    EncodedTileCommand decoded;
    for (std::size_t i = 0; i < 8; ++i) {
      for (std::size_t b = 0; b < 4; ++b) decoded.words[i] |= std::uint32_t{bytes[4 * i + b]} << (8 * b);
    }
    EXPECT_EQ(decoded, original);
  }
}

TEST(TileCommandsTest, DebugTextListsTheWords) {
  std::ostringstream out;
  out << end_command;
  EXPECT_EQ(out.str(), "EncodedTileCommand { words: [255, 0, 0, 0, 0, 0, 0, 0] }");
}

}  // namespace

// Runs the real tessalc binary on good and bad inputs.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string shell_quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Each test works in a directory of its own under the test temp dir.
class Tessalc : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef TESSALC_PATH
    GTEST_SKIP() << "tessalc is not part of this build";
#else
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = fs::path(::testing::TempDir()) / "tessalc_test" / info->name();
    fs::remove_all(directory_);
    fs::create_directories(directory_);
#endif
  }

  [[nodiscard]] fs::path path(const std::string& name) const { return directory_ / name; }

  Outcome run(const std::vector<std::string>& arguments) const {
    // Appended piece by piece: GCC 12 misreports "literal" + string as overlapping copies.
    std::string command = "cd ";
    command += shell_quoted(directory_.string());
    command += " &&";
#ifdef TESSALC_PATH
    command += ' ';
    command += shell_quoted(TESSALC_PATH);
#endif
    for (const std::string& argument : arguments) {
      command += ' ';
      command += shell_quoted(argument);
    }
    command += " >";
    command += shell_quoted(path("stdout").string());
    command += " 2>";
    command += shell_quoted(path("stderr").string());
    const int raw = std::system(command.c_str());
    Outcome result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = read_text(path("stdout"));
    result.err = read_text(path("stderr"));
    fs::remove(path("stdout"));
    fs::remove(path("stderr"));
    return result;
  }

  json run_json(const std::vector<std::string>& arguments, const std::string& file) const {
    const Outcome result = run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(read_text(path(file)));
  }

  // The encoder graph as a graph file, for the bad-input cases to change.
  json encoder_graph_json() const {
    return run_json({"compile", "--encoder", "--json", "encoder.json"}, "encoder.json")["graph"];
  }

  fs::path directory_;
};

TEST_F(Tessalc, EncoderSummaryShowsTheScheduleFigures) {
  const Outcome result = run({"compile", "--encoder"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  for (const std::string expected : {
           "tensors:        22\n",
           "operations:     15\n",
           "phases:         17 (15 compute, 2 exchange)\n",
           "allocations:    388 (360 home, 28 staging)\n",
           "peak SRAM:      41984 bytes on tiles 0 to 7\n",
           "over 64 tiles with allocations (of 64)\n",
           " launches, ",
           " estimated cycles, ",
           " payload words\n",
       }) {
    EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\nin\n" << result.out;
  }
  for (const std::string stage :
       {"encoder_graph", "compile", "lower_exchanges", "lower_tile_programs", "tile_commands"}) {
    EXPECT_NE(result.out.find("  " + stage + " "), std::string::npos) << stage;
  }
}

TEST_F(Tessalc, StackedLayersAndOptionsReachTheCompiler) {
  const Outcome result = run({"compile", "--encoder", "--layers", "2", "--tiles", "0x20", "--data-limit", "917504"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("tensors:        43\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("operations:     30\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("over 32 tiles with allocations (of 32)"), std::string::npos) << result.out;
}

TEST_F(Tessalc, DumpedGraphCompilesToTheSameSchedule) {
  const json first = run_json({"compile", "--encoder", "--json", "out.json"}, "out.json");
  EXPECT_EQ(first["schedule"]["phases"].size(), 17U);
  EXPECT_EQ(first["tile_commands"].size(), 64U);
  write_text(path("graph.json"), first["graph"].dump());

  const json again = run_json({"compile", "graph.json", "--json", "again.json"}, "again.json");
  EXPECT_EQ(again["schedule"], first["schedule"]);
  EXPECT_EQ(again, first);

  // A whole document serves as a graph file, and as a schedule file for lowering.
  EXPECT_EQ(run_json({"compile", "out.json", "--json", "whole.json"}, "whole.json"), first);
  json lowered = run_json({"lower", "out.json", "--json", "lowered.json"}, "lowered.json");
  EXPECT_TRUE(lowered["graph"].is_null());
  lowered["graph"] = first["graph"];
  EXPECT_EQ(lowered, first);
}

TEST_F(Tessalc, JsonToStandardOutput) {
  const Outcome result = run({"compile", "--encoder", "--json", "-"});
  ASSERT_EQ(result.status, 0) << result.err;
  const json document = json::parse(result.out);
  EXPECT_EQ(document["schedule"]["tile_count"], 64);
  EXPECT_EQ(document["lowered_exchanges"].size(), 2U);
}

TEST_F(Tessalc, LowersAHandWrittenSchedule) {
  // Tensor 0 goes from tile 0 to tiles 1 and 2, tensor 1 from tile 3 to tile 1.
  write_text(path("schedule.json"), R"j({
    "layouts": [], "tile_count": 4, "peak_sram": {},
    "phases": [
      {"kind": "Exchange", "transfers": [
        {"tensor": 0, "bytes": 64, "source_tile": 0, "destination_tile": 1},
        {"tensor": 0, "bytes": 64, "source_tile": 0, "destination_tile": 2},
        {"tensor": 1, "bytes": 128, "source_tile": 3, "destination_tile": 1}]},
      {"kind": "Compute", "op": 0, "commands": [
        {"tile": 1, "output": 2, "inputs": [0, 1],
         "specialization": {"operation": "add", "shape": [4, 4], "worker_count": 1, "role": "tail", "alignment": 16}}]}],
    "allocations": [
      {"tensor": 0, "tile": 0, "address": 360448, "size": 64, "live_from": 0, "live_until": 1, "kind": {"kind": "Home"}},
      {"tensor": 1, "tile": 3, "address": 360448, "size": 128, "live_from": 0, "live_until": 1, "kind": {"kind": "Home"}},
      {"tensor": 0, "tile": 1, "address": 327680, "size": 64, "live_from": 0, "live_until": 1,
       "kind": {"kind": "ExchangeStaging", "phase": 0}},
      {"tensor": 0, "tile": 2, "address": 327680, "size": 64, "live_from": 0, "live_until": 1,
       "kind": {"kind": "ExchangeStaging", "phase": 0}},
      {"tensor": 1, "tile": 1, "address": 327744, "size": 128, "live_from": 0, "live_until": 1,
       "kind": {"kind": "ExchangeStaging", "phase": 0}},
      {"tensor": 2, "tile": 1, "address": 360448, "size": 64, "live_from": 1, "live_until": 2, "kind": {"kind": "Home"}}]
  })j");
  const json document = run_json({"lower", "schedule.json", "--json", "out.json"}, "out.json");
  EXPECT_TRUE(document["graph"].is_null());

  ASSERT_EQ(document["lowered_exchanges"].size(), 1U);
  const json& phase = document["lowered_exchanges"][0];
  EXPECT_EQ(phase["cost"]["launches"], 1);
  EXPECT_EQ(phase["cost"]["payload_words"], 16 + 32);
  ASSERT_EQ(phase["epochs"].size(), 1U);
  EXPECT_EQ(phase["epochs"][0]["groups"].size(), 2U);
  std::vector<std::string> rows;
  for (const auto& [tile, row] : phase["epochs"][0]["tile_rows"].items()) rows.push_back(tile);
  EXPECT_EQ(rows, (std::vector<std::string>{"0", "1", "2", "3"}));

  ASSERT_EQ(document["tile_programs"].size(), 4U);
  const json& tile1 = document["tile_programs"][1]["steps"];
  ASSERT_EQ(tile1.size(), 2U);
  EXPECT_EQ(tile1[1],
            json::parse(R"j({"kind":"Compute","op":0,"input_addresses":[327680,327744],"output_address":360448,
      "specialization":{"operation":"add","shape":[4,4],"worker_count":1,"role":"tail","alignment":16}})j"));

  ASSERT_EQ(document["tile_commands"].size(), 4U);
  EXPECT_EQ(document["tile_commands"][1],
            json::parse("[[1,0,0,1,0,64,0,0],[1,0,3,1,1,128,0,0],[2,1,0,2,2,0,1,0],[255,0,0,0,0,0,0,0]]"));
}

TEST_F(Tessalc, CommandFilesHoldEachTilesLittleEndianCommands) {
  const json document = run_json({"compile", "--encoder", "--json", "out.json", "--commands", "commands"}, "out.json");
  const json& tiles = document["tile_commands"];
  ASSERT_EQ(tiles.size(), 64U);
  for (std::size_t tile = 0; tile < tiles.size(); ++tile) {
    const std::string bytes = read_text(path("commands") / ("tile-" + std::to_string(tile) + ".bin"));
    ASSERT_EQ(bytes.size(), tiles[tile].size() * 32) << tile;
    for (std::size_t word = 0; word < bytes.size() / 4; ++word) {
      std::uint32_t value = 0;
      for (int byte = 3; byte >= 0; --byte) value = (value << 8) | static_cast<unsigned char>(bytes[word * 4 + byte]);
      ASSERT_EQ(value, tiles[tile][word / 8][word % 8].get<std::uint32_t>()) << "tile " << tile << " word " << word;
    }
  }
}

TEST_F(Tessalc, ReferenceChecksumAndOutputs) {
  const std::vector<std::string> config = {"reference", "--sequence",     "4", "--hidden", "8", "--heads",
                                           "2",         "--feed-forward", "16"};
  std::vector<std::string> ramp = config;
  ramp.insert(ramp.end(), {"--input", "ramp", "--output", "ramp.bin"});
  const Outcome result = run(ramp);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto at = result.out.find("checksum:");
  ASSERT_NE(at, std::string::npos) << result.out;
  const float checksum = std::stof(result.out.substr(at + 9));
  EXPECT_LT(std::fabs(checksum - 107.46423F), 0.0001F) << result.out;
  EXPECT_NE(result.out.find("first values:"), std::string::npos) << result.out;
  EXPECT_EQ(read_text(path("ramp.bin")).size(), 32U * 4U);

  // The same ramp read from a file of little-endian f32 gives the same outputs.
  std::string input;
  for (int index = 0; index < 32; ++index) {
    const auto word = std::bit_cast<std::uint32_t>((static_cast<float>(index) - 9.0F) / 16.0F);
    for (int byte = 0; byte < 4; ++byte) input += static_cast<char>((word >> (8 * byte)) & 0xFF);
  }
  write_text(path("input.bin"), input);
  std::vector<std::string> from_file = config;
  from_file.insert(from_file.end(), {"--input", "input.bin", "--output", "file.bin"});
  const Outcome again = run(from_file);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_text(path("file.bin")), read_text(path("ramp.bin")));

  // An input file of the wrong size is an input error.
  write_text(path("short.bin"), input.substr(4));
  std::vector<std::string> short_input = config;
  short_input.insert(short_input.end(), {"--input", "short.bin"});
  const Outcome rejected = run(short_input);
  EXPECT_EQ(rejected.status, 2);
  EXPECT_EQ(rejected.err,
            "tessalc: short.bin: holds 124 bytes, expected 128 (sequence x hidden little-endian f32 values)\n");
}

TEST_F(Tessalc, VerboseLogsLibraryEventsOnStandardError) {
  const Outcome quiet = run({"compile", "--encoder", "--json", "out.json"});
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");

  const Outcome verbose = run({"compile", "--encoder", "--json", "out.json", "-v"});
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_EQ(verbose.out, "");
  for (const std::string expected : {"INFO tessal_compiler: compiling graph operations=15 tensors=22 tiles=64\n",
                                     "INFO tessal_compiler: graph compilation completed phases=17 allocations=388 "
                                     "peak_bytes=41984\n",
                                     "INFO tessal_compiler: lowered per-tile programs tiles=64\n"}) {
    EXPECT_NE(verbose.err.find(expected), std::string::npos) << expected;
  }
}

// A failure: its exit status, a fragment of its one line on standard error,
// and no output files.
struct BadRun {
  std::string name;
  std::vector<std::string> arguments;
  int status;
  std::string message;
};

void expect_rejected(const Outcome& result, const BadRun& bad) {
  EXPECT_EQ(result.status, bad.status) << bad.name << ": " << result.err;
  EXPECT_EQ(line_count(result.err), 1U) << bad.name << ": " << result.err;
  EXPECT_TRUE(result.err.starts_with("tessalc: ")) << bad.name << ": " << result.err;
  EXPECT_NE(result.err.find(bad.message), std::string::npos) << bad.name << ": " << result.err;
  EXPECT_EQ(result.out, "") << bad.name;
}

TEST_F(Tessalc, UsageErrors) {
  const std::vector<BadRun> cases = {
      {"tile count beyond 16 bits",
       {"compile", "--encoder", "--tiles", "65536", "--json", "out.json"},
       2,
       "--tiles: '65536' is out of range (at most 65535)"},
      {"address beyond 32 bits",
       {"compile", "--encoder", "--data-limit", "0x100000000", "--json", "out.json"},
       2,
       "--data-limit: '0x100000000' is out of range (at most 4294967295)"},
      {"not a number",
       {"compile", "--encoder", "--tiles", "abc", "--json", "out.json"},
       2,
       "--tiles: 'abc' is not a number (decimal or 0x hexadecimal)"},
      {"signed number",
       {"compile", "--encoder", "--exchange-base", "-1", "--json", "out.json"},
       2,
       "--exchange-base: '-1' is not a number"},
      {"empty hexadecimal",
       {"compile", "--encoder", "--data-base", "0x", "--json", "out.json"},
       2,
       "--data-base: '0x' is not a number"},
      {"encoder dimension beyond 64 bits",
       {"compile", "--encoder", "--hidden", "18446744073709551616"},
       2,
       "--hidden: '18446744073709551616' is out of range"},
      {"empty value",
       {"compile", "--encoder", "--tiles", "", "--json", "out.json"},
       2,
       "--tiles: an empty value is not allowed"},
      {"no layers",
       {"compile", "--encoder", "--layers", "0", "--json", "out.json"},
       2,
       "--layers: '0' is out of range"},
      {"encoder sizes past 64 bits",
       {"compile", "--encoder", "--sequence", "0x100000000", "--hidden", "0x100000000"},
       2,
       "encoder dimensions too large: the size of tensor \"input\""},
      {"no graph", {"compile", "--json", "out.json"}, 2, "compile: give a graph file or --encoder"},
      {"two graphs",
       {"compile", "graph.json", "--encoder", "--json", "out.json"},
       2,
       "compile: give either a graph file or --encoder, not both"},
      {"encoder option without encoder", {"compile", "graph.json", "--heads", "2"}, 2, "--heads needs --encoder"},
      {"commands to standard output", {"compile", "--encoder", "--commands", "-"}, 2, "--commands: give a directory"},
      {"unknown command", {"link", "graph.json"}, 2, "unknown command 'link'"},
      // The option is what is wrong, not its value read as a command.
      {"option before the command", {"--tiles", "4", "compile", "--encoder", "--json", "out.json"}, 2, "--tiles"},
      {"unknown option", {"compile", "--encoder", "--fast"}, 2, "--fast"},
      {"no command", {}, 2, "A subcommand is required"},
      {"schedule file missing", {"lower"}, 2, "schedule is required"},
  };
  for (const BadRun& bad : cases) {
    expect_rejected(run(bad.arguments), bad);
    EXPECT_FALSE(fs::exists(path("out.json"))) << bad.name;
  }
}

TEST_F(Tessalc, UnreadableAndMalformedFiles) {
  write_text(path("broken.json"), "{\"tensors\": [");
  write_text(path("list.json"), "[1, 2]");
  fs::create_directories(path("folder"));
  const std::vector<BadRun> cases = {
      {"missing file",
       {"compile", "absent.json", "--json", "out.json"},
       2,
       "cannot read absent.json: No such file or directory"},
      {"directory", {"lower", "folder", "--json", "out.json"}, 2, "cannot read folder: it is a directory"},
      {"invalid JSON",
       {"compile", "broken.json", "--json", "out.json"},
       2,
       "broken.json: invalid JSON: parse error at line 1, column 14"},
      {"no object",
       {"lower", "list.json", "--json", "out.json"},
       2,
       "list.json: expected a schedule object or a whole document, found array"},
      {"reference input missing",
       {"reference", "--input", "absent.bin", "--output", "out.json"},
       2,
       "cannot read absent.bin"},
  };
  for (const BadRun& bad : cases) {
    expect_rejected(run(bad.arguments), bad);
    EXPECT_FALSE(fs::exists(path("out.json"))) << bad.name;
  }
}

// Each bad graph file is the encoder graph with one change; the message names the JSON path.
TEST_F(Tessalc, BadGraphFilesNameTheJsonPath) {
  struct Case {
    std::string name;
    std::function<void(json&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing field", [](json& g) { g["ops"][3].erase("inputs"); }, "graph.json: ops[3].inputs: missing field"},
      {"mistyped field", [](json& g) { g["tensors"][5]["shape"] = "[64, 256]"; },
       "graph.json: tensors[5].shape: expected an array, found string"},
      {"unknown kind", [](json& g) { g["ops"][0]["kind"]["kind"] = "RmsNorm"; },
       "graph.json: ops[0].kind.kind: unknown operation kind \"RmsNorm\""},
      {"id out of range", [](json& g) { g["ops"][3]["inputs"][1] = 99; },
       "graph.json: ops[3].inputs[1]: tensor 99 does not exist"},
      {"output out of range", [](json& g) { g["outputs"][0] = 22; },
       "graph.json: outputs[0]: tensor 22 does not exist"},
      {"element count overflow",
       [](json& g) {
         g["tensors"][1]["shape"] = {1ULL << 40, 1ULL << 40};
       },
       "graph.json: tensors[1].shape: the size of [1099511627776, 1099511627776] (elements x 4 bytes) overflows 64 "
       "bits"},
  };
  const json graph = encoder_graph_json();
  for (const Case& c : cases) {
    json changed = graph;
    c.change(changed);
    write_text(path("graph.json"), changed.dump());
    expect_rejected(run({"compile", "graph.json", "--json", "out.json", "--commands", "commands"}),
                    {c.name, {}, 2, c.message});
    EXPECT_FALSE(fs::exists(path("out.json"))) << c.name;
    EXPECT_FALSE(fs::exists(path("commands"))) << c.name;
  }
}

TEST_F(Tessalc, BadScheduleFilesNameTheJsonPath) {
  json schedule = run_json({"compile", "--encoder", "--json", "encoder.json"}, "encoder.json")["schedule"];
  schedule["phases"][7]["transfers"][0]["destination_tile"] = 70000;
  write_text(path("schedule.json"), schedule.dump());
  expect_rejected(
      run({"lower", "schedule.json", "--json", "out.json"}),
      {"tile out of range",
       {},
       2,
       "schedule.json: phases[7].transfers[0].destination_tile: 70000 does not fit an unsigned 16-bit value"});
  EXPECT_FALSE(fs::exists(path("out.json")));
}

// Values that fit their types reach the compiler; what it rejects is a compile
// failure with exit status 1 and the error document in place of the result.
TEST_F(Tessalc, CompilerRejectionsGiveTheErrorDocument) {
  json graph = encoder_graph_json();
  graph["tensors"][1]["shape"] = {0, 64};
  write_text(path("zero.json"), graph.dump());
  json schedule = run_json({"compile", "--encoder", "--json", "encoder.json"}, "encoder.json")["schedule"];
  schedule["phases"][7]["transfers"][0]["bytes"] = 6;
  write_text(path("uneven.json"), schedule.dump());

  struct Case {
    std::string name;
    std::vector<std::string> arguments;
    json error;
  };
  const std::vector<Case> cases = {
      {"no tiles",
       {"compile", "--encoder", "--tiles", "0"},
       {{"stage", "compile"},
        {"kind", "Graph"},
        {"message", "invalid compiler options"},
        {"debug", "Graph(\"invalid compiler options\")"}}},
      {"staging window past the receive window",
       {"compile", "--encoder", "--exchange-limit", "0x58001", "--data-base", "0x58004"},
       {{"stage", "compile"},
        {"kind", "Graph"},
        {"message", "invalid compiler options"},
        {"debug", "Graph(\"invalid compiler options\")"}}},
      {"heads that do not divide the width",
       {"compile", "--encoder", "--heads", "3"},
       {{"stage", "encoder_graph"},
        {"kind", "Graph"},
        {"message", "invalid encoder dimensions"},
        {"debug", "Graph(\"invalid encoder dimensions\")"}}},
      {"zero extent",
       {"compile", "zero.json"},
       {{"stage", "compile"},
        {"kind", "Graph"},
        {"message", "invalid tensor wq"},
        {"debug", "Graph(\"invalid tensor wq\")"}}},
      {"transfer of no whole words",
       {"lower", "uneven.json"},
       {{"stage", "lower_exchanges"},
        {"kind", "Graph"},
        {"message", "tensor 13 exchange size is not whole words"},
        {"debug", "Graph(\"tensor 13 exchange size is not whole words\")"}}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), {"--json", "out.json", "--commands", "commands"});
    const Outcome result = run(arguments);
    EXPECT_EQ(result.status, 1) << c.name << ": " << result.err;
    EXPECT_EQ(result.err, "tessalc: " + c.error["stage"].get<std::string>() +
                              " failed: " + c.error["debug"].get<std::string>() + "\n")
        << c.name;
    EXPECT_EQ(json::parse(read_text(path("out.json"))), (json{{"error", c.error}})) << c.name;
    EXPECT_FALSE(fs::exists(path("commands"))) << c.name;
    fs::remove(path("out.json"));
  }
}

TEST_F(Tessalc, FailedWritesLeaveNoFileBehind) {
  fs::create_directories(path("taken"));
  const Outcome result = run({"compile", "--encoder", "--json", "taken"});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.err.find("cannot write taken"), std::string::npos) << result.err;
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(directory_)) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{"taken"});
}

TEST_F(Tessalc, WritesThroughSymbolicLinksToTheirTargets) {
  fs::create_directories(path("sub"));
  write_text(path("old.json"), "old");
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> links;  // link, what it points at
    std::string written;
  };
  const std::vector<Case> cases = {
      {"to an existing file", {{"existing.json", "old.json"}}, "old.json"},
      {"dangling", {{"dangling.json", "sub/new.json"}}, "sub/new.json"},
      {"chain ending dangling", {{"chain.json", "sub/link.json"}, {"sub/link.json", "last.json"}}, "sub/last.json"},
  };
  for (const Case& c : cases) {
    for (const auto& [link, target] : c.links) fs::create_symlink(target, path(link));
    const Outcome result = run({"compile", "--encoder", "--json", c.links.front().first});
    ASSERT_EQ(result.status, 0) << c.name << ": " << result.err;
    for (const auto& [link, target] : c.links) {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path(link)))) << c.name << ": " << link;
    }
    EXPECT_EQ(json::parse(read_text(path(c.written)))["schedule"]["tile_count"], 64) << c.name;
  }
}

}  // namespace

// The JSON form of the records that tessalc writes and reads back.

#include <gtest/gtest.h>

#if __has_include("tessalc/json_records.hpp")

#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tessal_compiler/tessal_compiler.hpp"
#include "tessalc/json_input.hpp"
#include "tessalc/json_records.hpp"

namespace {

namespace tc = tessal_compiler;
using nlohmann::json;
using tessalc::InputError;

// Reads a written value back into the reader's JSON type.
json reparse(const tessalc::OrderedJson& written) { return json::parse(written.dump()); }

tc::Graph encoder(std::uint64_t layers) {
  auto graph = tc::encoder_stack_graph(tc::EncoderConfig{}, layers);
  EXPECT_TRUE(graph.has_value());
  return graph.value_or(tc::Graph{});
}

TEST(TessalcJson, GraphRoundTripsThroughTheBuilder) {
  for (const std::uint64_t layers : {1, 3}) {
    const tc::Graph graph = encoder(layers);
    const auto read = tessalc::graph_from_json(reparse(tessalc::to_json(graph)));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, graph);
  }
}

TEST(TessalcJson, EveryOperationKindRoundTrips) {
  tc::Graph graph;
  const tc::TensorId input = graph.input("input", {2, 3});
  const std::vector<tc::OpKind> kinds = {
      {tc::OpKind::MatMul{}},
      {tc::OpKind::Add{}},
      {tc::OpKind::Mul{}},
      {tc::OpKind::Reshape{{3, 2}}},
      {tc::OpKind::Transpose{{1, 0}}},
      {tc::OpKind::LayerNorm{1e-5F}},
      {tc::OpKind::Softmax{1}},
      {tc::OpKind::Gelu{}},
  };
  for (const tc::OpKind& kind : kinds) ASSERT_TRUE(graph.op("op", kind, {input, input}, {2, 3}).has_value());
  ASSERT_TRUE(graph.mark_output(tc::TensorId{3}).has_value());

  const auto read = tessalc::graph_from_json(reparse(tessalc::to_json(graph)));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, graph);
}

TEST(TessalcJson, EpsilonIsWrittenAsTheExactDoubleOfItsFloat) {
  const std::string text = tessalc::to_json(tc::OpKind{tc::OpKind::LayerNorm{1e-5F}}).dump();
  EXPECT_EQ(text, R"j({"kind":"LayerNorm","epsilon":9.999999747378752e-06})j");
}

TEST(TessalcJson, ScheduleRoundTrips) {
  const auto schedule = tc::compile(encoder(2), tc::CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const auto read = tessalc::schedule_from_json(reparse(tessalc::to_json(*schedule)));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, *schedule);
}

TEST(TessalcJson, TaggedVariantsAndTileKeyedMaps) {
  struct Case {
    std::string name;
    tessalc::OrderedJson written;
    std::string expected;
  };
  tc::Schedule schedule;
  schedule.tile_count = 12;
  schedule.peak_sram = {{2, 64}, {12, 128}};
  tc::LoweredExchangeEpoch epoch;
  epoch.tile_rows = {{0, {1, 2}}, {10, {3}}};
  epoch.cost = {1, 40, 16};

  const std::vector<Case> cases = {
      {"staging allocation",
       tessalc::to_json(tc::Allocation{tc::TensorId{3}, 4, 0x50000, 64, 7, 8,
                                       tc::AllocationKind{tc::AllocationKind::ExchangeStaging{7}}}),
       R"j({"tensor":3,"tile":4,"address":327680,"size":64,"live_from":7,"live_until":8,)j"
       R"j("kind":{"kind":"ExchangeStaging","phase":7}})j"},
      {"home allocation", tessalc::to_json(tc::Allocation{}),
       R"j({"tensor":0,"tile":0,"address":0,"size":0,"live_from":0,"live_until":0,"kind":{"kind":"Home"}})j"},
      {"payload-free operation", tessalc::to_json(tc::OpKind{tc::OpKind::MatMul{}}), R"j({"kind":"MatMul"})j"},
      {"exchange phase", tessalc::to_json(tc::Phase{tc::Phase::Exchange{{tc::Transfer{tc::TensorId{13}, 1024, 0, 4}}}}),
       R"j({"kind":"Exchange","transfers":[{"tensor":13,"bytes":1024,"source_tile":0,"destination_tile":4}]})j"},
      {"tensor without producer",
       tessalc::to_json(tc::Tensor{tc::TensorId{1}, "wq", {}, {64, 64}, tc::TensorKind::Weight, {}}),
       R"j({"id":1,"name":"wq","dtype":"F32","shape":[64,64],"kind":"Weight","producer":null})j"},
      {"peak sram keyed by decimal tile", tessalc::to_json(schedule)["peak_sram"], R"j({"2":64,"12":128})j"},
      {"epoch", tessalc::to_json(epoch),
       R"j({"groups":[],"tile_rows":{"0":[1,2],"10":[3]},"cost":{"launches":1,"estimated_cycles":40,"payload_words":16}})j"},
      {"compute step",
       tessalc::to_json(
           tc::LoweredTileStep{tc::LoweredComputeCommand{tc::OpId{2}, {16, 32}, 48, {"add", {4}, 1, "tail", 16}}}),
       R"j({"kind":"Compute","op":2,"input_addresses":[16,32],"output_address":48,)j"
       R"j("specialization":{"operation":"add","shape":[4],"worker_count":1,"role":"tail","alignment":16}})j"},
      {"exchange step", tessalc::to_json(tc::LoweredTileStep{tc::LoweredTileStep::Exchange{7, 0, {5, 6}}}),
       R"j({"kind":"Exchange","phase":7,"epoch":0,"row":[5,6]})j"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.written.dump(), c.expected) << c.name;
}

TEST(TessalcJson, ErrorDocumentCarriesStageKindMessageAndDebugText) {
  struct Case {
    tc::CompileError error;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {tc::CompileError::graph("invalid compiler options"),
       R"j({"error":{"stage":"compile","kind":"Graph","message":"invalid compiler options",)j"
       R"j("debug":"Graph(\"invalid compiler options\")"}})j"},
      {tc::CompileError(tessal_exchange::ExchangeError::schedule("multicast start cycle")),
       R"j({"error":{"stage":"compile","kind":"Exchange","message":"Schedule(\"multicast start cycle\")",)j"
       R"j("debug":"Exchange(Schedule(\"multicast start cycle\"))"}})j"},
      {tc::CompileError(tessal_exchange::ExchangeError::tile(1472)),
       R"j({"error":{"stage":"compile","kind":"Exchange","message":"Tile(1472)","debug":"Exchange(Tile(1472))"}})j"},
  };
  for (const Case& c : cases) EXPECT_EQ(tessalc::error_document("compile", c.error).dump(), c.expected);
}

// The streamed document holds the same values as the record-by-record form.
TEST(TessalcJson, StreamedDocumentMatchesTheRecords) {
  const tc::Graph graph = encoder(1);
  const auto schedule = tc::compile(graph, tc::CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();
  const tessal_exchange::Topology topology = tessal_exchange::Topology::m917();
  const auto lowered = schedule->lower_exchanges(topology);
  const auto programs = schedule->lower_tile_programs(topology);
  ASSERT_TRUE(lowered.has_value() && programs.has_value());
  std::vector<std::vector<tc::EncodedTileCommand>> commands;
  for (std::uint16_t tile = 0; tile < schedule->tile_count; ++tile) commands.push_back(*schedule->tile_commands(tile));

  std::ostringstream text;
  tessalc::write_document(text, {&graph, &*schedule, *lowered, *programs, commands});
  const json document = json::parse(text.str());

  EXPECT_EQ(document["graph"], reparse(tessalc::to_json(graph)));
  EXPECT_EQ(document["schedule"], reparse(tessalc::to_json(*schedule)));
  ASSERT_EQ(document["lowered_exchanges"].size(), lowered->size());
  EXPECT_EQ(document["lowered_exchanges"][1], reparse(tessalc::to_json((*lowered)[1])));
  ASSERT_EQ(document["tile_programs"].size(), 64U);
  EXPECT_EQ(document["tile_programs"][5], reparse(tessalc::to_json((*programs)[5])));
  ASSERT_EQ(document["tile_commands"].size(), 64U);
  EXPECT_EQ(document["tile_commands"][63].back(), json::parse("[255,0,0,0,0,0,0,0]"));

  std::ostringstream lowered_only;
  tessalc::write_document(lowered_only, {nullptr, &*schedule, {}, {}, {}});
  const json without_graph = json::parse(lowered_only.str());
  EXPECT_TRUE(without_graph["graph"].is_null());
  EXPECT_EQ(without_graph["tile_commands"], json::array());
}

TEST(TessalcJson, WholeDocumentsAreReadThroughTheirMembers) {
  const tc::Graph graph = encoder(1);
  const auto schedule = tc::compile(graph, tc::CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  json document = {{"graph", reparse(tessalc::to_json(graph))}, {"schedule", reparse(tessalc::to_json(*schedule))}};

  EXPECT_EQ(tessalc::graph_from_json(document), graph);
  EXPECT_EQ(tessalc::schedule_from_json(document), *schedule);

  document["graph"] = nullptr;
  const auto no_graph = tessalc::graph_from_json(document);
  ASSERT_FALSE(no_graph.has_value());
  EXPECT_EQ(no_graph.error().path, "graph");
}

// Each case changes the encoder graph's JSON and names the path and message expected.
TEST(TessalcJson, GraphFileErrorsNameThePath) {
  struct Case {
    std::string name;
    std::function<void(json&)> change;
    InputError expected;
  };
  const std::vector<Case> cases = {
      {"missing field", [](json& g) { g["tensors"][3].erase("shape"); }, {"tensors[3].shape", "missing field"}},
      {"missing list", [](json& g) { g.erase("ops"); }, {"ops", "missing field"}},
      {"mistyped list",
       [](json& g) { g["ops"][2]["inputs"] = "q"; },
       {"ops[2].inputs", "expected an array, found string \"q\""}},
      {"mistyped name",
       [](json& g) { g["tensors"][0]["name"] = 5; },
       {"tensors[0].name", "expected a string, found number 5"}},
      {"negative id",
       [](json& g) { g["tensors"][0]["id"] = -1; },
       {"tensors[0].id", "expected an unsigned integer, found number -1"}},
      {"integer past 64 bits",
       [](json& g) { g["tensors"][1]["shape"][0] = json::parse("18446744073709551616"); },
       {"tensors[1].shape[0]",
        "expected an unsigned integer, found 1.8446744073709552e+19, which does not fit 64 bits"}},
      {"fractional extent",
       [](json& g) { g["tensors"][0]["shape"][1] = 1.5; },
       {"tensors[0].shape[1]", "expected an unsigned integer, found number 1.5"}},
      {"unknown operation kind",
       [](json& g) { g["ops"][4]["kind"]["kind"] = "Conv"; },
       {"ops[4].kind.kind",
        "unknown operation kind \"Conv\" (expected MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax or Gelu)"}},
      {"unknown tensor kind",
       [](json& g) { g["tensors"][1]["kind"] = "Parameter"; },
       {"tensors[1].kind", "unknown tensor kind \"Parameter\" (expected Input, Weight, Intermediate or Output)"}},
      {"unknown dtype",
       [](json& g) { g["tensors"][1]["dtype"] = "F16"; },
       {"tensors[1].dtype", "unknown dtype \"F16\" (expected F32)"}},
      {"payload missing", [](json& g) { g["ops"][6]["kind"].erase("axis"); }, {"ops[6].kind.axis", "missing field"}},
      {"epsilon beyond f32",
       [](json& g) { g["ops"][0]["kind"]["epsilon"] = 1e300; },
       {"ops[0].kind.epsilon", "1e+300 is outside the range of a 32-bit float"}},
      {"input not yet created",
       [](json& g) { g["ops"][3]["inputs"][0] = 40; },
       {"ops[3].inputs[0]",
        "tensor 40 does not exist when the operation is created (only 10 tensors precede its output)"}},
      {"output out of range",
       [](json& g) { g["outputs"][0] = 22; },
       {"outputs[0]", "tensor 22 does not exist (the graph has 22 tensors)"}},
      {"ids out of order",
       [](json& g) { g["tensors"][2]["id"] = 5; },
       {"tensors[2].id", "expected 2, found 5 (tensors are listed in id order)"}},
      {"producer out of order",
       [](json& g) { g["tensors"][8]["producer"] = 3; },
       {"tensors[8].producer",
        "expected operation 1, found 3 (operations are created in the order of the tensors they produce)"}},
      {"producer out of range",
       [](json& g) { g["tensors"][8]["producer"] = 15; },
       {"tensors[8].producer", "operation 15 does not exist (ops has 15 entries)"}},
      {"operation creates another tensor",
       [](json& g) { g["ops"][1]["output"] = 9; },
       {"ops[1].output", "expected tensor 8, the tensor that names this operation as its producer, found 9"}},
      {"result named apart from its operation",
       [](json& g) { g["tensors"][8]["name"] = "query"; },
       {"tensors[8].name", "\"query\" differs from its producer's name \"q\" (an operation's result bears its name)"}},
      {"operation without result",
       [](json& g) { g["tensors"][21]["producer"] = nullptr; },
       {"ops[14]", "no tensor names operation 14 as its producer"}},
      {"kind the builder does not make",
       [](json& g) { g["tensors"][21]["kind"] = "Intermediate"; },
       {"tensors[21].kind", "the file says Intermediate but the graph makes it Output (it is listed in outputs)"}},
      {"element count overflow",
       [](json& g) {
         g["tensors"][0]["shape"] = {4294967296ULL, 4294967296ULL};
       },
       {"tensors[0].shape", "the size of [4294967296, 4294967296] (elements x 4 bytes) overflows 64 bits"}},
      {"byte size overflow",
       [](json& g) { g["tensors"][0]["shape"] = {1ULL << 62}; },
       {"tensors[0].shape", "the size of [4611686018427387904] (elements x 4 bytes) overflows 64 bits"}},
  };
  const json graph = reparse(tessalc::to_json(encoder(1)));
  for (const Case& c : cases) {
    json changed = graph;
    c.change(changed);
    const auto read = tessalc::graph_from_json(changed);
    ASSERT_FALSE(read.has_value()) << c.name;
    EXPECT_EQ(read.error(), c.expected) << c.name;

    // Inside a whole document the same error carries the member's name.
    const auto in_document = tessalc::graph_from_json(json{{"graph", changed}});
    ASSERT_FALSE(in_document.has_value()) << c.name;
    EXPECT_EQ(in_document.error().path, "graph." + c.expected.path) << c.name;
  }
}

TEST(TessalcJson, ZeroExtentsAreLeftToValidation) {
  // A zero extent is a graph that validation rejects, not an unreadable file;
  // an extent past 2^62 next to it is no overflow either.
  json graph = reparse(tessalc::to_json(encoder(1)));
  graph["tensors"][1]["shape"] = {0, 1ULL << 63, 4};
  const auto read = tessalc::graph_from_json(graph);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(read->validate().error(), tc::CompileError::graph("invalid tensor wq"));
}

TEST(TessalcJson, ScheduleFileErrorsNameThePath) {
  struct Case {
    std::string name;
    std::function<void(json&)> change;
    InputError expected;
  };
  const std::vector<Case> cases = {
      {"tile beyond 16 bits",
       [](json& s) { s["allocations"][0]["tile"] = 65536; },
       {"allocations[0].tile", "65536 does not fit an unsigned 16-bit value (at most 65535)"}},
      {"address beyond 32 bits",
       [](json& s) { s["allocations"][2]["address"] = 4294967296ULL; },
       {"allocations[2].address", "4294967296 does not fit an unsigned 32-bit value (at most 4294967295)"}},
      {"worker count beyond 8 bits",
       [](json& s) { s["phases"][0]["commands"][0]["specialization"]["worker_count"] = 256; },
       {"phases[0].commands[0].specialization.worker_count", "256 does not fit an unsigned 8-bit value (at most 255)"}},
      {"unknown phase kind",
       [](json& s) { s["phases"][7]["kind"] = "Barrier"; },
       {"phases[7].kind", "unknown phase kind \"Barrier\" (expected Compute or Exchange)"}},
      {"unknown allocation kind",
       [](json& s) { s["allocations"][1]["kind"]["kind"] = "Scratch"; },
       {"allocations[1].kind.kind", "unknown allocation kind \"Scratch\" (expected Home or ExchangeStaging)"}},
      {"untagged variant", [](json& s) { s["phases"][7].erase("kind"); }, {"phases[7].kind", "missing field"}},
      {"unknown role",
       [](json& s) { s["phases"][0]["commands"][0]["specialization"]["role"] = "head"; },
       {"phases[0].commands[0].specialization.role", "unknown role \"head\" (expected body or tail)"}},
      {"unknown sharding",
       [](json& s) { s["layouts"][0]["sharding"] = "Diagonal"; },
       {"layouts[0].sharding", "unknown sharding \"Diagonal\" (expected Replicated, Rows, Columns or Heads)"}},
      {"tile key with leading zero",
       [](json& s) { s["peak_sram"]["07"] = 1; },
       {"peak_sram", "key \"07\" is not a tile number (decimal, 0 to 65535)"}},
      {"tile key beyond 16 bits",
       [](json& s) { s["peak_sram"]["65536"] = 1; },
       {"peak_sram", "key \"65536\" is not a tile number (decimal, 0 to 65535)"}},
      {"peak beyond 32 bits",
       [](json& s) { s["peak_sram"]["3"] = -4; },
       {"peak_sram.3", "expected an unsigned integer, found number -4"}},
      {"missing tile count", [](json& s) { s.erase("tile_count"); }, {"tile_count", "missing field"}},
      {"transfer field mistyped",
       [](json& s) { s["phases"][7]["transfers"][2]["bytes"] = "1024"; },
       {"phases[7].transfers[2].bytes", "expected an unsigned integer, found string \"1024\""}},
  };
  const auto schedule = tc::compile(encoder(1), tc::CompilerOptions{});
  ASSERT_TRUE(schedule.has_value());
  const json written = reparse(tessalc::to_json(*schedule));
  for (const Case& c : cases) {
    json changed = written;
    c.change(changed);
    const auto read = tessalc::schedule_from_json(changed);
    ASSERT_FALSE(read.has_value()) << c.name;
    EXPECT_EQ(read.error(), c.expected) << c.name;
  }
}

TEST(TessalcJson, DocumentsThatAreNoObjectsAndBrokenText) {
  EXPECT_EQ(tessalc::graph_from_json(json::array()).error(),
            (InputError{"", "expected a graph object or a whole document, found array"}));
  EXPECT_EQ(tessalc::schedule_from_json(json(3)).error(),
            (InputError{"", "expected a schedule object or a whole document, found number 3"}));
  const auto broken = tessalc::parse_json("{\"tensors\": [", tessalc::InputFile::Graph);
  ASSERT_FALSE(broken.has_value());
  EXPECT_TRUE(broken.error().message.starts_with("invalid JSON: parse error at line 1, column 14"))
      << broken.error().message;
}

TEST(TessalcJson, ParsingKeepsOnlyWhatTheFileKindReads) {
  const std::string document =
      R"j({"graph": {"tensors": []}, "schedule": {"tile_count": 1}, "lowered_exchanges": [1],)j"
      R"j( "tile_programs": [{"tile": 0}], "tile_commands": [[[255]]]})j";
  EXPECT_EQ(tessalc::parse_json(document, tessalc::InputFile::Graph), json::parse(R"j({"graph": {"tensors": []}})j"));
  EXPECT_EQ(tessalc::parse_json(document, tessalc::InputFile::Schedule),
            json::parse(R"j({"schedule": {"tile_count": 1}})j"));
  // Members of the Graph and Schedule objects themselves are all kept.
  EXPECT_EQ(tessalc::parse_json(R"j({"tile_count": 1, "phases": []})j", tessalc::InputFile::Schedule),
            json::parse(R"j({"tile_count": 1, "phases": []})j"));
  // Members that are not kept must still be valid JSON.
  const auto broken =
      tessalc::parse_json(R"j({"graph": null, "schedule": {}, "tile_programs": [1,]})j", tessalc::InputFile::Schedule);
  ASSERT_FALSE(broken.has_value());
  EXPECT_TRUE(broken.error().message.starts_with("invalid JSON: parse error at line 1")) << broken.error().message;
}

TEST(TessalcJson, TensorSizesOfABuiltGraph) {
  tc::Graph graph;
  static_cast<void>(graph.input("fits", {1ULL << 61}));
  EXPECT_TRUE(tessalc::check_tensor_sizes(graph).has_value());
  static_cast<void>(graph.input("wide", {1ULL << 32, 1ULL << 31}));
  EXPECT_EQ(
      tessalc::check_tensor_sizes(graph).error(),
      (InputError{"tensors[1].shape",
                  "the size of tensor \"wide\" [4294967296, 2147483648] (elements x 4 bytes) overflows 64 bits"}));
}

}  // namespace

#else

TEST(TessalcJson, NeedsTheToolsBuild) { GTEST_SKIP() << "tessalc is not part of this build"; }

#endif

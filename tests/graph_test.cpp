#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tessal_exchange/debug_text.hpp"
#include "tessal_compiler/graph.hpp"

namespace {

using tessal_compiler::CompileError;
using tessal_compiler::DType;
using tessal_compiler::Graph;
using tessal_compiler::Op;
using tessal_compiler::OpId;
using tessal_compiler::OpKind;
using tessal_compiler::Tensor;
using tessal_compiler::TensorId;
using tessal_compiler::TensorKind;
using Shape = std::vector<std::uint64_t>;

using tessal_exchange::debug_text::to_string;

// Operands of every builder case: tensor ids 0..6 in this order.
class GraphBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a = graph.input("a", {32, 64});
    square = graph.weight("square", {64, 64});
    wide = graph.input("wide", {64, 32});
    b = graph.input("b", {32, 64});
    row = graph.input("row", {1, 64});
    vector = graph.input("vector", {64});
    cube = graph.input("cube", {2, 3, 4});
  }

  Graph graph;
  TensorId a, square, wide, b, row, vector, cube;
};

using Build = std::function<std::expected<TensorId, CompileError>(Graph&)>;

TEST_F(GraphBuilderTest, EveryBuilderAppliesItsShapeRule) {
  struct Case {
    std::string label;
    Build build;
    OpKind kind;
    std::vector<TensorId> inputs;
    Shape shape;
  };
  const Case cases[] = {
      {"matmul", [&](Graph& g) { return g.matmul("r", a, square); }, {OpKind::MatMul{}}, {a, square}, {32, 64}},
      {"matmul to new width", [&](Graph& g) { return g.matmul("r", a, wide); }, {OpKind::MatMul{}}, {a, wide},
       {32, 32}},
      {"add", [&](Graph& g) { return g.add("r", a, b); }, {OpKind::Add{}}, {a, b}, {32, 64}},
      {"binary mul", [&](Graph& g) { return g.binary("r", {OpKind::Mul{}}, b, a); }, {OpKind::Mul{}}, {b, a},
       {32, 64}},
      {"transpose", [&](Graph& g) { return g.transpose("r", a, {1, 0}); }, {OpKind::Transpose{{1, 0}}}, {a},
       {64, 32}},
      {"transpose identity", [&](Graph& g) { return g.transpose("r", a, {0, 1}); }, {OpKind::Transpose{{0, 1}}}, {a},
       {32, 64}},
      {"transpose rank 3", [&](Graph& g) { return g.transpose("r", cube, {2, 0, 1}); },
       {OpKind::Transpose{{2, 0, 1}}}, {cube}, {4, 2, 3}},
      {"softmax axis 0", [&](Graph& g) { return g.softmax("r", a, 0); }, {OpKind::Softmax{0}}, {a}, {32, 64}},
      {"softmax axis 1", [&](Graph& g) { return g.softmax("r", a, 1); }, {OpKind::Softmax{1}}, {a}, {32, 64}},
      {"layer_norm", [&](Graph& g) { return g.layer_norm("r", cube, 1e-5F); }, {OpKind::LayerNorm{1e-5F}}, {cube},
       {2, 3, 4}},
      {"gelu", [&](Graph& g) { return g.gelu("r", vector); }, {OpKind::Gelu{}}, {vector}, {64}},
      {"op reshape", [&](Graph& g) { return g.op("r", {OpKind::Reshape{{64, 32}}}, {a}, {64, 32}); },
       {OpKind::Reshape{{64, 32}}}, {a}, {64, 32}},
      {"op takes the given shape unchecked", [&](Graph& g) { return g.op("r", {OpKind::MatMul{}}, {a, b}, {7}); },
       {OpKind::MatMul{}}, {a, b}, {7}},
      {"op without inputs", [&](Graph& g) { return g.op("r", {OpKind::Gelu{}}, {}, {3}); }, {OpKind::Gelu{}}, {}, {3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Graph g = graph;
    const auto result = c.build(g);
    ASSERT_TRUE(result.has_value()) << result.error();
    const TensorId output{graph.tensors.size()};
    const OpId op{graph.ops.size()};
    EXPECT_EQ(*result, output);
    ASSERT_EQ(g.tensors.size(), graph.tensors.size() + 1);
    ASSERT_EQ(g.ops.size(), graph.ops.size() + 1);
    EXPECT_EQ(g.tensors.back(), (Tensor{output, "r", DType::F32, c.shape, TensorKind::Intermediate, op}));
    EXPECT_EQ(g.ops.back(), (Op{op, "r", c.kind, c.inputs, output}));
  }
}

TEST_F(GraphBuilderTest, EveryBuilderRejectionHasItsMessageAndLeavesTheGraphUnchanged) {
  const TensorId unknown{99};
  struct Case {
    std::string label;
    Build build;
    std::string error;
  };
  const Case cases[] = {
      {"matmul inner mismatch", [&](Graph& g) { return g.matmul("r", a, b); },
       "r: incompatible matmul [32, 64] x [32, 64]"},
      {"matmul rank 1", [&](Graph& g) { return g.matmul("r", vector, square); },
       "r: incompatible matmul [64] x [64, 64]"},
      {"matmul rank 3", [&](Graph& g) { return g.matmul("r", a, cube); },
       "r: incompatible matmul [32, 64] x [2, 3, 4]"},
      {"matmul unknown", [&](Graph& g) { return g.matmul("r", a, unknown); }, "r: unknown input"},
      {"add transposed shapes", [&](Graph& g) { return g.add("r", a, wide); }, "r: binary shapes differ"},
      {"add no broadcasting", [&](Graph& g) { return g.add("r", row, a); }, "r: binary shapes differ"},
      {"add rank differs", [&](Graph& g) { return g.add("r", vector, row); }, "r: binary shapes differ"},
      {"add unknown", [&](Graph& g) { return g.add("r", unknown, a); }, "r: unknown input"},
      {"binary unknown", [&](Graph& g) { return g.binary("r", {OpKind::Mul{}}, a, unknown); }, "r: unknown input"},
      {"transpose repeated", [&](Graph& g) { return g.transpose("r", a, {0, 0}); }, "r: invalid transpose permutation"},
      {"transpose short", [&](Graph& g) { return g.transpose("r", a, {1}); }, "r: invalid transpose permutation"},
      {"transpose long", [&](Graph& g) { return g.transpose("r", a, {0, 1, 2}); }, "r: invalid transpose permutation"},
      {"transpose out of rank", [&](Graph& g) { return g.transpose("r", a, {0, 2}); },
       "r: invalid transpose permutation"},
      {"transpose unknown", [&](Graph& g) { return g.transpose("r", unknown, {1, 0}); }, "r: unknown input"},
      {"softmax axis 2", [&](Graph& g) { return g.softmax("r", a, 2); }, "r: softmax axis out of range"},
      {"softmax unknown", [&](Graph& g) { return g.softmax("r", unknown, 0); }, "r: unknown input"},
      {"layer_norm unknown", [&](Graph& g) { return g.layer_norm("r", unknown, 1e-5F); }, "r: unknown input"},
      {"gelu unknown", [&](Graph& g) { return g.gelu("r", unknown); }, "r: unknown input"},
      {"op unknown", [&](Graph& g) { return g.op("r", {OpKind::Add{}}, {a, TensorId{7}}, {32, 64}); },
       "r: unknown input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Graph g = graph;
    const auto result = c.build(g);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), CompileError::graph(c.error));
    EXPECT_EQ(g, graph) << "a failed builder call changed the graph";
  }
}

TEST_F(GraphBuilderTest, MessagesCarryTheNamePassedToTheBuilder) {
  const auto result = graph.matmul("attention_scores", a, b);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), CompileError::graph("attention_scores: incompatible matmul [32, 64] x [32, 64]"));
}

TEST_F(GraphBuilderTest, MarkOutputTurnsAnyKindIntoOutputAndListsEveryMark) {
  const TensorId product = *graph.matmul("product", a, square);
  ASSERT_TRUE(graph.mark_output(product).has_value());
  ASSERT_TRUE(graph.mark_output(square).has_value());
  ASSERT_TRUE(graph.mark_output(product).has_value());
  EXPECT_EQ(graph.tensors[product.index].kind, TensorKind::Output);
  EXPECT_EQ(graph.tensors[product.index].producer, std::optional<OpId>(OpId{0}));
  EXPECT_EQ(graph.tensors[square.index].kind, TensorKind::Output);
  EXPECT_EQ(graph.outputs, (std::vector<TensorId>{product, square, product}));
}

TEST_F(GraphBuilderTest, MarkOutputOfAnUnknownTensorNamesItAndChangesNothing) {
  const Graph before = graph;
  const auto result = graph.mark_output(TensorId{7});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), CompileError::graph("mark_output: unknown tensor 7"));
  EXPECT_EQ(graph, before);
}

TEST(GraphIdsTest, IdsFollowCreationOrderWhicheverBuilderMadeThem) {
  Graph graph;
  EXPECT_EQ(graph, Graph{});
  EXPECT_EQ(graph.input("x", {4, 4}), TensorId{0});
  EXPECT_EQ(graph.weight("w", {4, 4}), TensorId{1});
  EXPECT_EQ(*graph.matmul("y", TensorId{0}, TensorId{1}), TensorId{2});
  EXPECT_EQ(graph.tensor("z", {2}, TensorKind::Intermediate, OpId{5}), TensorId{3});
  EXPECT_EQ(*graph.gelu("g", TensorId{2}), TensorId{4});
  EXPECT_EQ(graph.input("late", {1}), TensorId{5});

  // Tensor ids and operation ids advance independently.
  ASSERT_EQ(graph.ops.size(), 2U);
  EXPECT_EQ(graph.ops[0].id, OpId{0});
  EXPECT_EQ(graph.ops[0].output, TensorId{2});
  EXPECT_EQ(graph.ops[1].id, OpId{1});
  EXPECT_EQ(graph.ops[1].output, TensorId{4});
  for (std::size_t i = 0; i < graph.tensors.size(); ++i) EXPECT_EQ(graph.tensors[i].id, TensorId{i});

  EXPECT_EQ(graph.tensors[3], (Tensor{TensorId{3}, "z", DType::F32, {2}, TensorKind::Intermediate, OpId{5}}));
  EXPECT_EQ(graph.tensors[1], (Tensor{TensorId{1}, "w", DType::F32, {4, 4}, TensorKind::Weight, std::nullopt}));
}

TEST(GraphIdsTest, AnOperationMayBeNamedByAStringHeldInTheSameGraph) {
  Graph graph;
  // A short name is stored inside the tensor record, so it moves with the record.
  const TensorId x = graph.input("in", {4});
  graph.tensors.shrink_to_fit();  // the next tensor moves every existing one
  const auto y = graph.gelu(graph.tensors[x.index].name, x);
  ASSERT_TRUE(y.has_value());
  EXPECT_EQ(graph.tensors[y->index].name, "in");
  EXPECT_EQ(graph.ops[0].name, "in");
}

TEST(TensorTest, ElementsAndByteSizeNeverWrap) {
  constexpr std::uint64_t two_32 = std::uint64_t{1} << 32;
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    Shape shape;
    std::uint64_t elements;
    std::optional<std::uint64_t> bytes;
  };
  const Case cases[] = {
      {{}, 1, 4},
      {{32, 64}, 2048, 8192},
      {{0, 4}, 0, 0},
      {{7}, 7, 28},
      {{std::uint64_t{1} << 61, 2}, std::uint64_t{1} << 62, std::nullopt},  // bytes alone overflow
      {{two_32, two_32}, max, std::nullopt},                                // elements overflow
      {{two_32, two_32, 0}, 0, 0},                                          // a zero extent wins
  };
  for (const Case& c : cases) {
    Tensor tensor{TensorId{0}, "t", DType::F32, c.shape, TensorKind::Input, std::nullopt};
    SCOPED_TRACE(to_string(tensor));
    EXPECT_EQ(tensor.elements(), c.elements);
    EXPECT_EQ(tensor.byte_size(), c.bytes);
  }
  EXPECT_EQ(DType{}.size(), 4U);
}

// A small valid graph: x [2, 2], w [2, 2], y = x * w marked as output.
Graph valid_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId w = graph.weight("w", {2, 2});
  const TensorId y = *graph.matmul("y", x, w);
  (void)graph.mark_output(y);
  return graph;
}

TEST(GraphValidateTest, ChecksTensorsThenOperationsThenOutputs) {
  struct Case {
    std::string label;
    std::function<void(Graph&)> damage;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {"valid", [](Graph&) {}, std::nullopt},
      {"empty graph", [](Graph& g) { g = Graph{}; }, "graph has no outputs"},
      {"no outputs", [](Graph& g) { g.outputs.clear(); }, "graph has no outputs"},
      {"zero extent", [](Graph& g) { g.tensors[1].shape = {0, 4}; }, "invalid tensor w"},
      {"empty shape", [](Graph& g) { g.tensors[0].shape = {}; }, "invalid tensor x"},
      {"wrong tensor id", [](Graph& g) { g.tensors[1].id = TensorId{0}; }, "invalid tensor w"},
      {"bytes overflow 64 bits", [](Graph& g) { g.tensors[0].shape = {std::uint64_t{1} << 62, 4}; },
       "invalid tensor x"},
      {"elements overflow 64 bits",
       [](Graph& g) { g.tensors[1].shape = {std::uint64_t{1} << 40, std::uint64_t{1} << 40}; }, "invalid tensor w"},
      {"wrong op id", [](Graph& g) { g.ops[0].id = OpId{3}; }, "invalid op y"},
      {"op input unknown", [](Graph& g) { g.ops[0].inputs.push_back(TensorId{3}); }, "invalid op y"},
      {"op output unknown", [](Graph& g) { g.ops[0].output = TensorId{3}; }, "invalid op y"},
      {"output not produced by its op", [](Graph& g) { g.tensors[2].producer = std::nullopt; }, "invalid op y"},
      {"output produced by another op", [](Graph& g) { g.tensors[2].producer = OpId{1}; }, "invalid op y"},
      {"outputs entry names no tensor", [](Graph& g) { g.outputs.push_back(TensorId{3}); },
       "graph output names unknown tensor 3"},
      {"first failing tensor in list order", [](Graph& g) {
         g.tensors[0].shape = {};
         g.tensors[1].shape = {0};
       },
       "invalid tensor x"},
      {"tensors before ops", [](Graph& g) {
         g.ops[0].id = OpId{9};
         g.tensors[2].shape = {0};
       },
       "invalid tensor y"},
      {"ops before missing outputs", [](Graph& g) {
         g.ops[0].id = OpId{9};
         g.outputs.clear();
       },
       "invalid op y"},
      {"missing outputs before nothing else", [](Graph& g) {
         g.tensors[2].kind = TensorKind::Intermediate;
         g.outputs.clear();
       },
       "graph has no outputs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Graph graph = valid_graph();
    c.damage(graph);
    const Graph before = graph;
    const auto result = graph.validate();
    EXPECT_EQ(graph, before);
    if (c.error) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), CompileError::graph(*c.error));
    } else {
      EXPECT_TRUE(result.has_value()) << result.error();
    }
  }
}

TEST(GraphValidateTest, ATensorWithAZeroExtentCanBeBuiltButNotValidated) {
  Graph graph;
  const TensorId empty = graph.input("empty", {0, 4});
  ASSERT_TRUE(graph.mark_output(empty).has_value());
  EXPECT_EQ(graph.validate().error(), CompileError::graph("invalid tensor empty"));
}

TEST(OperationNameTest, NamesEveryKind) {
  struct Case {
    OpKind kind;
    std::string_view name;
  };
  const Case cases[] = {
      {{OpKind::MatMul{}}, "matmul"},          {{OpKind::Add{}}, "add"},
      {{OpKind::Mul{}}, "mul"},                {{OpKind::Reshape{{1}}}, "reshape"},
      {{OpKind::Transpose{{1, 0}}}, "transpose"}, {{OpKind::LayerNorm{1e-5F}}, "layer_norm"},
      {{OpKind::Softmax{1}}, "softmax"},       {{OpKind::Gelu{}}, "gelu"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].kind.value.index(), i) << "variant order";
    EXPECT_EQ(tessal_compiler::operation_name(cases[i].kind), cases[i].name);
  }
  EXPECT_EQ(static_cast<int>(TensorKind::Input), 0);
  EXPECT_EQ(static_cast<int>(TensorKind::Output), 3);
}

TEST(GraphDebugTextTest, RecordsPrintTheirTypeAndFieldsInOrder) {
  EXPECT_EQ(to_string(TensorId{3}), "TensorId(3)");
  EXPECT_EQ(to_string(OpId{3}), "OpId(3)");
  EXPECT_EQ(to_string(DType{DType::F32}), "F32");
  EXPECT_EQ(to_string(DType::F32), "F32");
  EXPECT_EQ(to_string(TensorKind::Intermediate), "Intermediate");
  EXPECT_EQ(to_string(OpKind{OpKind::MatMul{}}), "MatMul");
  EXPECT_EQ(to_string(OpKind{OpKind::Gelu{}}), "Gelu");
  EXPECT_EQ(to_string(OpKind{OpKind::LayerNorm{1e-5F}}), "LayerNorm { epsilon: 1e-05 }");
  EXPECT_EQ(to_string(OpKind{OpKind::Transpose{{1, 0}}}), "Transpose { permutation: [1, 0] }");
  EXPECT_EQ(to_string(OpKind{OpKind::Softmax{1}}), "Softmax { axis: 1 }");
  EXPECT_EQ(to_string(OpKind{OpKind::Reshape{{4, 2}}}), "Reshape { shape: [4, 2] }");

  Graph graph;
  const TensorId x = graph.input("x", {2});
  ASSERT_TRUE(graph.mark_output(*graph.gelu("g", x)).has_value());
  EXPECT_EQ(to_string(graph),
            "Graph { tensors: ["
            "Tensor { id: TensorId(0), name: \"x\", dtype: F32, shape: [2], kind: Input, producer: None }, "
            "Tensor { id: TensorId(1), name: \"g\", dtype: F32, shape: [2], kind: Output, producer: Some(OpId(0)) }], "
            "ops: [Op { id: OpId(0), name: \"g\", kind: Gelu, inputs: [TensorId(0)], output: TensorId(1) }], "
            "outputs: [TensorId(1)] }");
}

}  // namespace

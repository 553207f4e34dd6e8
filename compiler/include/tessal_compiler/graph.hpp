#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tessal_compiler/error.hpp"

namespace tessal_compiler {

// Position of a tensor in Graph::tensors.
struct TensorId {
  std::uint64_t index = 0;
  friend auto operator<=>(const TensorId&, const TensorId&) = default;
};

// Position of an operation in Graph::ops.
struct OpId {
  std::uint64_t index = 0;
  friend auto operator<=>(const OpId&, const OpId&) = default;
};

std::ostream& operator<<(std::ostream& out, TensorId id);  // TensorId(3)
std::ostream& operator<<(std::ostream& out, OpId id);      // OpId(3)

// Element type; F32 is the only one.
struct DType {
  enum Value : std::uint8_t { F32 };
  Value value = F32;

  constexpr DType(Value value = F32) noexcept : value(value) {}
  // Bytes per element.
  [[nodiscard]] constexpr std::uint64_t size() const noexcept { return 4; }
  friend constexpr bool operator==(DType, DType) = default;
};

std::ostream& operator<<(std::ostream& out, DType dtype);
// The bare enumerator prints its name too, not as a character.
std::ostream& operator<<(std::ostream& out, DType::Value dtype);

enum class TensorKind : std::uint8_t { Input, Weight, Intermediate, Output };

std::ostream& operator<<(std::ostream& out, TensorKind kind);

struct Tensor {
  TensorId id;
  std::string name;
  DType dtype;
  std::vector<std::uint64_t> shape;
  TensorKind kind = TensorKind::Input;
  std::optional<OpId> producer;

  // Product of the extents (1 for an empty shape); saturates at the largest
  // 64-bit value on overflow, which Graph::validate rules out for a valid graph.
  [[nodiscard]] std::uint64_t elements() const;
  // Elements times the element size, or nothing when that overflows 64 bits.
  [[nodiscard]] std::optional<std::uint64_t> byte_size() const;

  friend bool operator==(const Tensor&, const Tensor&) = default;
};

std::ostream& operator<<(std::ostream& out, const Tensor& tensor);

struct OpKind {
  struct MatMul {
    friend bool operator==(const MatMul&, const MatMul&) = default;
  };
  struct Add {
    friend bool operator==(const Add&, const Add&) = default;
  };
  struct Mul {
    friend bool operator==(const Mul&, const Mul&) = default;
  };
  struct Reshape {
    std::vector<std::uint64_t> shape;
    friend bool operator==(const Reshape&, const Reshape&) = default;
  };
  struct Transpose {
    std::vector<std::uint64_t> permutation;
    friend bool operator==(const Transpose&, const Transpose&) = default;
  };
  struct LayerNorm {
    float epsilon = 0.0F;
    friend bool operator==(const LayerNorm&, const LayerNorm&) = default;
  };
  struct Softmax {
    std::uint64_t axis = 0;
    friend bool operator==(const Softmax&, const Softmax&) = default;
  };
  struct Gelu {
    friend bool operator==(const Gelu&, const Gelu&) = default;
  };

  // Alternatives in the fixed variant order: index() is the variant's number.
  std::variant<MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu> value;

  friend bool operator==(const OpKind&, const OpKind&) = default;
};

std::ostream& operator<<(std::ostream& out, const OpKind& kind);

// Lower-case name of an operation kind, as used in kernel specialization keys.
[[nodiscard]] std::string_view operation_name(const OpKind& kind);

struct Op {
  OpId id;
  std::string name;
  OpKind kind;
  std::vector<TensorId> inputs;
  TensorId output;

  friend bool operator==(const Op&, const Op&) = default;
};

std::ostream& operator<<(std::ostream& out, const Op& op);

// A dataflow graph of f32 tensors. The builders assign every id and check
// shapes as operations are added; a failed builder call leaves the graph unchanged.
struct Graph {
  std::vector<Tensor> tensors;
  std::vector<Op> ops;
  std::vector<TensorId> outputs;

  TensorId input(std::string_view name, std::vector<std::uint64_t> shape);
  TensorId weight(std::string_view name, std::vector<std::uint64_t> shape);
  TensorId tensor(std::string_view name, std::vector<std::uint64_t> shape, TensorKind kind,
                  std::optional<OpId> producer);

  [[nodiscard]] std::expected<TensorId, CompileError> op(std::string_view name, OpKind kind,
                                                         std::vector<TensorId> inputs,
                                                         std::vector<std::uint64_t> shape);
  [[nodiscard]] std::expected<TensorId, CompileError> binary(std::string_view name, OpKind kind, TensorId left,
                                                             TensorId right);
  [[nodiscard]] std::expected<TensorId, CompileError> add(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] std::expected<TensorId, CompileError> matmul(std::string_view name, TensorId left, TensorId right);
  [[nodiscard]] std::expected<TensorId, CompileError> transpose(std::string_view name, TensorId input,
                                                                std::vector<std::uint64_t> permutation);
  [[nodiscard]] std::expected<TensorId, CompileError> layer_norm(std::string_view name, TensorId input,
                                                                 float epsilon);
  [[nodiscard]] std::expected<TensorId, CompileError> softmax(std::string_view name, TensorId input,
                                                              std::uint64_t axis);
  [[nodiscard]] std::expected<TensorId, CompileError> gelu(std::string_view name, TensorId input);
  [[nodiscard]] std::expected<void, CompileError> mark_output(TensorId tensor);

  [[nodiscard]] std::expected<void, CompileError> validate() const;

  friend bool operator==(const Graph&, const Graph&) = default;
};

std::ostream& operator<<(std::ostream& out, const Graph& graph);

}  // namespace tessal_compiler

template <>
struct std::hash<tessal_compiler::TensorId> {
  std::size_t operator()(const tessal_compiler::TensorId& id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};

template <>
struct std::hash<tessal_compiler::OpId> {
  std::size_t operator()(const tessal_compiler::OpId& id) const noexcept {
    return std::hash<std::uint64_t>{}(id.index);
  }
};

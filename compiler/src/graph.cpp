#include "tessal_compiler/graph.hpp"

#include <limits>
#include <utility>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_compiler {

namespace {

using tessal_exchange::debug_text::StructWriter;

[[nodiscard]] CompileError builder_error(std::string_view name, std::string_view what) {
  std::string message(name);
  message += what;
  return CompileError::graph(std::move(message));
}

[[nodiscard]] std::string shape_text(const std::vector<std::uint64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  text += ']';
  return text;
}

// Product of the extents, or nothing when it does not fit 64 bits. A zero
// extent makes the product 0 whatever the other extents are.
[[nodiscard]] std::optional<std::uint64_t> checked_product(const std::vector<std::uint64_t>& shape) {
  std::uint64_t product = 1;
  bool overflowed = false;
  for (const std::uint64_t extent : shape) {
    if (extent == 0) return 0;
    if (!overflowed && __builtin_mul_overflow(product, extent, &product)) overflowed = true;
  }
  if (overflowed) return std::nullopt;
  return product;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, TensorId id) { return out << "TensorId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, OpId id) { return out << "OpId(" << id.index << ')'; }

std::ostream& operator<<(std::ostream& out, DType dtype) {
  switch (dtype.value) {
    case DType::F32: return out << "F32";
  }
  return out << "DType(" << static_cast<unsigned>(dtype.value) << ')';
}

std::ostream& operator<<(std::ostream& out, DType::Value dtype) { return out << DType{dtype}; }

std::ostream& operator<<(std::ostream& out, TensorKind kind) {
  switch (kind) {
    case TensorKind::Input: return out << "Input";
    case TensorKind::Weight: return out << "Weight";
    case TensorKind::Intermediate: return out << "Intermediate";
    case TensorKind::Output: return out << "Output";
  }
  return out << "TensorKind(" << static_cast<unsigned>(kind) << ')';
}

std::uint64_t Tensor::elements() const {
  return checked_product(shape).value_or(std::numeric_limits<std::uint64_t>::max());
}

std::optional<std::uint64_t> Tensor::byte_size() const {
  const std::optional<std::uint64_t> count = checked_product(shape);
  if (!count) return std::nullopt;
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(*count, dtype.size(), &bytes)) return std::nullopt;
  return bytes;
}

std::ostream& operator<<(std::ostream& out, const Tensor& tensor) {
  StructWriter(out, "Tensor")
      .field("id", tensor.id)
      .field("name", tensor.name)
      .field("dtype", tensor.dtype)
      .field("shape", tensor.shape)
      .field("kind", tensor.kind)
      .field("producer", tensor.producer);
  return out;
}

std::ostream& operator<<(std::ostream& out, const OpKind& kind) {
  std::visit(
      [&out](const auto& alternative) {
        using T = std::decay_t<decltype(alternative)>;
        if constexpr (std::is_same_v<T, OpKind::MatMul>) {
          out << "MatMul";
        } else if constexpr (std::is_same_v<T, OpKind::Add>) {
          out << "Add";
        } else if constexpr (std::is_same_v<T, OpKind::Mul>) {
          out << "Mul";
        } else if constexpr (std::is_same_v<T, OpKind::Reshape>) {
          StructWriter(out, "Reshape").field("shape", alternative.shape);
        } else if constexpr (std::is_same_v<T, OpKind::Transpose>) {
          StructWriter(out, "Transpose").field("permutation", alternative.permutation);
        } else if constexpr (std::is_same_v<T, OpKind::LayerNorm>) {
          StructWriter(out, "LayerNorm").field("epsilon", alternative.epsilon);
        } else if constexpr (std::is_same_v<T, OpKind::Softmax>) {
          StructWriter(out, "Softmax").field("axis", alternative.axis);
        } else {
          static_assert(std::is_same_v<T, OpKind::Gelu>);
          out << "Gelu";
        }
      },
      kind.value);
  return out;
}

std::string_view operation_name(const OpKind& kind) {
  static constexpr std::string_view names[] = {"matmul",    "add",        "mul",     "reshape",
                                               "transpose", "layer_norm", "softmax", "gelu"};
  static_assert(std::size(names) == std::variant_size_v<decltype(OpKind::value)>);
  return names[kind.value.index()];
}

std::ostream& operator<<(std::ostream& out, const Op& op) {
  StructWriter(out, "Op")
      .field("id", op.id)
      .field("name", op.name)
      .field("kind", op.kind)
      .field("inputs", op.inputs)
      .field("output", op.output);
  return out;
}

TensorId Graph::input(std::string_view name, std::vector<std::uint64_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Input, std::nullopt);
}

TensorId Graph::weight(std::string_view name, std::vector<std::uint64_t> shape) {
  return tensor(name, std::move(shape), TensorKind::Weight, std::nullopt);
}

TensorId Graph::tensor(std::string_view name, std::vector<std::uint64_t> shape, TensorKind kind,
                       std::optional<OpId> producer) {
  const TensorId id{tensors.size()};
  tensors.push_back(Tensor{
      .id = id,
      .name = std::string(name),
      .dtype = DType::F32,
      .shape = std::move(shape),
      .kind = kind,
      .producer = producer,
  });
  return id;
}

std::expected<TensorId, CompileError> Graph::op(std::string_view name, OpKind kind, std::vector<TensorId> inputs,
                                                std::vector<std::uint64_t> shape) {
  for (const TensorId input : inputs) {
    if (input.index >= tensors.size()) return std::unexpected(builder_error(name, ": unknown input"));
  }
  // Copied first: `name` may view a string inside this graph, which appending can move.
  std::string op_name(name);
  const OpId id{ops.size()};
  const TensorId output = tensor(op_name, std::move(shape), TensorKind::Intermediate, id);
  ops.push_back(Op{
      .id = id,
      .name = std::move(op_name),
      .kind = std::move(kind),
      .inputs = std::move(inputs),
      .output = output,
  });
  return output;
}

std::expected<TensorId, CompileError> Graph::binary(std::string_view name, OpKind kind, TensorId left,
                                                    TensorId right) {
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(builder_error(name, ": unknown input"));
  }
  // Copied before op() appends to `tensors`, which may reallocate it.
  std::vector<std::uint64_t> shape = tensors[left.index].shape;
  if (shape != tensors[right.index].shape) return std::unexpected(builder_error(name, ": binary shapes differ"));
  return op(name, std::move(kind), {left, right}, std::move(shape));
}

std::expected<TensorId, CompileError> Graph::add(std::string_view name, TensorId left, TensorId right) {
  return binary(name, OpKind{OpKind::Add{}}, left, right);
}

std::expected<TensorId, CompileError> Graph::matmul(std::string_view name, TensorId left, TensorId right) {
  if (left.index >= tensors.size() || right.index >= tensors.size()) {
    return std::unexpected(builder_error(name, ": unknown input"));
  }
  const std::vector<std::uint64_t>& left_shape = tensors[left.index].shape;
  const std::vector<std::uint64_t>& right_shape = tensors[right.index].shape;
  if (left_shape.size() != 2 || right_shape.size() != 2 || left_shape[1] != right_shape[0]) {
    return std::unexpected(CompileError::graph(std::string(name) + ": incompatible matmul " +
                                               shape_text(left_shape) + " x " + shape_text(right_shape)));
  }
  std::vector<std::uint64_t> shape{left_shape[0], right_shape[1]};
  return op(name, OpKind{OpKind::MatMul{}}, {left, right}, std::move(shape));
}

std::expected<TensorId, CompileError> Graph::transpose(std::string_view name, TensorId input,
                                                       std::vector<std::uint64_t> permutation) {
  if (input.index >= tensors.size()) return std::unexpected(builder_error(name, ": unknown input"));
  const std::vector<std::uint64_t>& input_shape = tensors[input.index].shape;
  const std::size_t rank = input_shape.size();
  // Every entry below the rank, none repeated and as many as the rank: a permutation.
  bool valid = permutation.size() == rank;
  std::vector<bool> seen(rank, false);
  for (std::size_t i = 0; valid && i < permutation.size(); ++i) {
    const std::uint64_t axis = permutation[i];
    if (axis >= rank || seen[axis]) {
      valid = false;
    } else {
      seen[axis] = true;
    }
  }
  if (!valid) return std::unexpected(builder_error(name, ": invalid transpose permutation"));
  std::vector<std::uint64_t> shape;
  shape.reserve(rank);
  for (const std::uint64_t axis : permutation) shape.push_back(input_shape[axis]);
  return op(name, OpKind{OpKind::Transpose{std::move(permutation)}}, {input}, std::move(shape));
}

std::expected<TensorId, CompileError> Graph::layer_norm(std::string_view name, TensorId input, float epsilon) {
  if (input.index >= tensors.size()) return std::unexpected(builder_error(name, ": unknown input"));
  std::vector<std::uint64_t> shape = tensors[input.index].shape;
  return op(name, OpKind{OpKind::LayerNorm{epsilon}}, {input}, std::move(shape));
}

std::expected<TensorId, CompileError> Graph::softmax(std::string_view name, TensorId input, std::uint64_t axis) {
  if (input.index >= tensors.size()) return std::unexpected(builder_error(name, ": unknown input"));
  std::vector<std::uint64_t> shape = tensors[input.index].shape;
  if (axis >= shape.size()) return std::unexpected(builder_error(name, ": softmax axis out of range"));
  return op(name, OpKind{OpKind::Softmax{axis}}, {input}, std::move(shape));
}

std::expected<TensorId, CompileError> Graph::gelu(std::string_view name, TensorId input) {
  if (input.index >= tensors.size()) return std::unexpected(builder_error(name, ": unknown input"));
  std::vector<std::uint64_t> shape = tensors[input.index].shape;
  return op(name, OpKind{OpKind::Gelu{}}, {input}, std::move(shape));
}

std::expected<void, CompileError> Graph::mark_output(TensorId id) {
  if (id.index >= tensors.size()) {
    return std::unexpected(CompileError::graph("mark_output: unknown tensor " + std::to_string(id.index)));
  }
  tensors[id.index].kind = TensorKind::Output;
  outputs.push_back(id);
  return {};
}

std::expected<void, CompileError> Graph::validate() const {
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    const Tensor& tensor = tensors[i];
    // A zero extent, and a byte size beyond 64 bits, both leave no usable storage size.
    const std::optional<std::uint64_t> bytes = tensor.byte_size();
    if (tensor.id.index != i || tensor.shape.empty() || !bytes || *bytes == 0) {
      return std::unexpected(CompileError::graph("invalid tensor " + tensor.name));
    }
  }
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    bool valid = op.id.index == i && op.output.index < tensors.size();
    for (const TensorId input : op.inputs) valid = valid && input.index < tensors.size();
    valid = valid && tensors[op.output.index].producer == std::optional<OpId>(op.id);
    if (!valid) return std::unexpected(CompileError::graph("invalid op " + op.name));
  }
  if (outputs.empty()) return std::unexpected(CompileError::graph("graph has no outputs"));
  for (const TensorId output : outputs) {
    if (output.index >= tensors.size()) {
      return std::unexpected(CompileError::graph("graph output names unknown tensor " + std::to_string(output.index)));
    }
  }
  return {};
}

std::ostream& operator<<(std::ostream& out, const Graph& graph) {
  StructWriter(out, "Graph").field("tensors", graph.tensors).field("ops", graph.ops).field("outputs", graph.outputs);
  return out;
}

}  // namespace tessal_compiler

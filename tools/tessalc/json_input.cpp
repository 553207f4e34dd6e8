#include "tessalc/json_input.hpp"

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tessalc {

namespace tc = tessal_compiler;
using Json = nlohmann::json;

namespace {

template <class T>
using Read = std::expected<T, InputError>;

// A JSON path as a chain of steps on the stack; rendered only for an error.
// A path refers to its parent, so it must not outlive it.
class JsonPath {
 public:
  JsonPath() = default;

  [[nodiscard]] JsonPath member(std::string_view name) const { return JsonPath(this, name, 0); }
  [[nodiscard]] JsonPath element(std::size_t index) const { return JsonPath(this, {}, index); }

  [[nodiscard]] std::string text() const {
    if (parent_ == nullptr) return {};
    std::string prefix = parent_->text();
    if (!name_.empty()) return prefix.empty() ? std::string(name_) : prefix + "." + std::string(name_);
    return prefix + "[" + std::to_string(index_) + "]";
  }

  [[nodiscard]] std::unexpected<InputError> error(std::string message) const {
    return std::unexpected(InputError{text(), std::move(message)});
  }

 private:
  JsonPath(const JsonPath* parent, std::string_view name, std::size_t index)
      : parent_(parent), name_(name), index_(index) {}

  const JsonPath* parent_ = nullptr;
  std::string_view name_;
  std::size_t index_ = 0;
};

std::string json_quoted(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// What a mistyped value is, for messages: its type, and for numbers the value.
std::string describe(const Json& value) {
  if (value.is_number()) return "number " + value.dump();
  if (value.is_string()) return "string " + json_quoted(value.get_ref<const std::string&>());
  return value.type_name();
}

Read<const Json*> as_object(const Json& value, const JsonPath& path) {
  if (!value.is_object()) return path.error("expected an object, found " + describe(value));
  return &value;
}

Read<const Json*> as_array(const Json& value, const JsonPath& path) {
  if (!value.is_array()) return path.error("expected an array, found " + describe(value));
  return &value;
}

// The member `name` of an object that as_object accepted.
Read<const Json*> member(const Json& object, const JsonPath& path, std::string_view name) {
  const auto found = object.find(name);
  if (found == object.end()) return path.member(name).error("missing field");
  return &*found;
}

Read<std::string> read_string(const Json& value, const JsonPath& path) {
  if (!value.is_string()) return path.error("expected a string, found " + describe(value));
  return value.get<std::string>();
}

template <std::unsigned_integral T>
Read<T> read_unsigned(const Json& value, const JsonPath& path) {
  // Values built in memory may hold non-negative integers as signed numbers.
  const bool unsigned_integer =
      value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
  if (!unsigned_integer) {
    // The parser keeps integers past 64 bits as floating-point numbers.
    if (value.is_number_float() && value.get<double>() >= 18446744073709551616.0) {
      return path.error("expected an unsigned integer, found " + value.dump() + ", which does not fit 64 bits");
    }
    return path.error("expected an unsigned integer, found " + describe(value));
  }
  const std::uint64_t number = value.get<std::uint64_t>();
  if (number > std::numeric_limits<T>::max()) {
    return path.error(std::to_string(number) + " does not fit an unsigned " +
                      std::to_string(std::numeric_limits<T>::digits) + "-bit value (at most " +
                      std::to_string(std::numeric_limits<T>::max()) + ")");
  }
  return static_cast<T>(number);
}

Read<float> read_f32(const Json& value, const JsonPath& path) {
  if (!value.is_number()) return path.error("expected a number, found " + describe(value));
  const double number = value.get<double>();
  if (!std::isfinite(number) || std::fabs(number) > static_cast<double>(std::numeric_limits<float>::max())) {
    return path.error(value.dump() + " is outside the range of a 32-bit float");
  }
  return static_cast<float>(number);
}

// A list read entry by entry with `read_entry(value, path)`.
template <class T, class ReadEntry>
Read<std::vector<T>> read_list(const Json& value, const JsonPath& path, ReadEntry read_entry) {
  const auto array = as_array(value, path);
  if (!array) return std::unexpected(array.error());
  std::vector<T> entries;
  entries.reserve((*array)->size());
  for (std::size_t index = 0; index < (*array)->size(); ++index) {
    auto entry = read_entry((**array)[index], path.element(index));
    if (!entry) return std::unexpected(entry.error());
    entries.push_back(std::move(*entry));
  }
  return entries;
}

template <std::unsigned_integral T>
Read<std::vector<T>> read_unsigned_list(const Json& value, const JsonPath& path) {
  return read_list<T>(value, path, [](const Json& entry, const JsonPath& at) { return read_unsigned<T>(entry, at); });
}

Read<std::vector<tc::TensorId>> read_tensor_ids(const Json& value, const JsonPath& path) {
  return read_list<tc::TensorId>(value, path, [](const Json& entry, const JsonPath& at) -> Read<tc::TensorId> {
    const auto index = read_unsigned<std::uint64_t>(entry, at);
    if (!index) return std::unexpected(index.error());
    return tc::TensorId{*index};
  });
}

// One of `names`, as the position of the name in the list.
Read<std::size_t> read_name(const Json& value, const JsonPath& path, std::string_view what,
                            std::span<const std::string_view> names) {
  const auto text = read_string(value, path);
  if (!text) return std::unexpected(text.error());
  for (std::size_t index = 0; index < names.size(); ++index) {
    if (*text == names[index]) return index;
  }
  std::string expected;
  for (std::size_t index = 0; index < names.size(); ++index) {
    expected += index == 0 ? "" : (index + 1 == names.size() ? " or " : ", ");
    expected += names[index];
  }
  return path.error("unknown " + std::string(what) + " " + json_quoted(*text) + " (expected " + expected + ")");
}

// The "kind" of a tagged object, which must be one of `names`.
Read<std::size_t> read_tag(const Json& object, const JsonPath& path, std::string_view what,
                           std::span<const std::string_view> names) {
  const auto tag = member(object, path, "kind");
  if (!tag) return std::unexpected(tag.error());
  return read_name(**tag, path.member("kind"), what, names);
}

// Reads the member `name` of `object` with `read(value, path)`.
template <class ReadValue>
auto field(const Json& object, const JsonPath& path, std::string_view name, ReadValue read)
    -> decltype(read(object, path)) {
  const auto value = member(object, path, name);
  if (!value) return std::unexpected(value.error());
  return read(**value, path.member(name));
}

constexpr auto u8 = [](const Json& value, const JsonPath& path) { return read_unsigned<std::uint8_t>(value, path); };
constexpr auto u16 = [](const Json& value, const JsonPath& path) { return read_unsigned<std::uint16_t>(value, path); };
constexpr auto u32 = [](const Json& value, const JsonPath& path) { return read_unsigned<std::uint32_t>(value, path); };
constexpr auto u64 = [](const Json& value, const JsonPath& path) { return read_unsigned<std::uint64_t>(value, path); };
constexpr auto string = [](const Json& value, const JsonPath& path) { return read_string(value, path); };
constexpr auto u16_list = [](const Json& value, const JsonPath& path) {
  return read_unsigned_list<std::uint16_t>(value, path);
};
constexpr auto u64_list = [](const Json& value, const JsonPath& path) {
  return read_unsigned_list<std::uint64_t>(value, path);
};
constexpr auto tensor_id = [](const Json& value, const JsonPath& path) -> Read<tc::TensorId> {
  const auto index = read_unsigned<std::uint64_t>(value, path);
  if (!index) return std::unexpected(index.error());
  return tc::TensorId{*index};
};
constexpr auto tensor_id_list = [](const Json& value, const JsonPath& path) { return read_tensor_ids(value, path); };

// Propagates the error of a Read, otherwise binds its value.
#define TESSALC_TRY(name, expression)                            \
  auto name##_read = (expression);                               \
  if (!name##_read) return std::unexpected(name##_read.error()); \
  auto& name = *name##_read

// ---- Graph ----

constexpr std::string_view tensor_kind_names[] = {"Input", "Weight", "Intermediate", "Output"};
constexpr std::string_view op_kind_names[] = {"MatMul",    "Add",       "Mul",     "Reshape",
                                              "Transpose", "LayerNorm", "Softmax", "Gelu"};
constexpr std::string_view dtype_names[] = {"F32"};

Read<tc::OpKind> read_op_kind(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tag, read_tag(*object, path, "operation kind", op_kind_names));
  switch (tag) {
    case 0: return tc::OpKind{tc::OpKind::MatMul{}};
    case 1: return tc::OpKind{tc::OpKind::Add{}};
    case 2: return tc::OpKind{tc::OpKind::Mul{}};
    case 3: {
      TESSALC_TRY(shape, field(*object, path, "shape", u64_list));
      return tc::OpKind{tc::OpKind::Reshape{std::move(shape)}};
    }
    case 4: {
      TESSALC_TRY(permutation, field(*object, path, "permutation", u64_list));
      return tc::OpKind{tc::OpKind::Transpose{std::move(permutation)}};
    }
    case 5: {
      TESSALC_TRY(epsilon, field(*object, path, "epsilon", read_f32));
      return tc::OpKind{tc::OpKind::LayerNorm{epsilon}};
    }
    case 6: {
      TESSALC_TRY(axis, field(*object, path, "axis", u64));
      return tc::OpKind{tc::OpKind::Softmax{axis}};
    }
    default: return tc::OpKind{tc::OpKind::Gelu{}};
  }
}

// Element count times element size, or nothing when it does not fit 64 bits.
std::optional<std::uint64_t> checked_byte_size(std::span<const std::uint64_t> shape) {
  for (const std::uint64_t extent : shape) {
    if (extent == 0) return 0;
  }
  std::uint64_t bytes = tc::DType{}.size();
  for (const std::uint64_t extent : shape) {
    if (__builtin_mul_overflow(bytes, extent, &bytes)) return std::nullopt;
  }
  return bytes;
}

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::string text = "[";
  for (std::size_t index = 0; index < shape.size(); ++index) {
    text += (index == 0 ? "" : ", ") + std::to_string(shape[index]);
  }
  return text + "]";
}

// The tensor fields of a file entry, before the builder makes the tensor.
struct TensorEntry {
  std::string name;
  std::vector<std::uint64_t> shape;
  tc::TensorKind kind = tc::TensorKind::Input;
  std::optional<std::uint64_t> producer;
};

Read<TensorEntry> read_tensor_entry(const Json& value, const JsonPath& path, std::uint64_t position) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(id, field(*object, path, "id", u64));
  if (id != position) {
    return path.member("id").error("expected " + std::to_string(position) + ", found " + std::to_string(id) +
                                   " (tensors are listed in id order)");
  }
  TESSALC_TRY(name, field(*object, path, "name", string));
  TESSALC_TRY(dtype, field(*object, path, "dtype", [](const Json& entry, const JsonPath& at) {
                return read_name(entry, at, "dtype", dtype_names);
              }));
  static_cast<void>(dtype);
  TESSALC_TRY(shape, field(*object, path, "shape", u64_list));
  if (!checked_byte_size(shape)) {
    return path.member("shape").error("the size of " + shape_text(shape) + " (elements x 4 bytes) overflows 64 bits");
  }
  TESSALC_TRY(kind, field(*object, path, "kind", [](const Json& entry, const JsonPath& at) {
                return read_name(entry, at, "tensor kind", tensor_kind_names);
              }));
  TESSALC_TRY(producer_value, member(*object, path, "producer"));
  std::optional<std::uint64_t> producer;
  if (!producer_value->is_null()) {
    TESSALC_TRY(producer_index, read_unsigned<std::uint64_t>(*producer_value, path.member("producer")));
    producer = producer_index;
  }
  return TensorEntry{std::move(name), std::move(shape), static_cast<tc::TensorKind>(kind), producer};
}

// Creates tensor `position` through its operation ops[producer], as the builder does.
Read<void> build_produced_tensor(tc::Graph& graph, const Json& ops, const JsonPath& ops_path, const TensorEntry& tensor,
                                 const JsonPath& tensor_path, std::uint64_t position) {
  const std::uint64_t producer = *tensor.producer;
  const std::uint64_t next_op = graph.ops.size();
  if (producer >= ops.size()) {
    return tensor_path.member("producer")
        .error("operation " + std::to_string(producer) + " does not exist (ops has " + std::to_string(ops.size()) +
               " entries)");
  }
  if (producer != next_op) {
    return tensor_path.member("producer")
        .error("expected operation " + std::to_string(next_op) + ", found " + std::to_string(producer) +
               " (operations are created in the order of the tensors they produce)");
  }

  const JsonPath op_path = ops_path.element(producer);
  TESSALC_TRY(op, as_object(ops[producer], op_path));
  TESSALC_TRY(id, field(*op, op_path, "id", u64));
  if (id != producer) {
    return op_path.member("id").error("expected " + std::to_string(producer) + ", found " + std::to_string(id) +
                                      " (ops are listed in id order)");
  }
  TESSALC_TRY(name, field(*op, op_path, "name", string));
  TESSALC_TRY(kind, field(*op, op_path, "kind", read_op_kind));
  TESSALC_TRY(inputs, field(*op, op_path, "inputs", tensor_id_list));
  TESSALC_TRY(output, field(*op, op_path, "output", tensor_id));
  for (std::size_t index = 0; index < inputs.size(); ++index) {
    if (inputs[index].index >= graph.tensors.size()) {
      return op_path.member("inputs").element(index).error(
          "tensor " + std::to_string(inputs[index].index) + " does not exist when the operation is created (only " +
          std::to_string(graph.tensors.size()) + " tensors precede its output)");
    }
  }
  if (output.index != position) {
    return op_path.member("output").error("expected tensor " + std::to_string(position) +
                                          ", the tensor that names this operation as its producer, found " +
                                          std::to_string(output.index));
  }
  if (name != tensor.name) {
    return tensor_path.member("name").error(json_quoted(tensor.name) + " differs from its producer's name " +
                                            json_quoted(name) + " (an operation's result bears its name)");
  }
  const auto built = graph.op(name, std::move(kind), std::move(inputs), tensor.shape);
  if (!built) return op_path.error(built.error().message);
  return {};
}

Read<tc::Graph> read_graph(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tensors, member(*object, path, "tensors"));
  TESSALC_TRY(ops, member(*object, path, "ops"));
  TESSALC_TRY(outputs_value, member(*object, path, "outputs"));
  const JsonPath tensors_path = path.member("tensors");
  const JsonPath ops_path = path.member("ops");
  TESSALC_TRY(tensor_list, as_array(*tensors, tensors_path));
  TESSALC_TRY(op_list, as_array(*ops, ops_path));

  tc::Graph graph;
  std::vector<tc::TensorKind> file_kinds;
  file_kinds.reserve(tensor_list->size());
  for (std::uint64_t position = 0; position < tensor_list->size(); ++position) {
    const JsonPath tensor_path = tensors_path.element(position);
    TESSALC_TRY(tensor, read_tensor_entry((*tensor_list)[position], tensor_path, position));
    file_kinds.push_back(tensor.kind);
    if (!tensor.producer) {
      static_cast<void>(graph.tensor(tensor.name, tensor.shape, tensor.kind, std::nullopt));
      continue;
    }
    if (auto built = build_produced_tensor(graph, *op_list, ops_path, tensor, tensor_path, position); !built) {
      return std::unexpected(built.error());
    }
  }
  if (graph.ops.size() < op_list->size()) {
    return ops_path.element(graph.ops.size())
        .error("no tensor names operation " + std::to_string(graph.ops.size()) + " as its producer");
  }

  const JsonPath outputs_path = path.member("outputs");
  TESSALC_TRY(outputs, read_tensor_ids(*outputs_value, outputs_path));
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    if (outputs[index].index >= graph.tensors.size()) {
      return outputs_path.element(index).error("tensor " + std::to_string(outputs[index].index) +
                                               " does not exist (the graph has " +
                                               std::to_string(graph.tensors.size()) + " tensors)");
    }
    if (auto marked = graph.mark_output(outputs[index]); !marked) {
      return outputs_path.element(index).error(marked.error().message);
    }
  }

  // Marking an output makes its tensor an Output; the file must say what the builder made.
  for (std::size_t position = 0; position < graph.tensors.size(); ++position) {
    const tc::TensorKind built = graph.tensors[position].kind;
    if (built != file_kinds[position]) {
      return tensors_path.element(position).member("kind").error(
          "the file says " + std::string(tensor_kind_names[static_cast<std::size_t>(file_kinds[position])]) +
          " but the graph makes it " + std::string(tensor_kind_names[static_cast<std::size_t>(built)]) +
          (built == tc::TensorKind::Output ? " (it is listed in outputs)" : " (it is not listed in outputs)"));
    }
  }
  return graph;
}

// ---- Schedule ----

constexpr std::string_view sharding_names[] = {"Replicated", "Rows", "Columns", "Heads"};
constexpr std::string_view phase_kind_names[] = {"Compute", "Exchange"};
constexpr std::string_view allocation_kind_names[] = {"Home", "ExchangeStaging"};
constexpr std::string_view role_names[] = {"body", "tail"};

Read<tc::Layout> read_layout(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tensor, field(*object, path, "tensor", tensor_id));
  TESSALC_TRY(tiles, field(*object, path, "tiles", u16_list));
  TESSALC_TRY(sharding, field(*object, path, "sharding", [](const Json& entry, const JsonPath& at) {
                return read_name(entry, at, "sharding", sharding_names);
              }));
  TESSALC_TRY(alignment, field(*object, path, "alignment", u32));
  return tc::Layout{tensor, std::move(tiles), static_cast<tc::Sharding>(sharding), alignment};
}

Read<tc::SpecializationKey> read_specialization(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(operation, field(*object, path, "operation", string));
  TESSALC_TRY(shape, field(*object, path, "shape", u64_list));
  TESSALC_TRY(worker_count, field(*object, path, "worker_count", u8));
  TESSALC_TRY(role, field(*object, path, "role", [](const Json& entry, const JsonPath& at) {
                return read_name(entry, at, "role", role_names);
              }));
  TESSALC_TRY(alignment, field(*object, path, "alignment", u32));
  return tc::SpecializationKey{std::move(operation), std::move(shape), worker_count, std::string(role_names[role]),
                               alignment};
}

Read<tc::KernelCommand> read_kernel_command(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tile, field(*object, path, "tile", u16));
  TESSALC_TRY(output, field(*object, path, "output", tensor_id));
  TESSALC_TRY(inputs, field(*object, path, "inputs", tensor_id_list));
  TESSALC_TRY(specialization, field(*object, path, "specialization", read_specialization));
  return tc::KernelCommand{tile, output, std::move(inputs), std::move(specialization)};
}

Read<tc::Transfer> read_transfer(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tensor, field(*object, path, "tensor", tensor_id));
  TESSALC_TRY(bytes, field(*object, path, "bytes", u32));
  TESSALC_TRY(source_tile, field(*object, path, "source_tile", u16));
  TESSALC_TRY(destination_tile, field(*object, path, "destination_tile", u16));
  return tc::Transfer{tensor, bytes, source_tile, destination_tile};
}

Read<tc::Phase> read_phase(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tag, read_tag(*object, path, "phase kind", phase_kind_names));
  if (tag == 0) {
    TESSALC_TRY(op, field(*object, path, "op", u64));
    TESSALC_TRY(commands, field(*object, path, "commands", [](const Json& entry, const JsonPath& at) {
                  return read_list<tc::KernelCommand>(entry, at, read_kernel_command);
                }));
    return tc::Phase{tc::Phase::Compute{tc::OpId{op}, std::move(commands)}};
  }
  TESSALC_TRY(transfers, field(*object, path, "transfers", [](const Json& entry, const JsonPath& at) {
                return read_list<tc::Transfer>(entry, at, read_transfer);
              }));
  return tc::Phase{tc::Phase::Exchange{std::move(transfers)}};
}

Read<tc::AllocationKind> read_allocation_kind(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tag, read_tag(*object, path, "allocation kind", allocation_kind_names));
  if (tag == 0) return tc::AllocationKind{tc::AllocationKind::Home{}};
  TESSALC_TRY(phase, field(*object, path, "phase", u64));
  return tc::AllocationKind{tc::AllocationKind::ExchangeStaging{phase}};
}

Read<tc::Allocation> read_allocation(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(tensor, field(*object, path, "tensor", tensor_id));
  TESSALC_TRY(tile, field(*object, path, "tile", u16));
  TESSALC_TRY(address, field(*object, path, "address", u32));
  TESSALC_TRY(size, field(*object, path, "size", u32));
  TESSALC_TRY(live_from, field(*object, path, "live_from", u64));
  TESSALC_TRY(live_until, field(*object, path, "live_until", u64));
  TESSALC_TRY(kind, field(*object, path, "kind", read_allocation_kind));
  return tc::Allocation{tensor, tile, address, size, live_from, live_until, std::move(kind)};
}

// A tile number written as a decimal object key, without sign or leading zeros.
Read<std::uint16_t> read_tile_key(const std::string& key, const JsonPath& path) {
  const bool canonical = !key.empty() && key.size() <= 5 && (key == "0" || key.front() != '0') &&
                         key.find_first_not_of("0123456789") == std::string::npos;
  if (!canonical || std::stoul(key) > std::numeric_limits<std::uint16_t>::max()) {
    return path.error("key " + json_quoted(key) + " is not a tile number (decimal, 0 to 65535)");
  }
  return static_cast<std::uint16_t>(std::stoul(key));
}

Read<std::map<std::uint16_t, std::uint32_t>> read_peak_sram(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (const auto& [key, peak] : object->items()) {
    TESSALC_TRY(tile, read_tile_key(key, path));
    TESSALC_TRY(bytes, read_unsigned<std::uint32_t>(peak, path.member(key)));
    peaks.emplace(tile, bytes);
  }
  return peaks;
}

Read<tc::Schedule> read_schedule(const Json& value, const JsonPath& path) {
  TESSALC_TRY(object, as_object(value, path));
  TESSALC_TRY(layouts, field(*object, path, "layouts", [](const Json& entry, const JsonPath& at) {
                return read_list<tc::Layout>(entry, at, read_layout);
              }));
  TESSALC_TRY(phases, field(*object, path, "phases", [](const Json& entry, const JsonPath& at) {
                return read_list<tc::Phase>(entry, at, read_phase);
              }));
  TESSALC_TRY(allocations, field(*object, path, "allocations", [](const Json& entry, const JsonPath& at) {
                return read_list<tc::Allocation>(entry, at, read_allocation);
              }));
  TESSALC_TRY(tile_count, field(*object, path, "tile_count", u16));
  TESSALC_TRY(peak_sram, field(*object, path, "peak_sram", read_peak_sram));
  return tc::Schedule{std::move(layouts), std::move(phases), std::move(allocations), tile_count, std::move(peak_sram)};
}

// ---- Parsing ----

// Builds the parsed value like the library's own parser, except that the
// top-level members that the file kind does not read are parsed but not kept.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(std::string_view unused_member) : unused_member_(unused_member) {}

  bool null() { return value(nullptr); }
  bool boolean(bool flag) { return value(flag); }
  bool number_integer(Json::number_integer_t number) { return value(number); }
  bool number_unsigned(Json::number_unsigned_t number) { return value(number); }
  bool number_float(Json::number_float_t number, const Json::string_t&) { return value(number); }
  bool string(Json::string_t& text) { return value(std::move(text)); }
  bool binary(Json::binary_t& bytes) { return value(std::move(bytes)); }

  bool start_object(std::size_t) { return start_container(Json::value_t::object); }
  bool end_object() { return end_container(); }
  bool start_array(std::size_t) { return start_container(Json::value_t::array); }
  bool end_array() { return end_container(); }

  bool key(Json::string_t& name) {
    if (skipping()) return true;
    if (stack_.size() == 1 && is_unused(name)) {
      skipping_member_ = true;
      return true;
    }
    member_ = &(*stack_.back())[name];
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    // Drop the library's "[json.exception.parse_error.101] " prefix.
    std::string_view message = error.what();
    if (const auto end = message.find("] "); message.starts_with("[json.exception") && end != std::string_view::npos) {
      message.remove_prefix(end + 2);
    }
    parse_error_message_ = message;
    return false;
  }

  [[nodiscard]] const std::string& parse_error_message() const { return parse_error_message_; }
  [[nodiscard]] Json take_document() { return std::move(document_); }

 private:
  [[nodiscard]] bool skipping() const { return skipping_member_; }

  [[nodiscard]] bool is_unused(std::string_view name) const {
    return name == unused_member_ || name == "lowered_exchanges" || name == "tile_programs" || name == "tile_commands";
  }

  template <class T>
  bool value(T&& scalar) {
    if (skipping()) {
      if (skipped_depth_ == 0) skipping_member_ = false;
      return true;
    }
    place(std::forward<T>(scalar));
    return true;
  }

  bool start_container(Json::value_t type) {
    if (skipping()) {
      ++skipped_depth_;
      return true;
    }
    stack_.push_back(place(type));
    return true;
  }

  bool end_container() {
    if (skipping()) {
      if (--skipped_depth_ == 0) skipping_member_ = false;
      return true;
    }
    stack_.pop_back();
    return true;
  }

  // Stores a new value where the parser stands: the document, the next array
  // element or the member whose key came last.
  template <class T>
  Json* place(T&& value) {
    if (stack_.empty()) {
      document_ = Json(std::forward<T>(value));
      return &document_;
    }
    if (stack_.back()->is_array()) {
      stack_.back()->emplace_back(std::forward<T>(value));
      return &stack_.back()->back();
    }
    *member_ = Json(std::forward<T>(value));
    return member_;
  }

  std::string_view unused_member_;
  Json document_;
  std::vector<Json*> stack_;
  Json* member_ = nullptr;
  bool skipping_member_ = false;
  std::size_t skipped_depth_ = 0;
  std::string parse_error_message_;
};

#undef TESSALC_TRY

}  // namespace

std::ostream& operator<<(std::ostream& out, const InputError& error) {
  if (!error.path.empty()) out << error.path << ": ";
  return out << error.message;
}

std::expected<Json, InputError> parse_json(std::string_view text, InputFile file) {
  DocumentBuilder builder(file == InputFile::Graph ? "schedule" : "graph");
  if (!Json::sax_parse(text, &builder)) {
    return std::unexpected(InputError{{}, "invalid JSON: " + builder.parse_error_message()});
  }
  return builder.take_document();
}

std::expected<tc::Graph, InputError> graph_from_json(const Json& document) {
  const JsonPath root;
  if (!document.is_object())
    return root.error("expected a graph object or a whole document, found " + describe(document));
  const auto graph = document.find("graph");
  if (graph == document.end()) return read_graph(document, root);
  if (graph->is_null()) {
    return root.member("graph").error("the document holds no graph (it was made by lowering a schedule file)");
  }
  return read_graph(*graph, root.member("graph"));
}

std::expected<tc::Schedule, InputError> schedule_from_json(const Json& document) {
  const JsonPath root;
  if (!document.is_object()) {
    return root.error("expected a schedule object or a whole document, found " + describe(document));
  }
  const auto schedule = document.find("schedule");
  if (schedule == document.end()) return read_schedule(document, root);
  return read_schedule(*schedule, root.member("schedule"));
}

std::expected<void, InputError> check_tensor_sizes(const tc::Graph& graph) {
  for (std::size_t position = 0; position < graph.tensors.size(); ++position) {
    const tc::Tensor& tensor = graph.tensors[position];
    if (!checked_byte_size(tensor.shape)) {
      return std::unexpected(InputError{"tensors[" + std::to_string(position) + "].shape",
                                        "the size of tensor " + json_quoted(tensor.name) + " " +
                                            shape_text(tensor.shape) + " (elements x 4 bytes) overflows 64 bits"});
    }
  }
  return {};
}

}  // namespace tessalc

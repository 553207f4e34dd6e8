#include "tessalc/json_records.hpp"

#include <cstdint>
#include <sstream>
#include <string>
#include <variant>

namespace tessalc {

namespace tc = tessal_compiler;

namespace {

std::string_view kind_name(tc::TensorKind kind) {
  switch (kind) {
    case tc::TensorKind::Input: return "Input";
    case tc::TensorKind::Weight: return "Weight";
    case tc::TensorKind::Intermediate: return "Intermediate";
    case tc::TensorKind::Output: return "Output";
  }
  return "Input";
}

std::string_view sharding_name(tc::Sharding sharding) {
  switch (sharding) {
    case tc::Sharding::Replicated: return "Replicated";
    case tc::Sharding::Rows: return "Rows";
    case tc::Sharding::Columns: return "Columns";
    case tc::Sharding::Heads: return "Heads";
  }
  return "Replicated";
}

std::string_view addressing_name(tc::ExchangeAddressing addressing) {
  switch (addressing) {
    case tc::ExchangeAddressing::Relative: return "Relative";
    case tc::ExchangeAddressing::Absolute: return "Absolute";
  }
  return "Absolute";
}

std::string_view error_kind_name(tc::CompileError::Kind kind) {
  switch (kind) {
    case tc::CompileError::Kind::Graph: return "Graph";
    case tc::CompileError::Kind::Memory: return "Memory";
    case tc::CompileError::Kind::Exchange: return "Exchange";
  }
  return "Graph";
}

OrderedJson tensor_ids(const std::vector<tc::TensorId>& ids) {
  OrderedJson list = OrderedJson::array();
  for (const tc::TensorId id : ids) list.push_back(id.index);
  return list;
}

template <class Range>
OrderedJson plain_list(const Range& values) {
  OrderedJson list = OrderedJson::array();
  for (const auto value : values) list.push_back(value);
  return list;
}

template <class T>
OrderedJson plain_list_or_value(const T& value) {
  if constexpr (requires { value.begin(); }) {
    return plain_list(value);
  } else {
    return OrderedJson(value);
  }
}

// {"<tile>": value, ...} in ascending tile order, as the ordered map iterates.
template <class Map>
OrderedJson tile_keyed(const Map& map) {
  OrderedJson object = OrderedJson::object();
  for (const auto& [tile, value] : map) object[std::to_string(tile)] = plain_list_or_value(value);
  return object;
}

// Compact text; names that are not valid UTF-8 are written with replacement
// characters rather than failing the whole document.
std::string compact(const OrderedJson& json) {
  return json.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

template <class T>
std::string debug_string(const T& value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Writes `"name": [` then one entry per line, each indented under the list.
template <class Range>
void write_entries(std::ostream& out, std::string_view indent, const Range& entries) {
  out << '[';
  bool first = true;
  for (const auto& entry : entries) {
    out << (first ? "\n" : ",\n") << indent << "  " << compact(to_json(entry));
    first = false;
  }
  if (!first) out << '\n' << indent;
  out << ']';
}

}  // namespace

OrderedJson to_json(const tc::Tensor& tensor) {
  OrderedJson json;
  json["id"] = tensor.id.index;
  json["name"] = tensor.name;
  json["dtype"] = "F32";
  json["shape"] = plain_list(tensor.shape);
  json["kind"] = kind_name(tensor.kind);
  json["producer"] = tensor.producer ? OrderedJson(tensor.producer->index) : OrderedJson(nullptr);
  return json;
}

OrderedJson to_json(const tc::OpKind& kind) {
  return std::visit(
      [](const auto& variant) -> OrderedJson {
        using T = std::decay_t<decltype(variant)>;
        OrderedJson json;
        if constexpr (std::is_same_v<T, tc::OpKind::MatMul>) {
          json["kind"] = "MatMul";
        } else if constexpr (std::is_same_v<T, tc::OpKind::Add>) {
          json["kind"] = "Add";
        } else if constexpr (std::is_same_v<T, tc::OpKind::Mul>) {
          json["kind"] = "Mul";
        } else if constexpr (std::is_same_v<T, tc::OpKind::Reshape>) {
          json["kind"] = "Reshape";
          json["shape"] = plain_list(variant.shape);
        } else if constexpr (std::is_same_v<T, tc::OpKind::Transpose>) {
          json["kind"] = "Transpose";
          json["permutation"] = plain_list(variant.permutation);
        } else if constexpr (std::is_same_v<T, tc::OpKind::LayerNorm>) {
          json["kind"] = "LayerNorm";
          // The exact double value of the f32, so that reading it back and
          // rounding to f32 gives the same epsilon.
          json["epsilon"] = static_cast<double>(variant.epsilon);
        } else if constexpr (std::is_same_v<T, tc::OpKind::Softmax>) {
          json["kind"] = "Softmax";
          json["axis"] = variant.axis;
        } else {
          static_assert(std::is_same_v<T, tc::OpKind::Gelu>);
          json["kind"] = "Gelu";
        }
        return json;
      },
      kind.value);
}

OrderedJson to_json(const tc::Op& op) {
  OrderedJson json;
  json["id"] = op.id.index;
  json["name"] = op.name;
  json["kind"] = to_json(op.kind);
  json["inputs"] = tensor_ids(op.inputs);
  json["output"] = op.output.index;
  return json;
}

OrderedJson to_json(const tc::Graph& graph) {
  OrderedJson json;
  json["tensors"] = OrderedJson::array();
  for (const tc::Tensor& tensor : graph.tensors) json["tensors"].push_back(to_json(tensor));
  json["ops"] = OrderedJson::array();
  for (const tc::Op& op : graph.ops) json["ops"].push_back(to_json(op));
  json["outputs"] = tensor_ids(graph.outputs);
  return json;
}

OrderedJson to_json(const tc::Layout& layout) {
  OrderedJson json;
  json["tensor"] = layout.tensor.index;
  json["tiles"] = plain_list(layout.tiles);
  json["sharding"] = sharding_name(layout.sharding);
  json["alignment"] = layout.alignment;
  return json;
}

OrderedJson to_json(const tc::SpecializationKey& key) {
  OrderedJson json;
  json["operation"] = key.operation;
  json["shape"] = plain_list(key.shape);
  json["worker_count"] = key.worker_count;
  json["role"] = key.role;
  json["alignment"] = key.alignment;
  return json;
}

OrderedJson to_json(const tc::KernelCommand& command) {
  OrderedJson json;
  json["tile"] = command.tile;
  json["output"] = command.output.index;
  json["inputs"] = tensor_ids(command.inputs);
  json["specialization"] = to_json(command.specialization);
  return json;
}

OrderedJson to_json(const tc::Transfer& transfer) {
  OrderedJson json;
  json["tensor"] = transfer.tensor.index;
  json["bytes"] = transfer.bytes;
  json["source_tile"] = transfer.source_tile;
  json["destination_tile"] = transfer.destination_tile;
  return json;
}

OrderedJson to_json(const tc::Phase& phase) {
  OrderedJson json;
  if (const tc::Phase::Compute* compute = phase.compute()) {
    json["kind"] = "Compute";
    json["op"] = compute->op.index;
    json["commands"] = OrderedJson::array();
    for (const tc::KernelCommand& command : compute->commands) json["commands"].push_back(to_json(command));
  } else if (const tc::Phase::Exchange* exchange = phase.exchange()) {
    json["kind"] = "Exchange";
    json["transfers"] = OrderedJson::array();
    for (const tc::Transfer& transfer : exchange->transfers) json["transfers"].push_back(to_json(transfer));
  }
  return json;
}

OrderedJson to_json(const tc::Allocation& allocation) {
  OrderedJson json;
  json["tensor"] = allocation.tensor.index;
  json["tile"] = allocation.tile;
  json["address"] = allocation.address;
  json["size"] = allocation.size;
  json["live_from"] = allocation.live_from;
  json["live_until"] = allocation.live_until;
  OrderedJson kind;
  if (const tc::AllocationKind::ExchangeStaging* staging = allocation.kind.staging()) {
    kind["kind"] = "ExchangeStaging";
    kind["phase"] = staging->phase;
  } else {
    kind["kind"] = "Home";
  }
  json["kind"] = std::move(kind);
  return json;
}

OrderedJson to_json(const tc::Schedule& schedule) {
  OrderedJson json;
  json["layouts"] = OrderedJson::array();
  for (const tc::Layout& layout : schedule.layouts) json["layouts"].push_back(to_json(layout));
  json["phases"] = OrderedJson::array();
  for (const tc::Phase& phase : schedule.phases) json["phases"].push_back(to_json(phase));
  json["allocations"] = OrderedJson::array();
  for (const tc::Allocation& allocation : schedule.allocations) json["allocations"].push_back(to_json(allocation));
  json["tile_count"] = schedule.tile_count;
  json["peak_sram"] = tile_keyed(schedule.peak_sram);
  return json;
}

OrderedJson to_json(const tc::ExchangeCost& cost) {
  OrderedJson json;
  json["launches"] = cost.launches;
  json["estimated_cycles"] = cost.estimated_cycles;
  json["payload_words"] = cost.payload_words;
  return json;
}

OrderedJson to_json(const tc::LoweredExchangeGroup& group) {
  OrderedJson json;
  json["source_tile"] = group.source_tile;
  json["destination_tiles"] = plain_list(group.destination_tiles);
  json["tensor"] = group.tensor.index;
  json["bytes"] = group.bytes;
  json["addressing"] = addressing_name(group.addressing);
  json["sender"] = plain_list(group.sender);
  json["receivers"] = OrderedJson::array();
  for (const tessal_exchange::ExchangeRow& row : group.receivers) json["receivers"].push_back(plain_list(row));
  return json;
}

OrderedJson to_json(const tc::LoweredExchangeEpoch& epoch) {
  OrderedJson json;
  json["groups"] = OrderedJson::array();
  for (const tc::LoweredExchangeGroup& group : epoch.groups) json["groups"].push_back(to_json(group));
  json["tile_rows"] = tile_keyed(epoch.tile_rows);
  json["cost"] = to_json(epoch.cost);
  return json;
}

OrderedJson to_json(const tc::LoweredExchangePhase& phase) {
  OrderedJson json;
  json["phase"] = phase.phase;
  json["epochs"] = OrderedJson::array();
  for (const tc::LoweredExchangeEpoch& epoch : phase.epochs) json["epochs"].push_back(to_json(epoch));
  json["cost"] = to_json(phase.cost);
  return json;
}

OrderedJson to_json(const tc::LoweredTileStep& step) {
  OrderedJson json;
  if (const tc::LoweredTileStep::Compute* compute = step.compute()) {
    json["kind"] = "Compute";
    json["op"] = compute->op.index;
    json["input_addresses"] = plain_list(compute->input_addresses);
    json["output_address"] = compute->output_address;
    json["specialization"] = to_json(compute->specialization);
  } else if (const tc::LoweredTileStep::Exchange* exchange = step.exchange()) {
    json["kind"] = "Exchange";
    json["phase"] = exchange->phase;
    json["epoch"] = exchange->epoch;
    json["row"] = plain_list(exchange->row);
  }
  return json;
}

OrderedJson to_json(const tc::LoweredTileProgram& program) {
  OrderedJson json;
  json["tile"] = program.tile;
  json["steps"] = OrderedJson::array();
  for (const tc::LoweredTileStep& step : program.steps) json["steps"].push_back(to_json(step));
  return json;
}

OrderedJson to_json(std::span<const tc::EncodedTileCommand> commands) {
  OrderedJson json = OrderedJson::array();
  for (const tc::EncodedTileCommand& command : commands) json.push_back(plain_list(command.words));
  return json;
}

void write_document(std::ostream& out, const DocumentView& document) {
  out << "{\n  \"graph\": ";
  if (document.graph == nullptr) {
    out << "null";
  } else {
    out << "{\n    \"tensors\": ";
    write_entries(out, "    ", document.graph->tensors);
    out << ",\n    \"ops\": ";
    write_entries(out, "    ", document.graph->ops);
    out << ",\n    \"outputs\": " << compact(tensor_ids(document.graph->outputs)) << "\n  }";
  }

  const tc::Schedule& schedule = *document.schedule;
  out << ",\n  \"schedule\": {\n    \"layouts\": ";
  write_entries(out, "    ", schedule.layouts);
  out << ",\n    \"phases\": ";
  write_entries(out, "    ", schedule.phases);
  out << ",\n    \"allocations\": ";
  write_entries(out, "    ", schedule.allocations);
  out << ",\n    \"tile_count\": " << schedule.tile_count;
  out << ",\n    \"peak_sram\": " << compact(tile_keyed(schedule.peak_sram)) << "\n  }";

  out << ",\n  \"lowered_exchanges\": ";
  write_entries(out, "  ", document.lowered_exchanges);
  out << ",\n  \"tile_programs\": ";
  write_entries(out, "  ", document.tile_programs);
  out << ",\n  \"tile_commands\": [";
  bool first = true;
  for (const std::vector<tc::EncodedTileCommand>& commands : document.tile_commands) {
    out << (first ? "\n    " : ",\n    ") << compact(to_json(commands));
    first = false;
  }
  if (!first) out << "\n  ";
  out << "]\n}\n";
}

OrderedJson error_document(std::string_view stage, const tc::CompileError& error) {
  OrderedJson details;
  details["stage"] = stage;
  details["kind"] = error_kind_name(error.kind);
  details["message"] = error.kind == tc::CompileError::Kind::Exchange ? debug_string(error.exchange) : error.message;
  details["debug"] = debug_string(error);
  OrderedJson json;
  json["error"] = std::move(details);
  return json;
}

}  // namespace tessalc

// tessalc: the command-line compiler. It reads graph and schedule files,
// drives the compiler libraries and writes their results; the libraries
// themselves do no I/O.
//
// Exit status: 0 on success, 1 when a compiler stage fails, 2 for usage and
// input errors. Every failure is one line on standard error.

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <expected>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "tessal_compiler/tessal_compiler.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessalc/json_input.hpp"
#include "tessalc/json_records.hpp"
#include "tessalc/number_option.hpp"
#include "tessalc/output_files.hpp"
#include "tessalc/pipeline.hpp"

namespace {

namespace tc = tessal_compiler;
namespace logging = tessal_exchange::logging;

constexpr int exit_compile_failure = 1;
constexpr int exit_usage = 2;

// A usage or input error: the one line to print.
struct UsageError {
  std::string message;
};

template <class T>
using Checked = std::expected<T, UsageError>;

int report_usage(const UsageError& error) {
  std::cerr << "tessalc: " << error.message << '\n';
  return exit_usage;
}

// Prints each library event as one line on standard error.
class StderrSubscriber final : public logging::Subscriber {
 public:
  void on_event(const logging::Event& event) override { std::cerr << logging::format_event(event) << '\n'; }
};

// Option values as typed on the command line; empty when not given.
struct EncoderFlags {
  std::string sequence;
  std::string hidden;
  std::string heads;
  std::string feed_forward;
};

struct CompilerFlags {
  std::string tiles;
  std::string exchange_base;
  std::string exchange_limit;
  std::string data_base;
  std::string data_limit;
};

struct OutputFlags {
  std::string json;
  std::string commands;
};

void add_encoder_options(CLI::App& command, EncoderFlags& flags) {
  const tc::EncoderConfig defaults;
  command.add_option("--sequence", flags.sequence, "token rows (default " + std::to_string(defaults.sequence) + ")")
      ->type_name("N");
  command.add_option("--hidden", flags.hidden, "model width (default " + std::to_string(defaults.hidden) + ")")
      ->type_name("N");
  command.add_option("--heads", flags.heads, "attention heads (default " + std::to_string(defaults.heads) + ")")
      ->type_name("N");
  command
      .add_option("--feed-forward", flags.feed_forward,
                  "feed-forward width (default " + std::to_string(defaults.feed_forward) + ")")
      ->type_name("N");
}

void add_output_options(CLI::App& command, OutputFlags& flags) {
  command
      .add_option("--json", flags.json, "write the whole result as one JSON document to FILE ('-': standard output)")
      ->type_name("FILE");
  command.add_option("--commands", flags.commands, "write tile-<n>.bin, each tile's 32-byte commands, into DIR")
      ->type_name("DIR");
}

// Sets `target` from `text` when the option was given.
template <class T>
Checked<void> set_number(T& target, std::string_view option, const std::string& text) {
  if (text.empty()) return {};
  const auto value = tessalc::parse_number_as<T>(option, text);
  if (!value) return std::unexpected(UsageError{value.error()});
  target = *value;
  return {};
}

Checked<tc::EncoderConfig> encoder_config(const EncoderFlags& flags) {
  tc::EncoderConfig config;
  for (const auto& [target, option, text] :
       {std::tuple{&config.sequence, "--sequence", &flags.sequence},
        std::tuple{&config.hidden, "--hidden", &flags.hidden}, std::tuple{&config.heads, "--heads", &flags.heads},
        std::tuple{&config.feed_forward, "--feed-forward", &flags.feed_forward}}) {
    if (auto set = set_number(*target, option, *text); !set) return std::unexpected(set.error());
  }
  return config;
}

Checked<tc::CompilerOptions> compiler_options(const CompilerFlags& flags) {
  tc::CompilerOptions options;
  if (auto set = set_number(options.tile_count, "--tiles", flags.tiles); !set) return std::unexpected(set.error());
  for (const auto& [target, option, text] :
       {std::tuple{&options.exchange_base, "--exchange-base", &flags.exchange_base},
        std::tuple{&options.exchange_limit, "--exchange-limit", &flags.exchange_limit},
        std::tuple{&options.data_base, "--data-base", &flags.data_base},
        std::tuple{&options.data_limit, "--data-limit", &flags.data_limit}}) {
    if (auto set = set_number(*target, option, *text); !set) return std::unexpected(set.error());
  }
  return options;
}

Checked<void> check_output_flags(const OutputFlags& flags) {
  if (flags.commands == "-") {
    return std::unexpected(
        UsageError{"--commands: give a directory; tile commands are not written to standard output"});
  }
  return {};
}

Checked<std::string> read_file(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return std::unexpected(UsageError{"cannot read " + path + ": it is a directory"});
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::unexpected(UsageError{"cannot read " + path + ": " + std::strerror(errno != 0 ? errno : ENOENT)});
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::unexpected(UsageError{"cannot read " + path + ": read failed"});
  return text;
}

Checked<nlohmann::json> read_json_file(const std::string& path, tessalc::InputFile file) {
  auto text = read_file(path);
  if (!text) return std::unexpected(text.error());
  auto json = tessalc::parse_json(*text, file);
  if (!json) return std::unexpected(UsageError{path + ": " + json.error().message});
  return std::move(*json);
}

std::string input_error(const std::string& path, const tessalc::InputError& error) {
  std::ostringstream text;
  text << path << ": " << error;
  return text.str();
}

std::string debug_text(const tc::CompileError& error) {
  std::ostringstream text;
  text << error;
  return text.str();
}

// Writes the requested outputs of a successful run, or the summary when none was requested.
int write_results(const tessalc::PipelineResult& result, const OutputFlags& flags, std::string_view heading) {
  if (flags.json.empty() && flags.commands.empty()) {
    std::cout << heading;
    tessalc::write_summary(std::cout, result);
    return 0;
  }
  if (!flags.json.empty()) {
    const tessalc::DocumentView document{result.graph ? &*result.graph : nullptr, &result.schedule,
                                         result.lowered_exchanges, result.tile_programs, result.tile_commands};
    const auto written =
        tessalc::write_output(flags.json, [&](std::ostream& out) { tessalc::write_document(out, document); });
    if (!written) return report_usage(UsageError{written.error()});
  }
  if (!flags.commands.empty()) {
    const auto written = tessalc::write_command_files(flags.commands, result.tile_commands);
    if (!written) return report_usage(UsageError{written.error()});
  }
  return 0;
}

// Reports a failed stage: its debug text on standard error, the error document in --json.
int report_failure(const tessalc::StageFailure& failure, const OutputFlags& flags) {
  std::cerr << "tessalc: " << failure.stage << " failed: " << debug_text(failure.error) << '\n';
  if (!flags.json.empty()) {
    const auto written = tessalc::write_output(flags.json, [&](std::ostream& out) {
      out << tessalc::error_document(failure.stage, failure.error).dump(2) << '\n';
    });
    if (!written) std::cerr << "tessalc: " << written.error() << '\n';
  }
  return exit_compile_failure;
}

// ---- tessalc compile ----

struct CompileFlags {
  std::string graph_file;
  bool encoder = false;
  EncoderFlags encoder_flags;
  std::string layers;
  CompilerFlags compiler;
  OutputFlags output;
};

Checked<std::uint64_t> layer_count(const std::string& text) {
  if (text.empty()) return 1;
  const auto layers = tessalc::parse_number("--layers", text, 65535);
  if (!layers) return std::unexpected(UsageError{layers.error()});
  if (*layers == 0) return std::unexpected(UsageError{"--layers: '" + text + "' is out of range (at least 1)"});
  return *layers;
}

int run_compile(const CompileFlags& flags) {
  if (flags.encoder == !flags.graph_file.empty()) {
    return report_usage(UsageError{flags.encoder ? "compile: give either a graph file or --encoder, not both"
                                                 : "compile: give a graph file or --encoder"});
  }
  if (!flags.encoder) {
    const EncoderFlags& encoder = flags.encoder_flags;
    for (const auto& [option, text] :
         {std::pair{"--sequence", &encoder.sequence}, std::pair{"--hidden", &encoder.hidden},
          std::pair{"--heads", &encoder.heads}, std::pair{"--feed-forward", &encoder.feed_forward},
          std::pair{"--layers", &flags.layers}}) {
      if (!text->empty()) return report_usage(UsageError{std::string(option) + " needs --encoder"});
    }
  }
  const auto options = compiler_options(flags.compiler);
  if (!options) return report_usage(options.error());
  if (auto checked = check_output_flags(flags.output); !checked) return report_usage(checked.error());

  tessalc::PipelineResult result;
  std::string heading;
  if (flags.encoder) {
    const auto config = encoder_config(flags.encoder_flags);
    if (!config) return report_usage(config.error());
    const auto layers = layer_count(flags.layers);
    if (!layers) return report_usage(layers.error());
    auto graph =
        tessalc::timed(result.timings, "encoder_graph", [&] { return tc::encoder_stack_graph(*config, *layers); });
    if (!graph) return report_failure({"encoder_graph", std::move(graph.error())}, flags.output);
    if (auto sized = tessalc::check_tensor_sizes(*graph); !sized) {
      return report_usage(UsageError{"encoder dimensions too large: " + sized.error().message});
    }
    result.graph = std::move(*graph);
    heading = "graph:          encoder, sequence " + std::to_string(config->sequence) + ", hidden " +
              std::to_string(config->hidden) + ", heads " + std::to_string(config->heads) + ", feed_forward " +
              std::to_string(config->feed_forward) + ", " + std::to_string(*layers) +
              (*layers == 1 ? " layer\n" : " layers\n");
  } else {
    auto graph = tessalc::timed(result.timings, "graph load", [&]() -> Checked<tc::Graph> {
      const auto json = read_json_file(flags.graph_file, tessalc::InputFile::Graph);
      if (!json) return std::unexpected(json.error());
      auto read = tessalc::graph_from_json(*json);
      if (!read) return std::unexpected(UsageError{input_error(flags.graph_file, read.error())});
      return std::move(*read);
    });
    if (!graph) return report_usage(graph.error());
    result.graph = std::move(*graph);
    heading = "graph:          " + flags.graph_file + '\n';
  }
  heading += "tiles:          " + std::to_string(options->tile_count) + '\n';

  if (auto lowered = tessalc::compile_and_lower(result, *options); !lowered) {
    return report_failure(lowered.error(), flags.output);
  }
  return write_results(result, flags.output, heading);
}

// ---- tessalc lower ----

struct LowerFlags {
  std::string schedule_file;
  OutputFlags output;
};

int run_lower(const LowerFlags& flags) {
  if (auto checked = check_output_flags(flags.output); !checked) return report_usage(checked.error());
  tessalc::PipelineResult result;
  auto schedule = tessalc::timed(result.timings, "schedule load", [&]() -> Checked<tc::Schedule> {
    const auto json = read_json_file(flags.schedule_file, tessalc::InputFile::Schedule);
    if (!json) return std::unexpected(json.error());
    auto read = tessalc::schedule_from_json(*json);
    if (!read) return std::unexpected(UsageError{input_error(flags.schedule_file, read.error())});
    return std::move(*read);
  });
  if (!schedule) return report_usage(schedule.error());
  result.schedule = std::move(*schedule);

  if (auto lowered = tessalc::lower(result); !lowered) return report_failure(lowered.error(), flags.output);
  const std::string heading = "schedule:       " + flags.schedule_file +
                              "\ntiles:          " + std::to_string(result.schedule.tile_count) + '\n';
  return write_results(result, flags.output, heading);
}

// ---- tessalc reference ----

struct ReferenceFlags {
  EncoderFlags encoder_flags;
  std::string input = "ramp";
  std::string output;
};

std::string float_text(float value) {
  char buffer[32];
  const auto [end, error] = std::to_chars(std::begin(buffer), std::end(buffer), value);
  return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

Checked<std::vector<float>> reference_input(const ReferenceFlags& flags, std::uint64_t elements) {
  if (flags.input == "ramp") {
    // The ramp of the end-to-end check: element i is (i - 9) / 16.
    std::vector<float> input(elements);
    for (std::uint64_t index = 0; index < elements; ++index) {
      input[index] = (static_cast<float>(index) - 9.0F) / 16.0F;
    }
    return input;
  }
  const auto bytes = read_file(flags.input);
  if (!bytes) return std::unexpected(bytes.error());
  if (bytes->size() != elements * sizeof(float)) {
    return std::unexpected(UsageError{flags.input + ": holds " + std::to_string(bytes->size()) + " bytes, expected " +
                                      std::to_string(elements * sizeof(float)) +
                                      " (sequence x hidden little-endian f32 values)"});
  }
  std::vector<float> input(elements);
  for (std::uint64_t index = 0; index < elements; ++index) {
    std::uint32_t word = 0;
    for (int byte = 3; byte >= 0; --byte) {
      word = (word << 8) | static_cast<unsigned char>((*bytes)[index * 4 + static_cast<std::uint64_t>(byte)]);
    }
    input[index] = std::bit_cast<float>(word);
  }
  return input;
}

int run_reference(const ReferenceFlags& flags) {
  const auto config = encoder_config(flags.encoder_flags);
  if (!config) return report_usage(config.error());
  std::uint64_t elements = 0;
  if (__builtin_mul_overflow(config->sequence, config->hidden, &elements) || elements > UINT64_MAX / sizeof(float)) {
    return report_usage(UsageError{"--sequence x --hidden overflows 64 bits"});
  }
  const auto input = reference_input(flags, elements);
  if (!input) return report_usage(input.error());

  const tc::EncoderWeights weights = tc::EncoderWeights::deterministic(*config);
  const auto outputs = tc::encoder_reference(*config, *input, weights);
  if (!outputs) {
    std::cerr << "tessalc: encoder_reference failed: " << debug_text(outputs.error()) << '\n';
    return exit_compile_failure;
  }

  if (!flags.output.empty()) {
    const auto written = tessalc::write_output(flags.output, [&](std::ostream& out) {
      for (const float value : *outputs) {
        const auto word = std::bit_cast<std::uint32_t>(value);
        const char bytes[4] = {static_cast<char>(word & 0xFF), static_cast<char>((word >> 8) & 0xFF),
                               static_cast<char>((word >> 16) & 0xFF), static_cast<char>((word >> 24) & 0xFF)};
        out.write(bytes, 4);
      }
    });
    if (!written) return report_usage(UsageError{written.error()});
    if (flags.output == "-") return 0;
  }

  float checksum = 0.0F;
  for (const float value : *outputs) checksum += value;
  std::cout << "config:         sequence " << config->sequence << ", hidden " << config->hidden << ", heads "
            << config->heads << ", feed_forward " << config->feed_forward << '\n';
  std::cout << "input:          " << flags.input << '\n';
  std::cout << "outputs:        " << outputs->size() << " values\n";
  std::cout << "checksum:       " << float_text(checksum) << '\n';
  std::cout << "first values:  ";
  for (std::size_t index = 0; index < outputs->size() && index < 8; ++index)
    std::cout << ' ' << float_text((*outputs)[index]);
  std::cout << '\n';
  return 0;
}

int run(int argc, char** argv) {
  CLI::App app{"tessalc: compiles tensor graphs for the many-tile board and writes schedules, programs and commands",
               "tessalc"};
  app.require_subcommand(1);
  app.fallthrough();
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "print the libraries' log events on standard error");

  CompileFlags compile_flags;
  CLI::App* compile = app.add_subcommand("compile", "compile a graph and lower it to tile programs and commands");
  compile->add_option("graph", compile_flags.graph_file, "graph file (a Graph object or a whole tessalc document)")
      ->type_name("FILE");
  compile->add_flag("--encoder", compile_flags.encoder, "compile the built-in transformer encoder graph");
  add_encoder_options(*compile, compile_flags.encoder_flags);
  compile->add_option("--layers", compile_flags.layers, "encoder layers stacked one after another (default 1)")
      ->type_name("N");
  const tc::CompilerOptions defaults;
  compile
      ->add_option("--tiles", compile_flags.compiler.tiles,
                   "tiles to use (default " + std::to_string(defaults.tile_count) + ")")
      ->type_name("N");
  compile->add_option("--exchange-base", compile_flags.compiler.exchange_base, "staging window start (default 0x50000)")
      ->type_name("N");
  compile->add_option("--exchange-limit", compile_flags.compiler.exchange_limit, "staging window end (default 0x58000)")
      ->type_name("N");
  compile->add_option("--data-base", compile_flags.compiler.data_base, "home window start (default 0x58000)")
      ->type_name("N");
  compile->add_option("--data-limit", compile_flags.compiler.data_limit, "home window end (default 0xe0000)")
      ->type_name("N");
  add_output_options(*compile, compile_flags.output);

  LowerFlags lower_flags;
  CLI::App* lower =
      app.add_subcommand("lower", "lower a schedule file as it stands: exchanges, tile programs, commands");
  lower
      ->add_option("schedule", lower_flags.schedule_file,
                   "schedule file (a Schedule object or a whole tessalc document)")
      ->type_name("FILE")
      ->required();
  add_output_options(*lower, lower_flags.output);

  ReferenceFlags reference_flags;
  CLI::App* reference = app.add_subcommand("reference", "evaluate one encoder layer on the host and print a checksum");
  add_encoder_options(*reference, reference_flags.encoder_flags);
  reference
      ->add_option("--input", reference_flags.input,
                   "'ramp' (element i = (i - 9) / 16, the default) or a file of little-endian f32 values")
      ->type_name("ramp|FILE");
  reference->add_option("--output", reference_flags.output, "write the outputs as little-endian f32 to FILE")
      ->type_name("FILE");

  // The only options before the command are the flags -v and -h, so the first
  // word that is not one of them names the command. Any other option there is
  // left to the parser, which names it; its value is no command.
  for (int index = 1; index < argc; ++index) {
    const std::string_view word = argv[index];
    const bool short_flags = word.size() > 1 && word.front() == '-' && word.find_first_not_of("vh", 1) == word.npos;
    if (short_flags || word == "--verbose" || word == "--help") continue;
    if (word.starts_with('-')) break;
    if (word != "compile" && word != "lower" && word != "reference") {
      return report_usage(UsageError{"unknown command '" + std::string(word) +
                                     "' (expected compile, lower or reference; see tessalc --help)"});
    }
    break;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help
    return report_usage(UsageError{std::string(error.what()) + " (see tessalc --help)"});
  }

  // An option given with an empty value would otherwise read as not given.
  for (const CLI::App* command : {compile, lower, reference}) {
    if (!command->parsed()) continue;
    for (const CLI::Option* option : command->get_options()) {
      if (option->get_items_expected_min() == 0) continue;
      for (const std::string& value : option->results()) {
        if (value.empty()) return report_usage(UsageError{option->get_name() + ": an empty value is not allowed"});
      }
    }
  }

  StderrSubscriber subscriber;
  std::optional<logging::ScopedSubscriber> logging_scope;
  if (verbose) logging_scope.emplace(subscriber);

  if (compile->parsed()) return run_compile(compile_flags);
  if (lower->parsed()) return run_lower(lower_flags);
  return run_reference(reference_flags);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "tessalc: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "tessalc: internal error: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "tessalc: internal error\n";
  }
  return exit_compile_failure;
}

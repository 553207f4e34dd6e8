// Builds the default encoder graph through the installed package.
#include <iostream>

#include <tessal_compiler/encoder.hpp>

int main() {
  const auto graph = tessal_compiler::encoder_graph(tessal_compiler::EncoderConfig{});
  if (!graph) {
    std::cerr << "encoder_graph failed: " << graph.error() << '\n';
    return 1;
  }
  if (const auto valid = graph->validate(); !valid) {
    std::cerr << "validate failed: " << valid.error() << '\n';
    return 1;
  }
  std::cout << "encoder graph: " << graph->tensors.size() << " tensors, " << graph->ops.size() << " operations\n";
  return graph->tensors.size() == 22 && graph->ops.size() == 15 ? 0 : 1;
}

#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <vector>

#include "tessal_exchange/instruction_words.hpp"

namespace tessal_exchange {

// Merges the exchange rows of one tile, each timed from cycle 0, into one
// program whose events keep their planned cycles, closed at a common horizon.
struct PlanProgramBuilder {
  std::vector<std::uint32_t> words{entry_word};
  std::uint32_t event_cycles = 0;

  [[nodiscard]] std::expected<void, ExchangeError> append_scheduled_row(const ExchangeRow& row);
  // Consumes the builder: the finished program ends exactly at `horizon`.
  [[nodiscard]] std::expected<std::vector<std::uint32_t>, ExchangeError> finish(std::uint32_t horizon) &&;

  friend bool operator==(const PlanProgramBuilder&, const PlanProgramBuilder&) = default;
};

std::ostream& operator<<(std::ostream& out, const PlanProgramBuilder& builder);

}  // namespace tessal_exchange

#include "tessal_exchange/program_builder.hpp"

#include <algorithm>
#include <limits>
#include <span>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_exchange {

namespace {

// The longest advance one delay word can hold (its 19-bit field plus one).
constexpr std::uint32_t longest_delay = 0x80000;

}  // namespace

std::expected<void, ExchangeError> PlanProgramBuilder::append_scheduled_row(const ExchangeRow& row) {
  if (row[0] != entry_word) return std::unexpected(ExchangeError::schedule("exchange row entry"));
  const auto row_return = std::find(row.begin(), row.end(), return_word);
  if (row_return == row.end()) return std::unexpected(ExchangeError::schedule("exchange row return"));

  // The body is worked on in a copy, so that a failure leaves the builder as it was.
  ExchangeRow body_words{};
  const auto body_end = std::copy(row.begin() + 1, row_return, body_words.begin());
  const std::span<std::uint32_t> body(body_words.begin(), body_end);

  if (event_cycles != 0) {
    // The row was timed from cycle 0; its first event must wait only for what
    // is left after the cycles the program already takes.
    const auto first_timed =
        std::find_if(body.begin(), body.end(), [](std::uint32_t word) { return instruction_advance(word) != 0; });
    if (first_timed == body.end()) return std::unexpected(ExchangeError::schedule("exchange row has no timed event"));
    const std::uint32_t advance = instruction_advance(*first_timed);
    if (advance <= event_cycles) return std::unexpected(ExchangeError::schedule("overlapping tile exchange roles"));
    if (auto shortened = set_instruction_advance(*first_timed, advance - event_cycles); !shortened) {
      return std::unexpected(shortened.error());
    }
  }

  // `event_cycles` is the total advance of `words`, so the new total is the
  // old one plus the body's; summing only the body keeps appends linear.
  const auto body_cycles = plan_event_cycles(body);
  if (!body_cycles) return std::unexpected(body_cycles.error());
  const std::uint64_t total = std::uint64_t{event_cycles} + *body_cycles;
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(ExchangeError::schedule("plan event horizon overflow"));
  }
  words.insert(words.end(), body.begin(), body.end());
  event_cycles = static_cast<std::uint32_t>(total);
  return {};
}

std::expected<std::vector<std::uint32_t>, ExchangeError> PlanProgramBuilder::finish(std::uint32_t horizon) && {
  if (horizon < event_cycles) return std::unexpected(ExchangeError::schedule("plan horizon precedes tile events"));
  // One delay holds at most 0x80000 cycles; longer fills take several.
  std::uint32_t fill = horizon - event_cycles;
  words.reserve(words.size() + fill / longest_delay + 2);
  for (; fill > longest_delay; fill -= longest_delay) {
    words.push_back(delay(longest_delay - 1));
  }
  if (fill > 0) words.push_back(delay(fill - 1));
  words.push_back(return_word);
  return std::move(words);
}

std::ostream& operator<<(std::ostream& out, const PlanProgramBuilder& builder) {
  debug_text::StructWriter(out, "PlanProgramBuilder")
      .field("words", builder.words)
      .field("event_cycles", builder.event_cycles);
  return out;
}

}  // namespace tessal_exchange

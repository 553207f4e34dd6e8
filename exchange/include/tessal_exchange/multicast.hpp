#pragma once

#include <ostream>
#include <vector>

#include "tessal_exchange/instruction_words.hpp"

namespace tessal_exchange {

// One planned multicast: the sender's row and one row per receiver, in the
// order of the receivers asked for. Built by Topology::multicast.
struct MulticastPlan {
  ExchangeRow sender{};
  std::vector<ExchangeRow> receivers;

  friend bool operator==(const MulticastPlan&, const MulticastPlan&) = default;
};

std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan);

}  // namespace tessal_exchange

#include "tessal_exchange/multicast.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/topology.hpp"

namespace tessal_exchange {

namespace {

// Start and receive cycles must fit the 12-bit advance of an XPIC delay.
constexpr std::int64_t last_exchange_cycle = 4095;
// Multicast sends leave the sender in this direction.
constexpr std::uint32_t multicast_direction = 3;
// Words carried by one send; the rest go in a send-off.
constexpr std::uint32_t words_per_send = 64;
// A sender row lasts at least this many cycles; shorter sends get a tail delay.
constexpr std::uint32_t shortest_sender_row = 6;
// The c field of a receiver row's data XPIC delays.
constexpr std::uint32_t receive_port = 1600;

// The logical tiles already taking part in one multicast, as a bitmap over the
// topology's logical numbers. Boards of up to 2048 tiles use the inline words,
// so planning costs no allocation beyond the plan itself.
class TileSet {
 public:
  explicit TileSet(std::uint64_t tile_count) {
    const std::uint64_t addressable = std::min<std::uint64_t>(tile_count, std::uint64_t{1} << 16);
    const std::size_t word_count = static_cast<std::size_t>((addressable + 63) / 64);
    if (word_count > inline_words_.size()) {
      heap_words_.assign(word_count, 0);
      words_ = heap_words_.data();
    }
  }
  TileSet(const TileSet&) = delete;
  TileSet& operator=(const TileSet&) = delete;

  // Adds `logical`, which must be below the tile count; false when it was
  // already in the set.
  bool insert(std::uint16_t logical) {
    std::uint64_t& word = words_[logical / 64U];
    const std::uint64_t bit = std::uint64_t{1} << (logical % 64U);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
  }

 private:
  std::array<std::uint64_t, 32> inline_words_{};
  std::vector<std::uint64_t> heap_words_;
  std::uint64_t* words_ = inline_words_.data();
};

// Entry word, optional lead delay so the send begins at `start`, the send (and
// a send-off for the words beyond the first 64), a tail delay that brings
// short rows up to six cycles, and the return word.
[[nodiscard]] std::expected<ExchangeRow, ExchangeError> sender_row(std::uint32_t start, std::uint32_t count) {
  auto send = encode_send(std::min(count, words_per_send) - 1, multicast_direction, 0);
  if (!send) return std::unexpected(send.error());
  ExchangeRow row{};
  std::size_t next = 0;
  row[next++] = entry_word;
  if (start >= 1) row[next++] = delay(start - 1);
  row[next++] = *send;
  if (count > words_per_send) row[next++] = send_off(count - words_per_send - 1, multicast_direction, 0);
  if (start + count < shortest_sender_row) row[next++] = delay(shortest_sender_row - 1 - start - count);
  row[next] = return_word;
  return row;
}

// Waits until `receive` for the data from `sender_physical`, receives `count`
// words into the receive window (the marked PIC delay) and waits out the
// fabric's latency. `row_term` is twice the receiver's tile row.
[[nodiscard]] ExchangeRow receiver_row(std::uint32_t receive, std::uint32_t row_term, std::uint16_t sender_physical,
                                       std::uint32_t count) {
  ExchangeRow row{};
  row[0] = entry_word;
  row[1] = delay_xpic(receive, 0, sender_physical);
  if (count <= 51) {
    row[2] = delay_xpic(count - 1, 0, receive_port);
    row[3] = delay_pic(51 - count + row_term, 0, 0) | receive_mark;
    row[4] = delay(count + 4);
  } else if (count == 52) {
    row[2] = delay_pic(row_term + 50, 0, 0) | receive_mark;
    row[3] = delay_xpic(0, 0, receive_port);
    row[4] = delay(56);
  } else {
    row[2] = delay_pic(row_term + 51, 0, 0) | receive_mark;
    row[3] = delay_xpic(count - 53, 0, receive_port);
    row[4] = delay(56);
  }
  row[5] = return_word;
  return row;
}

}  // namespace

std::expected<MulticastPlan, ExchangeError> Topology::multicast(std::uint16_t sender_logical,
                                                                std::span<const std::uint16_t> receivers,
                                                                std::uint32_t count,
                                                                std::uint32_t schedule_offset) const {
  if (auto valid = validate_count(count); !valid) return std::unexpected(valid.error());
  const auto sender_physical = physical(sender_logical);
  if (!sender_physical) return std::unexpected(sender_physical.error());
  if (receivers.empty()) return std::unexpected(ExchangeError::receiver_set());

  // One pass checks the receiver set and finds the earliest and latest mux
  // times, so that every failure is known before the plan is built.
  TileSet used(tile_count());
  used.insert(sender_logical);
  std::int64_t earliest_mux = std::numeric_limits<std::int32_t>::max();
  std::int64_t latest_mux = std::numeric_limits<std::int32_t>::min();
  for (const std::uint16_t receiver : receivers) {
    if (receiver >= logical_to_physical.size() || !used.insert(receiver)) {
      return std::unexpected(ExchangeError::receiver_set());
    }
    const std::int64_t mux = time_to_mux(*sender_physical, logical_to_physical[receiver]);
    earliest_mux = std::min(earliest_mux, mux);
    latest_mux = std::max(latest_mux, mux);
  }

  // The sender starts late enough that no receiver acts before the offset.
  const std::int64_t lead = std::max<std::int64_t>(-earliest_mux, 0);
  const std::int64_t start = lead + schedule_offset;
  if (start > last_exchange_cycle) return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  if (start + latest_mux > last_exchange_cycle) {
    return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
  }

  auto sender = sender_row(static_cast<std::uint32_t>(start), count);
  if (!sender) return std::unexpected(sender.error());
  MulticastPlan plan{*sender, {}};
  plan.receivers.reserve(receivers.size());
  for (const std::uint16_t receiver : receivers) {
    const std::uint16_t receiver_physical = logical_to_physical[receiver];
    // Never negative: start is at least minus the earliest mux time.
    const auto receive =
        static_cast<std::uint32_t>(start + time_to_mux(*sender_physical, receiver_physical));
    const std::uint32_t row_term = 2U * (receiver_physical / 64U);
    plan.receivers.push_back(receiver_row(receive, row_term, *sender_physical, count));
  }

  logging::emit(logging::Level::Debug, "tessal_exchange", "assembled multicast exchange",
                logging::field("sender_logical", sender_logical),
                logging::field("receivers", static_cast<std::uint64_t>(plan.receivers.size())),
                logging::field("count", count), logging::field("schedule_offset", schedule_offset));
  return plan;
}

std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan) {
  debug_text::StructWriter(out, "MulticastPlan").field("sender", plan.sender).field("receivers", plan.receivers);
  return out;
}

}  // namespace tessal_exchange

#include "tessal_exchange/logging.hpp"

#include <atomic>
#include <sstream>

#include "tessal_exchange/debug_text.hpp"

namespace tessal_exchange::logging {

namespace {
// The one process-wide registration; a relaxed atomic keeps concurrent readers
// safe without a lock.
std::atomic<Subscriber*> installed_subscriber{nullptr};
}  // namespace

Subscriber* set_subscriber(Subscriber* subscriber) noexcept {
  return installed_subscriber.exchange(subscriber, std::memory_order_acq_rel);
}

Subscriber* current_subscriber() noexcept { return installed_subscriber.load(std::memory_order_acquire); }

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "UNKNOWN";
}

std::ostream& operator<<(std::ostream& out, Level level) { return out << level_name(level); }

std::string format_value(const FieldValue& value) {
  std::ostringstream out;
  std::visit(
      [&out](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, std::string_view>) {
          out << held;
        } else {
          debug_text::write(out, held);
        }
      },
      value);
  return out.str();
}

std::string format_event(const Event& event) {
  std::string line;
  line += level_name(event.level);
  line += ' ';
  line += event.target;
  line += ": ";
  line += event.message;
  for (const Field& field : event.fields) {
    line += ' ';
    line += field.name;
    line += '=';
    line += format_value(field.value);
  }
  return line;
}

std::ostream& operator<<(std::ostream& out, const RecordedEvent& event) {
  debug_text::StructWriter(out, "RecordedEvent")
      .field("message", event.message)
      .field("level", event.level)
      .field("target", event.target)
      .field("fields", event.fields);
  return out;
}

void EventRecorder::on_event(const Event& event) {
  RecordedEvent recorded{std::string(event.message), event.level, std::string(event.target), {}};
  recorded.fields.reserve(event.fields.size());
  for (const Field& field : event.fields) {
    recorded.fields.emplace_back(std::string(field.name), format_value(field.value));
  }
  events_.push_back(std::move(recorded));
}

}  // namespace tessal_exchange::logging

#pragma once

// Structured log events. The libraries describe what they did as events with a
// message, a level, a target (the emitting library) and named fields; whoever
// wants them installs a Subscriber. With none installed an event costs one
// load and one branch and prints nothing. The libraries never print.

#include <array>
#include <concepts>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace tessal_exchange::logging {

enum class Level : std::uint8_t { Error, Warn, Info, Debug, Trace };

std::string_view level_name(Level level);

using FieldValue = std::variant<std::uint64_t, std::int64_t, double, bool, std::string_view>;

struct Field {
  std::string_view name;
  FieldValue value;
};

// An event as seen by a subscriber while it is being emitted; its views are
// only valid during the call.
struct Event {
  std::string_view message;
  Level level;
  std::string_view target;
  std::span<const Field> fields;
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void on_event(const Event& event) = 0;
};

// Installs `subscriber` (nullptr removes it) and returns the one it replaces.
Subscriber* set_subscriber(Subscriber* subscriber) noexcept;
[[nodiscard]] Subscriber* current_subscriber() noexcept;

// Installs a subscriber for the lifetime of the guard and restores the
// previous one afterwards.
class ScopedSubscriber {
 public:
  explicit ScopedSubscriber(Subscriber& subscriber) noexcept : previous_(set_subscriber(&subscriber)) {}
  ScopedSubscriber(const ScopedSubscriber&) = delete;
  ScopedSubscriber& operator=(const ScopedSubscriber&) = delete;
  ~ScopedSubscriber() { set_subscriber(previous_); }

 private:
  Subscriber* previous_;
};

// Builds a field from any integer, floating-point, boolean or string value.
template <class T>
[[nodiscard]] constexpr Field field(std::string_view name, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return {name, FieldValue{value}};
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return {name, FieldValue{static_cast<std::int64_t>(value)}};
  } else if constexpr (std::is_integral_v<T>) {
    return {name, FieldValue{static_cast<std::uint64_t>(value)}};
  } else if constexpr (std::is_floating_point_v<T>) {
    return {name, FieldValue{static_cast<double>(value)}};
  } else {
    return {name, FieldValue{std::string_view{value}}};
  }
}

template <class... Fields>
void emit(Level level, std::string_view target, std::string_view message, const Fields&... fields) {
  Subscriber* subscriber = current_subscriber();
  if (subscriber == nullptr) [[likely]] {
    return;
  }
  const std::array<Field, sizeof...(Fields)> list{fields...};
  subscriber->on_event(Event{message, level, target, std::span<const Field>(list)});
}

// One line of text for an event: level, target, message, then the fields as
// key=value, for example "INFO tessal_compiler: compiling graph operations=15".
std::string format_event(const Event& event);
std::string format_value(const FieldValue& value);

// An event with owned text, as kept by EventRecorder; field values are kept
// in the text form of format_value.
struct RecordedEvent {
  std::string message;
  Level level = Level::Info;
  std::string target;
  std::vector<std::pair<std::string, std::string>> fields;

  friend bool operator==(const RecordedEvent&, const RecordedEvent&) = default;
};

std::ostream& operator<<(std::ostream& out, Level level);
std::ostream& operator<<(std::ostream& out, const RecordedEvent& event);

// Keeps every event it receives; tests install it with ScopedSubscriber.
class EventRecorder : public Subscriber {
 public:
  void on_event(const Event& event) override;
  [[nodiscard]] const std::vector<RecordedEvent>& events() const { return events_; }
  void clear() { events_.clear(); }

 private:
  std::vector<RecordedEvent> events_;
};

}  // namespace tessal_exchange::logging

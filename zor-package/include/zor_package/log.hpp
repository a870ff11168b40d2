// Structured log events of the package library.
//
// The library reports milestones as events with a level, the target "zor_package", a fixed
// message and named fields holding unsigned integers or text. Nothing is printed or recorded
// unless a caller installs a Subscriber; without one an event costs one atomic load.
//
// Example:
//   zor_package::log::EventRecorder recorder;
//   zor_package::log::ScopedSubscriber installed(recorder);
//   auto package = zor_package::Application::read(bytes);
//   for (const auto& event : recorder.events()) std::cout << event << '\n';
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zor_package::log {

enum class Level : std::uint8_t { Info, Trace };

inline constexpr std::string_view kTarget = "zor_package";

using Value = std::variant<std::uint64_t, std::string_view>;

struct Field {
  std::string_view name;
  Value value;
};

// An event as the subscriber sees it; its texts are valid only during the call.
struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

class Subscriber {
 public:
  virtual ~Subscriber() = default;
  // Called on the thread that emits the event, possibly from several threads at once.
  virtual void on_event(const Event& event) = 0;
};

// Installs `subscriber` for the whole process, or removes the current one with nullptr, and
// returns the one it replaces. The subscriber must stay alive while it is installed.
Subscriber* set_subscriber(Subscriber* subscriber);

// Installs a subscriber for the lifetime of this object and restores the previous one after.
class ScopedSubscriber {
 public:
  explicit ScopedSubscriber(Subscriber& subscriber) : previous_(set_subscriber(&subscriber)) {}
  ScopedSubscriber(const ScopedSubscriber&) = delete;
  ScopedSubscriber& operator=(const ScopedSubscriber&) = delete;
  ~ScopedSubscriber() { set_subscriber(previous_); }

 private:
  Subscriber* previous_;
};

// An owned copy of an event.
struct RecordedEvent {
  using OwnedValue = std::variant<std::uint64_t, std::string>;

  Level level;
  std::string target;
  std::string message;
  std::vector<std::pair<std::string, OwnedValue>> fields;

  bool operator==(const RecordedEvent&) const = default;
};

// A subscriber that keeps a copy of every event, for tests and tools. Thread-safe.
class EventRecorder : public Subscriber {
 public:
  void on_event(const Event& event) override;
  [[nodiscard]] std::vector<RecordedEvent> events() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedEvent> events_;
};

// Whether a subscriber is installed; lets an emitter skip building costly fields.
[[nodiscard]] bool enabled();

// Hands the event to the installed subscriber, if any. Never fails.
void emit(Level level, std::string_view message, std::initializer_list<Field> fields = {});

std::ostream& operator<<(std::ostream& os, Level level);
std::ostream& operator<<(std::ostream& os, const RecordedEvent& event);

}  // namespace zor_package::log

#include "zor_package/log.hpp"

#include <atomic>
#include <ostream>

#include "render.hpp"

namespace zor_package::log {
namespace {

std::atomic<Subscriber*> installed{nullptr};

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};

}  // namespace

Subscriber* set_subscriber(Subscriber* subscriber) { return installed.exchange(subscriber); }

bool enabled() { return installed.load(std::memory_order_acquire) != nullptr; }

void emit(Level level, std::string_view message, std::initializer_list<Field> fields) {
  Subscriber* subscriber = installed.load(std::memory_order_acquire);
  if (subscriber == nullptr) {
    return;
  }
  // Logging never fails and never changes a result, whatever the subscriber does.
  try {
    subscriber->on_event(Event{.level = level,
                               .target = kTarget,
                               .message = message,
                               .fields = std::span<const Field>(fields.begin(), fields.size())});
  } catch (...) {
  }
}

void EventRecorder::on_event(const Event& event) {
  RecordedEvent copy{.level = event.level,
                     .target = std::string(event.target),
                     .message = std::string(event.message),
                     .fields = {}};
  for (const Field& field : event.fields) {
    auto value =
        std::visit(Overloaded{
                       [](std::uint64_t n) { return RecordedEvent::OwnedValue(n); },
                       [](std::string_view s) { return RecordedEvent::OwnedValue(std::string(s)); },
                   },
                   field.value);
    copy.fields.emplace_back(std::string(field.name), std::move(value));
  }
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(copy));
}

std::vector<RecordedEvent> EventRecorder::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void EventRecorder::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

std::ostream& operator<<(std::ostream& os, Level level) {
  switch (level) {
    case Level::Info:
      return os << "INFO";
    case Level::Trace:
      return os << "TRACE";
  }
  return os;
}

std::ostream& operator<<(std::ostream& os, const RecordedEvent& event) {
  os << event.level << ' ' << event.target << ": " << event.message;
  for (const auto& [name, value] : event.fields) {
    os << ' ' << name << '=';
    std::visit(Overloaded{
                   [&](std::uint64_t n) { os << n; },
                   [&](const std::string& s) { render::quoted(os, s); },
               },
               value);
  }
  return os;
}

}  // namespace zor_package::log

#include "profile_step.hpp"

#include <ostream>

#include "boundary.hpp"
#include "render.hpp"
#include "wire.hpp"
#include "zor_package/profile.hpp"
#include "zor_package/schema/profile.capnp.h"

namespace zor_package {
namespace {

using wire_support::read_text;
using wire_support::text;

constexpr std::uint16_t kLastStepKind = static_cast<std::uint16_t>(StepKind::Idle);
constexpr std::uint16_t kLastActivityKind =
    static_cast<std::uint16_t>(ExchangeActivityKind::PartnerBusy);

Result<StepKind> read_step_kind(wire::StepKind stored) {
  const auto value = static_cast<std::uint16_t>(stored);
  if (value > kLastStepKind) {
    return std::unexpected(SchemaEnumError{value});
  }
  return static_cast<StepKind>(value);
}

Result<ExchangeActivityKind> read_activity_kind(wire::ExchangeActivityKind stored) {
  const auto value = static_cast<std::uint16_t>(stored);
  if (value > kLastActivityKind) {
    return std::unexpected(SchemaEnumError{value});
  }
  return static_cast<ExchangeActivityKind>(value);
}

Result<ProfileMetadata> read_metadata(wire::MetadataEntry::Reader entry) {
  ProfileMetadata metadata;
  ZOR_TRY_ASSIGN(metadata.name, read_text(entry.getName()));
  ZOR_TRY_ASSIGN(metadata.value, read_text(entry.getValue()));
  return metadata;
}

Result<ProfileExchangeActivity> read_activity(wire::ExchangeActivity::Reader stored) {
  ProfileExchangeActivity activity;
  activity.fanout = stored.getFanout();
  activity.paired = stored.getPaired();
  ZOR_TRY_ASSIGN(activity.kind, read_activity_kind(stored.getKind()));
  activity.start_cycle = stored.getStartCycle();
  activity.end_cycle = stored.getEndCycle();
  return activity;
}

}  // namespace

Result<ProfileStep> read_profile_step(wire::ProfileStep::Reader stored, RecordBudget& budget) {
  ProfileStep step;
  step.local_index = stored.getLocalIndex();
  step.phase = stored.getPhase();
  step.epoch = stored.getEpoch();

  ZOR_TRY_ASSIGN(step.operation, read_text(stored.getOperation()));
  ZOR_TRY_ASSIGN(step.kind, read_step_kind(stored.getKind()));
  ZOR_TRY_ASSIGN(step.kernel, read_text(stored.getKernel()));

  const auto metadata = stored.getMetadata();
  ZOR_TRY(budget.reserve(step.metadata, metadata.size()));
  for (auto entry : metadata) {
    ZOR_TRY_ASSIGN(step.metadata.emplace_back(), read_metadata(entry));
  }

  const auto activities = stored.getExchangeActivities();
  ZOR_TRY(budget.reserve(step.exchange_activities, activities.size()));
  for (auto entry : activities) {
    ZOR_TRY_ASSIGN(step.exchange_activities.emplace_back(), read_activity(entry));
  }

  step.exchange_event_cycles = stored.getExchangeEventCycles();
  return step;
}

template <class WireBuilder>
void ProfileStep::write(WireBuilder output) const {
  output.setLocalIndex(local_index);
  output.setPhase(phase);
  output.setEpoch(epoch);
  output.setOperation(text(operation));
  output.setKind(static_cast<wire::StepKind>(kind));
  output.setKernel(text(kernel));
  output.setExchangeEventCycles(exchange_event_cycles);

  auto entries = output.initMetadata(static_cast<unsigned>(metadata.size()));
  for (unsigned i = 0; i < entries.size(); ++i) {
    entries[i].setName(text(metadata[i].name));
    entries[i].setValue(text(metadata[i].value));
  }

  auto activities =
      output.initExchangeActivities(static_cast<unsigned>(exchange_activities.size()));
  for (unsigned i = 0; i < activities.size(); ++i) {
    const ProfileExchangeActivity& activity = exchange_activities[i];
    activities[i].setKind(static_cast<wire::ExchangeActivityKind>(activity.kind));
    activities[i].setStartCycle(activity.start_cycle);
    activities[i].setEndCycle(activity.end_cycle);
    activities[i].setFanout(activity.fanout);
    activities[i].setPaired(activity.paired);
  }
}

template <class WireReader>
Result<ProfileStep> ProfileStep::read(WireReader step) {
  // A step handed over by a caller is read without a budget: the caller's message limits apply.
  RecordBudget budget = RecordBudget::unlimited();
  return guarded([&] { return read_profile_step(step, budget); });
}

template void ProfileStep::write(wire::ProfileStep::Builder output) const;
template Result<ProfileStep> ProfileStep::read(wire::ProfileStep::Reader step);

std::ostream& operator<<(std::ostream& os, StepKind kind) {
  switch (kind) {
    case StepKind::Exchange:
      return os << "Exchange";
    case StepKind::Compute:
      return os << "Compute";
    case StepKind::Synchronization:
      return os << "Synchronization";
    case StepKind::Idle:
      return os << "Idle";
  }
  return os << "StepKind(" << static_cast<std::uint16_t>(kind) << ')';
}

std::ostream& operator<<(std::ostream& os, ExchangeActivityKind kind) {
  switch (kind) {
    case ExchangeActivityKind::Send:
      return os << "Send";
    case ExchangeActivityKind::Receive:
      return os << "Receive";
    case ExchangeActivityKind::PartnerBusy:
      return os << "PartnerBusy";
  }
  return os << "ExchangeActivityKind(" << static_cast<std::uint16_t>(kind) << ')';
}

std::ostream& operator<<(std::ostream& os, const ProfileExchangeActivity& activity) {
  render::Record(os, "ProfileExchangeActivity")
      .field("fanout", activity.fanout)
      .field("paired", activity.paired)
      .field("kind", activity.kind)
      .field("start_cycle", activity.start_cycle)
      .field("end_cycle", activity.end_cycle);
  return os;
}

std::ostream& operator<<(std::ostream& os, const ProfileMetadata& metadata) {
  render::Record(os, "ProfileMetadata").field("name", metadata.name).field("value", metadata.value);
  return os;
}

std::ostream& operator<<(std::ostream& os, const ProfileStep& step) {
  render::Record(os, "ProfileStep")
      .field("local_index", step.local_index)
      .field("phase", step.phase)
      .field("epoch", step.epoch)
      .field("operation", step.operation)
      .field("kind", step.kind)
      .field("kernel", step.kernel)
      .field("metadata", step.metadata)
      .field("exchange_activities", step.exchange_activities)
      .field("exchange_event_cycles", step.exchange_event_cycles);
  return os;
}

}  // namespace zor_package

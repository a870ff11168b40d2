// Reading a profile step within a budget for the records of the whole message.
#pragma once

#include "budget.hpp"
#include "zor_package/profile.hpp"
#include "zor_package/schema/profile.capnp.h"

namespace zor_package {

// ProfileStep::read, charging the step's lists to `budget`. Message-layer failures propagate as
// kj::Exception; the caller's message boundary turns them into `Capnp` errors.
[[nodiscard]] Result<ProfileStep> read_profile_step(wire::ProfileStep::Reader stored,
                                                    RecordBudget& budget);

}  // namespace zor_package

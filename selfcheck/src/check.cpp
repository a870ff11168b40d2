#include "check.hpp"

namespace zor_package::tests {

void fail(std::string message) { throw CheckFailure(std::move(message)); }

}  // namespace zor_package::tests

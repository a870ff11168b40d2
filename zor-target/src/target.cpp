#include "zor_target/target.hpp"

#include <ostream>

namespace zor_target {

std::expected<Target, std::string_view> Target::from_str(std::string_view name) {
  if (name == Target::Zor21.name()) {
    return Target::Zor21;
  }
  return std::unexpected(std::string_view{"unsupported ZOR target"});
}

std::ostream& operator<<(std::ostream& os, Target target) {
  switch (target.member_) {
    case Target::Member::zor21:
      return os << "Zor21";
  }
  return os;
}

}  // namespace zor_target

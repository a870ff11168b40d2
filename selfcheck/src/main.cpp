// The self-check executable of the package library.
//
//   zor-package-selfcheck            runs every check
//   zor-package-selfcheck NAME...    runs the named checks
//   zor-package-selfcheck --list     prints the registered names
#include <iostream>
#include <string_view>
#include <vector>

#include "zor_package/tests.hpp"

int main(int argc, char** argv) {
  using zor_package::tests::registry;
  const std::vector<std::string_view> args(argv + 1, argv + argc);

  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << "usage: zor-package-selfcheck [--list | NAME...]\n";
    return 0;
  }
  if (args.size() == 1 && args[0] == "--list") {
    for (const auto& check : registry()) {
      std::cout << check.name << '\n';
    }
    return 0;
  }
  const int failed = zor_package::tests::run_checks(registry(), args, std::cout);
  if (failed < 0) {
    return 2;
  }
  return failed == 0 ? 0 : 1;
}

#include "zor_package/tests.hpp"

namespace zor_package::tests {

Application sample() {
  Application application = Application::create(zor_target::Target::Zor21);
  application.tiles.push_back(TileImage{
      .physical_tile = 0,
      .entry_point = 0x4c000,
      .command_address = 0x4c100,
      .diagnostic_address = 0x4c200,
      .segments = {Segment{.address = 0x4c000, .memory_size = 8, .data = {1, 2, 3, 4}, .flags = 5}},
  });
  return application;
}

}  // namespace zor_package::tests

#include "tool.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "zor_package/tests.hpp"

extern char** environ;

namespace zorpkg::e2e {

using namespace zor_package;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "zorpkg-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::files() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::ranges::sort(names);
  return names;
}

ToolRun zorpkg(const std::vector<std::string>& args, const std::string& input) {
  TempDir capture;
  std::string out_path = capture / "out";
  std::string err_path = capture / "err";
  std::vector<std::string> words{ZORPKG_EXECUTABLE};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                   input.empty() ? "/dev/null" : input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ToolRun run;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << argv[0];
    return run;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_text(out_path);
  run.err = read_text(err_path);
  return run;
}

Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Bytes package_bytes(const Application& package) {
  Bytes bytes;
  auto written = package.write(bytes);
  EXPECT_TRUE(written.has_value()) << written.error();
  return bytes;
}

Bytes report_bytes(const ProfileReport& report) {
  Bytes bytes;
  auto written = report.write(bytes);
  EXPECT_TRUE(written.has_value()) << written.error();
  return bytes;
}

Bytes capnp_encode(const std::string& schema, const std::string& root, const std::string& text) {
  TempDir dir;
  write_text(dir / "in.txt", text);
  std::string command = std::string("'") + ZOR_CAPNP_EXECUTABLE + "' encode '" + ZOR_SCHEMA_DIR +
                        "/" + schema + ".capnp' " + root + " < '" + (dir / "in.txt") + "' > '" +
                        (dir / "out.bin") + "' 2> '" + (dir / "err.txt") + "'";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << command << ":\n" << read_text(dir / "err.txt");
    return {};
  }
  return read_bytes(dir / "out.bin");
}

Application rich_package() {
  constexpr std::uint32_t kU32 = 0xffffffff;
  constexpr std::uint64_t kU64 = 0xffffffffffffffff;
  Application package = tests::sample();
  package.compiler_version = "zc 2.1.0-ünïcode ✓";
  package.tiles.front().segments.push_back(
      {.address = 0x4c100, .memory_size = 0x100, .data = {0x00, 0xff, 0x80, 0x7f, 0x0a}});
  package.tiles.front().segments.push_back({.address = 0xe8000, .memory_size = 0, .flags = kU32});
  package.tiles.push_back(
      {.physical_tile = kU32,
       .entry_point = kU32,
       .command_address = kU32,
       .diagnostic_address = kU32,
       .segments = {
           {.address = 0x4c000, .memory_size = 0x9c000, .data = Bytes(1000, 0xa5), .flags = 1}}});
  package.tiles.push_back({.physical_tile = 7});  // a tile without segments
  package.inputs.push_back(
      {.name = "input \"quoted\"",
       .dtype = "f32",
       .shape = {2, 3, kU32},
       .slices = {{.tile = 0, .tile_address = 0x4c000, .file_offset = 0, .size = 8},
                  {.tile = kU32, .tile_address = 0xe7ff0, .file_offset = kU64 - 16, .size = 16}}});
  package.outputs.push_back({.name = "logits",
                             .dtype = "bf16",
                             .shape = {},
                             .slices = {{.tile = 0, .tile_address = 0x4c010, .size = 0}}});
  package.weights.push_back({.name = "w", .dtype = "u8", .shape = {1}});
  package.host_exchange = {
      .startup_mark = kU32,
      .command_page = 1,
      .command_offset = 0x1ffc,
      .pages = {{.index = 0, .size = kU64}, {.index = 1, .size = 0x2000}},
      .attach_order = {1, 0, 1},
      .calls =
          {{.name = "batched",
            .command = kU32,
            .phases = 4,
            .inputs = {{.page = 1, .page_offset = 0, .file_offset = 0, .size = 0x10},
                       {.page = 0, .page_offset = kU64 - 0x10, .file_offset = 0x10, .size = 0x10}},
            .outputs = {{.page = 1, .page_offset = 0, .file_offset = 0, .size = 0x20}},
            .invocations = kU32,
            .input_batch_ends = {1, 2},
            .output_batch_ends = {1}},
           {.name = "once", .command = 0, .phases = 0, .invocations = 1}},
  };
  package.entry_points = {{.name = "main", .command = 1, .external_syncs = kU32},
                          {.name = "init", .command = 0, .external_syncs = 0}};
  package.device_config_writes = {{.offset = 0x4018, .value = 0xc000000d},
                                  {.offset = 0xfffffffc, .value = kU32}};
  ProfileStep step{.local_index = 0,
                   .phase = kU32,
                   .epoch = 3,
                   .operation = "operation.4",
                   .kind = StepKind::Exchange,
                   .kernel = "multicast",
                   .metadata = {{"reason", "LayoutRearrangement"}, {"", ""}},
                   .exchange_activities = {{.fanout = 0xffff,
                                            .paired = true,
                                            .kind = ExchangeActivityKind::Send,
                                            .start_cycle = 2,
                                            .end_cycle = kU32},
                                           {.fanout = 0,
                                            .paired = false,
                                            .kind = ExchangeActivityKind::PartnerBusy,
                                            .start_cycle = 9,
                                            .end_cycle = 1}},
                   .exchange_event_cycles = kU32};
  ProfileStep idle{.local_index = 1, .kind = StepKind::Idle};
  ProfileStep sync{.local_index = 2, .kind = StepKind::Synchronization};
  ProfileStep compute{.local_index = 0, .kind = StepKind::Compute, .kernel = "gemm"};
  package.profile_tiles = {{.physical_tile = 0, .steps = {step, idle, sync}},
                           {.physical_tile = kU32, .steps = {compute}}};
  package.debug_symbols = {{.name = "kernel", .address = 0x4c000},
                           {.name = "end", .address = kU32}};
  package.debug_regions = {
      {.physical_tile = DebugRegion::kNoTile, .address = 0x4c000, .size = 8, .name = "linked"},
      {.physical_tile = 7, .address = 0, .size = kU32, .name = "everything"}};
  return package;
}

}  // namespace zorpkg::e2e

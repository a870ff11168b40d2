// The package layout seen through a tool that is not ours: Debian's capnp program decodes what the
// writer produces and encodes, from the text form, packages that the reader accepts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "zor_package/model.hpp"
#include "zor_package/tests.hpp"

namespace zor_package {
namespace {

namespace fs = std::filesystem;

// A directory of its own under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zor-capnp-tool-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory");
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

void write_file(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `capnp <mode> <schema> Application` from `input` to `output`; true when it succeeds.
// The tool's complaints, if any, are added to the failure.
testing::AssertionResult capnp(const char* mode, const fs::path& input, const fs::path& output) {
  const fs::path errors = output.string() + ".err";
  const std::string command = std::string("'") + ZOR_CAPNP_EXECUTABLE + "' " + mode + " '" +
                              ZOR_SCHEMA_DIR + "/application.capnp' Application < '" +
                              input.string() + "' > '" + output.string() + "' 2> '" +
                              errors.string() + "'";
  if (std::system(command.c_str()) != 0) {
    return testing::AssertionFailure() << command << ":\n" << read_file(errors);
  }
  return testing::AssertionSuccess();
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string written(const Application& package) {
  Bytes bytes;
  const Result<void> result = package.write(bytes);
  EXPECT_TRUE(result.has_value()) << result.error();
  return std::string(bytes.begin(), bytes.end());
}

// A package with one record of every struct and a value in every field; the text form below
// states the same package in the tool's notation.
Application every_struct() {
  Application app = Application::create(zor_target::Target::Zor21);
  app.compiler_version = "zc 1.2";
  app.tiles = {
      {.physical_tile = 3,
       .entry_point = 0x4c000,
       .command_address = 0x4c100,
       .diagnostic_address = 0x4c200,
       .segments = {{.address = 0x4c000, .memory_size = 0x10, .data = {0xde, 0xad}, .flags = 6},
                    {.address = 0x4d000, .memory_size = 4}}}};
  app.inputs = {{.name = "in",
                 .dtype = "f32",
                 .shape = {2, 2},
                 .slices = {{.tile = 3, .tile_address = 0x4c000, .file_offset = 0, .size = 16}}}};
  app.outputs = {{.name = "out",
                  .dtype = "u8",
                  .shape = {16},
                  .slices = {{.tile = 3, .tile_address = 0x4c010, .file_offset = 1, .size = 15}}}};
  app.weights = {{.name = "w",
                  .dtype = "i8",
                  .shape = {1},
                  .slices = {{.tile = 3, .tile_address = 0x4d000, .file_offset = 8, .size = 4}}}};
  app.host_exchange = {
      .startup_mark = 1,
      .command_page = 2,
      .command_offset = 8,
      .pages = {{.index = 2, .size = 0x100}},
      .attach_order = {2},
      .calls = {{.name = "call",
                 .command = 7,
                 .phases = 3,
                 .inputs = {{.page = 2, .page_offset = 0x10, .file_offset = 0, .size = 4}},
                 .outputs = {{.page = 2, .page_offset = 0x20, .file_offset = 4, .size = 4}},
                 .invocations = 4,
                 .input_batch_ends = {1},
                 .output_batch_ends = {1}}},
  };
  app.entry_points = {{.name = "main", .command = 1, .external_syncs = 2}};
  app.device_config_writes = {{.offset = 0x10, .value = 0xff}};
  app.profile_tiles = {{.physical_tile = 3,
                        .steps = {{.local_index = 0,
                                   .phase = 1,
                                   .epoch = 2,
                                   .operation = "op",
                                   .kind = StepKind::Synchronization,
                                   .kernel = "k",
                                   .metadata = {{.name = "m", .value = "v"}},
                                   .exchange_activities = {{.fanout = 2,
                                                            .paired = true,
                                                            .kind = ExchangeActivityKind::Receive,
                                                            .start_cycle = 5,
                                                            .end_cycle = 9}},
                                   .exchange_event_cycles = 11}}}};
  app.debug_symbols = {{.name = "sym", .address = 0x4c000}};
  app.debug_regions = {{.physical_tile = 3, .address = 0x4c000, .size = 16, .name = "region"}};
  return app;
}

constexpr const char* kEveryStructText = R"capnp((
  schemaVersion = 5,
  compilerVersion = "zc 1.2",
  target = "zor21",
  tileMemoryBase = 0x4c000,
  tileMemorySize = 0x9c000,
  tiles = [(
    physicalTile = 3, entryPoint = 0x4c000, commandAddress = 0x4c100, diagnosticAddress = 0x4c200,
    segments = [
      (address = 0x4c000, memorySize = 0x10, data = 0x"dead", flags = 6),
      (address = 0x4d000, memorySize = 4)])],
  inputs = [(name = "in", dtype = "f32", shape = [2, 2],
             slices = [(tile = 3, tileAddress = 0x4c000, fileOffset = 0, size = 16)])],
  outputs = [(name = "out", dtype = "u8", shape = [16],
              slices = [(tile = 3, tileAddress = 0x4c010, fileOffset = 1, size = 15)])],
  weights = [(name = "w", dtype = "i8", shape = [1],
              slices = [(tile = 3, tileAddress = 0x4d000, fileOffset = 8, size = 4)])],
  hostExchange = (
    startupMark = 1, commandPage = 2, commandOffset = 8,
    pages = [(index = 2, size = 0x100)],
    attachOrder = [2],
    calls = [(name = "call", command = 7, phases = 3,
              inputs = [(page = 2, pageOffset = 0x10, fileOffset = 0, size = 4)],
              outputs = [(page = 2, pageOffset = 0x20, fileOffset = 4, size = 4)],
              invocations = 4, inputBatchEnds = [1], outputBatchEnds = [1])]),
  entryPoints = [(name = "main", command = 1, externalSyncs = 2)],
  deviceConfigWrites = [(offset = 0x10, value = 0xff)],
  profileTiles = [(physicalTile = 3, steps = [(
    localIndex = 0, phase = 1, epoch = 2, operation = "op", kind = synchronization, kernel = "k",
    metadata = [(name = "m", value = "v")],
    exchangeActivities = [(kind = receive, startCycle = 5, endCycle = 9, fanout = 2,
                           paired = true)],
    exchangeEventCycles = 11)])],
  debugSymbols = [(name = "sym", address = 0x4c000)],
  debugRegions = [(physicalTile = 3, address = 0x4c000, size = 16, name = "region")]
))capnp";

TEST(CapnpToolTest, DecodesTheWritersOutput) {
  TempDir dir;
  Application package = tests::sample();
  package.host_exchange = {
      .pages = {{.index = 0, .size = 0x1000}},
      .calls = {{.name = "once", .invocations = 1}, {.name = "twice", .invocations = 2}}};
  write_file(dir / "package.bin", written(package));
  ASSERT_TRUE(capnp("decode --short", dir / "package.bin", dir / "package.txt"));

  std::string text = read_file(dir / "package.txt");
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  // Every field of the schema in place, the header derived from the target, every list of the
  // package present (if empty), and the invocations of each call as stored against the default.
  EXPECT_EQ(text,
            "(schemaVersion = 5, compilerVersion = \"0.1.0\", target = \"zor21\", "
            "tileMemoryBase = 311296, tileMemorySize = 638976, "
            "tiles = [(physicalTile = 0, entryPoint = 311296, "
            "segments = [(address = 311296, memorySize = 8, data = \"\\001\\002\\003\\004\", "
            "flags = 5)], commandAddress = 311552, diagnosticAddress = 311808)], "
            "inputs = [], outputs = [], weights = [], "
            "hostExchange = (startupMark = 0, commandPage = 0, commandOffset = 0, "
            "pages = [(index = 0, size = 4096)], attachOrder = [], calls = ["
            "(name = \"once\", command = 0, phases = 0, inputs = [], outputs = [], "
            "invocations = 1, inputBatchEnds = [], outputBatchEnds = []), "
            "(name = \"twice\", command = 0, phases = 0, inputs = [], outputs = [], "
            "invocations = 2, inputBatchEnds = [], outputBatchEnds = [])]), "
            "entryPoints = [], deviceConfigWrites = [], profileTiles = [], debugSymbols = [], "
            "debugRegions = [])");
}

TEST(CapnpToolTest, EncodedTextReadsAsThePackage) {
  TempDir dir;
  write_file(dir / "package.txt", kEveryStructText);
  ASSERT_TRUE(capnp("encode", dir / "package.txt", dir / "package.bin"));

  const Result<Application> read = Application::read(bytes_of(read_file(dir / "package.bin")));
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, every_struct());
}

TEST(CapnpToolTest, DecodedAndEncodedAgainReadsAsThePackage) {
  for (const Application& package : {tests::sample(), every_struct()}) {
    TempDir dir;
    write_file(dir / "package.bin", written(package));
    ASSERT_TRUE(capnp("decode", dir / "package.bin", dir / "package.txt"));
    ASSERT_TRUE(capnp("encode", dir / "package.txt", dir / "again.bin"));

    const Result<Application> read = Application::read(bytes_of(read_file(dir / "again.bin")));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, package);
  }
}

}  // namespace
}  // namespace zor_package

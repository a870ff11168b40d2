// The validate contract on broken files made here: by the capnp tool from the text form, and by
// changing bytes of packages the library wrote.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tool.hpp"
#include "zor_package/tests.hpp"

namespace zorpkg::e2e {
namespace {

using namespace zor_package;

// The offset of the first byte in which two packages of the same layout differ: it locates a field
// whose value the two packages hold differently.
std::size_t first_difference(const Bytes& a, const Bytes& b) {
  EXPECT_EQ(a.size(), b.size());
  std::size_t offset = 0;
  while (offset < a.size() && offset < b.size() && a[offset] == b[offset]) {
    ++offset;
  }
  return offset;
}

void put_u32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// The sample with a second segment at `address`.
Bytes two_segments(std::uint32_t address) {
  Application package = tests::sample();
  package.tiles[0].segments.push_back({.address = address, .memory_size = 8});
  return package_bytes(package);
}

Bytes with_compiler_version(const std::string& version) {
  Application package = tests::sample();
  package.compiler_version = version;
  return package_bytes(package);
}

Bytes with_step_kind(StepKind kind) {
  Application package = tests::sample();
  package.profile_tiles.push_back({.physical_tile = 0, .steps = {{.kind = kind}}});
  return package_bytes(package);
}

std::string header(const std::string& target, std::uint32_t memory_size) {
  return "(schemaVersion = 5, target = \"" + target +
         "\", tileMemoryBase = 0x4c000, tileMemorySize = " + std::to_string(memory_size) + ")";
}

struct BrokenFile {
  std::string name;
  Bytes bytes;
  std::string verdict;  // after "FILE: "; a rendering that ends in "(" stands for its prefix
};

std::vector<BrokenFile> broken_files() {
  std::vector<BrokenFile> files;
  Bytes sample = package_bytes(tests::sample());
  files.push_back({"empty.zpkg", {}, "error: Capnp("});
  files.push_back({"truncated.zpkg", Bytes(sample.begin(), sample.begin() + 40), "error: Capnp("});
  files.push_back({"foreign.zpkg",
                   capnp_encode("application", "Application", header("zor99", 0x9c000)),
                   "error: Invalid(\"unsupported package target\")"});
  files.push_back({"window.zpkg",
                   capnp_encode("application", "Application", header("zor21", 0x9c001)),
                   "error: Invalid(\"incompatible package header\")"});
  files.push_back({"no-tiles.zpkg",
                   capnp_encode("application", "Application", header("zor21", 0x9c000)),
                   "error: Invalid(\"application has no tiles\")"});

  Bytes overlapping = two_segments(0x4c101);
  put_u32(overlapping, first_difference(overlapping, two_segments(0x4c100)), 0x4c004);
  files.push_back({"overlapping.zpkg", overlapping,
                   "error: Invalid(\"overlapping segments on tile 0: 0x4c000..0x4c008 and "
                   "0x4c004..0x4c00c\")"});

  Bytes not_utf8 = with_compiler_version("0.1.0");
  not_utf8.at(first_difference(not_utf8, with_compiler_version("0.1.1"))) = 0xff;
  files.push_back({"not-utf8.zpkg", not_utf8, "error: Utf8(valid_up_to: 4, error_len: 1)"});

  Bytes bad_kind = with_step_kind(StepKind::Idle);
  bad_kind.at(first_difference(bad_kind, with_step_kind(StepKind::Compute))) = 4;
  files.push_back({"kind.zpkg", bad_kind, "error: SchemaEnum(4)"});

  files.push_back({"valid.zpkg", sample, "ok"});
  return files;
}

TEST(Validate, PrintsOneVerdictLineForEachFileInOrder) {
  TempDir dir;
  std::vector<std::string> args{"validate"};
  for (const BrokenFile& file : broken_files()) {
    write_bytes(dir / file.name, file.bytes);
    args.push_back(dir / file.name);
  }
  ToolRun run = zorpkg(args);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  std::size_t start = 0;
  for (const BrokenFile& file : broken_files()) {
    SCOPED_TRACE(file.name);
    std::size_t end = run.out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = run.out.substr(start, end - start);
    std::string expected = (dir / file.name) + ": " + file.verdict;
    if (expected.ends_with('(')) {
      EXPECT_TRUE(line.starts_with(expected) && line.ends_with(")")) << line;
    } else {
      EXPECT_EQ(line, expected);
    }
    start = end + 1;
  }
  EXPECT_EQ(start, run.out.size());
}

TEST(Validate, ExitsWithOneForOneBrokenFileAndZeroForValidOnes) {
  TempDir dir;
  for (const BrokenFile& file : broken_files()) {
    SCOPED_TRACE(file.name);
    write_bytes(dir / file.name, file.bytes);
    ToolRun run = zorpkg({"validate", dir / file.name});
    EXPECT_EQ(run.status, file.verdict == "ok" ? 0 : 1);
    EXPECT_TRUE(run.out.starts_with((dir / file.name) + ": " + file.verdict)) << run.out;
  }
}

TEST(Validate, AFileThatCannotBeOpenedExitsWithTwoAndTheOthersAreStillJudged) {
  TempDir dir;
  write_bytes(dir / "valid.zpkg", package_bytes(tests::sample()));
  write_bytes(dir / "empty.zpkg", {});
  ToolRun run = zorpkg({"validate", dir / "missing.zpkg", dir / "empty.zpkg", dir / "valid.zpkg"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "zorpkg: error: " + (dir / "missing.zpkg") +
                         ": cannot open: No such file or directory\n");
  EXPECT_TRUE(run.out.starts_with((dir / "empty.zpkg") + ": error: Capnp(")) << run.out;
  EXPECT_TRUE(run.out.ends_with((dir / "valid.zpkg") + ": ok\n")) << run.out;
}

}  // namespace
}  // namespace zorpkg::e2e

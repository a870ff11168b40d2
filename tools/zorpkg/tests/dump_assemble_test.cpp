// dump and assemble: the JSON form of packages, the byte-for-byte round trip through it, and the
// errors of assemble, each naming its place in the JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tool.hpp"
#include "zor_package/tests.hpp"

namespace zorpkg::e2e {
namespace {

using namespace zor_package;
using nlohmann::json;

struct NamedPackage {
  std::string name;
  Bytes bytes;
};

std::vector<NamedPackage> written_packages() {
  auto legacy = Application::read(tests::legacy_package_bytes());
  EXPECT_TRUE(legacy.has_value());
  Application empty_texts = tests::sample();
  empty_texts.compiler_version = "";
  empty_texts.tiles[0].segments[0].data.clear();
  return {
      {"sample", package_bytes(tests::sample())},
      {"rich", package_bytes(rich_package())},
      {"legacy-rewritten", package_bytes(*legacy)},
      {"empty-texts", package_bytes(empty_texts)},
  };
}

TEST(DumpAssemble, GivesBackEveryWrittenPackageByteForByte) {
  TempDir dir;
  ASSERT_EQ(zorpkg({"sample", "--profiled", "-o", dir / "profiled.zpkg"}).status, 0);
  std::vector<NamedPackage> packages = written_packages();
  packages.push_back({"profiled", read_bytes(dir / "profiled.zpkg")});
  for (const NamedPackage& package : packages) {
    SCOPED_TRACE(package.name);
    std::string original = dir / (package.name + ".zpkg");
    std::string dumped = dir / (package.name + ".json");
    std::string assembled = dir / (package.name + ".again.zpkg");
    write_bytes(original, package.bytes);
    ToolRun dump = zorpkg({"dump", original, "-o", dumped});
    ASSERT_EQ(dump.status, 0) << dump.err;
    ToolRun assemble = zorpkg({"assemble", dumped, "-o", assembled});
    ASSERT_EQ(assemble.status, 0) << assemble.err;
    EXPECT_EQ(read_bytes(assembled), package.bytes);

    // The same through standard input and output.
    ToolRun piped_dump = zorpkg({"dump", "-"}, original);
    EXPECT_EQ(piped_dump.out, read_text(dumped));
    ToolRun piped_assemble = zorpkg({"assemble", "-", "-o", "-"}, dumped);
    EXPECT_EQ(Bytes(piped_assemble.out.begin(), piped_assemble.out.end()), package.bytes);
  }
}

TEST(Dump, WritesEveryFieldUnderItsModelNameWithExactNumbers) {
  TempDir dir;
  write_bytes(dir / "rich.zpkg", package_bytes(rich_package()));
  ToolRun run = zorpkg({"dump", dir / "rich.zpkg"});
  ASSERT_EQ(run.status, 0) << run.err;
  json dump = json::parse(run.out);
  EXPECT_EQ(dump["version"], 1);
  EXPECT_EQ(dump["target"], "zor21");
  EXPECT_EQ(dump["compiler_version"], "zc 2.1.0-ünïcode ✓");
  EXPECT_EQ(dump["tiles"][0]["segments"][0],
            json({{"address", 0x4c000}, {"memory_size", 8}, {"data", "AQIDBA=="}, {"flags", 5}}));
  EXPECT_EQ(dump["inputs"][0]["slices"][1]["file_offset"].get<std::uint64_t>(),
            0xffffffffffffffefULL);
  EXPECT_NE(run.out.find("18446744073709551599"), std::string::npos);
  EXPECT_EQ(dump["host_exchange"]["pages"][0]["size"].get<std::uint64_t>(), 0xffffffffffffffffULL);
  const json& step = dump["profile_tiles"][0]["steps"][0];
  EXPECT_EQ(step["kind"], "Exchange");
  EXPECT_EQ(step["exchange_activities"][1]["kind"], "PartnerBusy");
  EXPECT_EQ(dump["profile_tiles"][0]["steps"][2]["kind"], "Synchronization");
  std::vector<std::string> keys;
  const auto in_order = nlohmann::ordered_json::parse(run.out);
  for (const auto& [key, value] : in_order.items()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"version", "target", "compiler_version", "tiles",
                                            "inputs", "outputs", "weights", "host_exchange",
                                            "entry_points", "device_config_writes", "profile_tiles",
                                            "debug_symbols", "debug_regions"}));
  EXPECT_EQ(dump["host_exchange"]["calls"][0]["invocations"], 0xffffffffU);
}

TEST(Dump, WithoutDataGivesSizesAndCannotBeAssembled) {
  TempDir dir;
  write_bytes(dir / "p.zpkg", package_bytes(tests::sample()));
  ToolRun run = zorpkg({"dump", dir / "p.zpkg", "--no-data", "-o", dir / "p.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json dump = json::parse(read_text(dir / "p.json"));
  EXPECT_EQ(dump["tiles"][0]["segments"][0],
            json({{"address", 0x4c000}, {"memory_size", 8}, {"data_size", 4}, {"flags", 5}}));
  ToolRun assemble = zorpkg({"assemble", dir / "p.json", "-o", dir / "p2.zpkg"});
  EXPECT_EQ(assemble.status, 1);
  EXPECT_EQ(assemble.err, "zorpkg: error: " + (dir / "p.json") +
                              ": tiles[0].segments[0].data: missing field (the dump was made "
                              "without segment data)\n");
  EXPECT_FALSE(fs::exists(dir / "p2.zpkg"));
}

struct Edit {
  std::string pointer;  // a JSON pointer into the dump of the rich package
  json value;           // its new value; a discarded value removes the member
  std::string error;    // the message after "FILE: "
};

TEST(Assemble, NamesThePlaceOfTheFirstMistakeAndWritesNothing) {
  const json removed = json(json::value_t::discarded);
  const std::vector<Edit> edits{
      {"/tiles/1/segments/0/address", 4294967296ULL,
       "tiles[1].segments[0].address: 4294967296 is out of range (0 to 4294967295)"},
      {"/tiles/0/segments/0/address", -1,
       "tiles[0].segments[0].address: -1 is out of range (0 to 4294967295)"},
      {"/tiles/0/segments/0/address", "0x4c000",
       "tiles[0].segments[0].address: expected an unsigned integer, found a string"},
      {"/tiles/0/segments/0/address", 1.5,
       "tiles[0].segments[0].address: expected an unsigned integer, found the number 1.5"},
      {"/tiles/0/entry_point", removed, "tiles[0].entry_point: missing field"},
      {"/tiles/0/entry", 1, "tiles[0].entry: unknown field"},
      {"/tiles/0/segments/1/data", "AAE",
       "tiles[0].segments[1].data: not valid base64 (at character 3)"},
      {"/tiles/0/segments/1/data", "AA=A",
       "tiles[0].segments[1].data: not valid base64 (at character 2)"},
      {"/inputs/0/shape/2", 4294967296ULL,
       "inputs[0].shape[2]: 4294967296 is out of range (0 to 4294967295)"},
      {"/host_exchange", json::array(), "host_exchange: expected an object, found an array"},
      {"/host_exchange/calls/0/inputs/1/size", nullptr,
       "host_exchange.calls[0].inputs[1].size: expected an unsigned integer, found null"},
      {"/profile_tiles/0/steps/0/kind", "Sleep",
       "profile_tiles[0].steps[0].kind: unknown step kind \"Sleep\" (expected Exchange, Compute, "
       "Synchronization or Idle)"},
      {"/profile_tiles/0/steps/0/exchange_activities/1/fanout", 65536,
       "profile_tiles[0].steps[0].exchange_activities[1].fanout: 65536 is out of range (0 to "
       "65535)"},
      {"/profile_tiles/0/steps/0/exchange_activities/1/paired", 1,
       "profile_tiles[0].steps[0].exchange_activities[1].paired: expected true or false, found a "
       "number"},
      {"/profile_tiles/0/steps/0/metadata", json::object(),
       "profile_tiles[0].steps[0].metadata: expected an array, found an object"},
      {"/debug_regions/1/name", 7, "debug_regions[1].name: expected a string, found a number"},
      {"/version", 2, "version: unsupported dump version 2 (this zorpkg reads version 1)"},
      {"/target", "zor22", "target: unsupported target \"zor22\""},
      {"", json::array(), "(document): expected an object, found an array"},
      // Well-formed, but the package breaks a rule: the library's validation says which.
      {"/tiles/0/segments/1/address", 0x4c004,
       "Invalid(\"overlapping segments on tile 0: 0x4c000..0x4c008 and 0x4c004..0x4c104\")"},
  };
  TempDir dir;
  write_bytes(dir / "rich.zpkg", package_bytes(rich_package()));
  ToolRun dump = zorpkg({"dump", dir / "rich.zpkg"});
  ASSERT_EQ(dump.status, 0);
  const json original = json::parse(dump.out);
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.pointer);
    json document = original;
    json::json_pointer pointer(edit.pointer);
    if (edit.value.is_discarded()) {
      document.at(pointer.parent_pointer()).erase(pointer.back());
    } else {
      document[pointer] = edit.value;
    }
    write_text(dir / "edited.json", document.dump());
    ToolRun run = zorpkg({"assemble", dir / "edited.json", "-o", dir / "edited.zpkg"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zorpkg: error: " + (dir / "edited.json") + ": " + edit.error + "\n");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"edited.json", "rich.zpkg"}));
  }
}

TEST(Assemble, RefusesNumbersBeyond64BitsAndTextThatIsNotJson) {
  TempDir dir;
  write_bytes(dir / "rich.zpkg", package_bytes(rich_package()));
  std::string text = zorpkg({"dump", dir / "rich.zpkg"}).out;
  // The first page's size is the largest 64-bit number; one more does not fit.
  std::size_t at = text.find("18446744073709551615");
  ASSERT_NE(at, std::string::npos);
  write_text(dir / "big.json", text.substr(0, at) + "18446744073709551616" + text.substr(at + 20));
  ToolRun big = zorpkg({"assemble", dir / "big.json", "-o", dir / "big.zpkg"});
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err, "zorpkg: error: " + (dir / "big.json") +
                         ": host_exchange.pages[0].size: 1.8446744073709552e+19 is out of range (0 "
                         "to 18446744073709551615)\n");

  write_text(dir / "broken.json", "{\"version\": 1,\n  \"target\" \"zor21\"}");
  ToolRun broken = zorpkg({"assemble", dir / "broken.json", "-o", dir / "broken.zpkg"});
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(broken.err.starts_with("zorpkg: error: " + (dir / "broken.json") +
                                     ": not JSON: parse error at line 2, column 18"))
      << broken.err;
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"big.json", "broken.json", "rich.zpkg"}));
}

}  // namespace
}  // namespace zorpkg::e2e

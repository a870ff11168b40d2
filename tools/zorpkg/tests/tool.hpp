// Support for the end-to-end tests of zorpkg: running the built tool on real files in a temporary
// directory, and the packages and reports the tests feed it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "zor_package/model.hpp"
#include "zor_package/profile.hpp"

namespace zorpkg::e2e {

namespace fs = std::filesystem;
using zor_package::Bytes;

// What one run of the tool printed and how it ended.
struct ToolRun {
  int status = -1;  // the exit status, or -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// A directory of its own under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  [[nodiscard]] std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }
  [[nodiscard]] const fs::path& path() const { return path_; }
  // The names of the files in the directory, sorted.
  [[nodiscard]] std::vector<std::string> files() const;

 private:
  fs::path path_;
};

// Runs zorpkg with `args`, standard input read from `input` (nothing when empty).
ToolRun zorpkg(const std::vector<std::string>& args, const std::string& input = "");

Bytes read_bytes(const std::string& path);
std::string read_text(const std::string& path);
void write_bytes(const std::string& path, const Bytes& bytes);
void write_text(const std::string& path, const std::string& text);

// The bytes of `package` as the library's writer writes them; fails the test when it cannot.
Bytes package_bytes(const zor_package::Application& package);
Bytes report_bytes(const zor_package::ProfileReport& report);

// Runs `capnp encode` of the named root struct in `schema` (application or profile) over
// `text`; empty when the tool fails.
Bytes capnp_encode(const std::string& schema, const std::string& root, const std::string& text);

// A package with a value in every field of every record, lists of several elements, texts beyond
// ASCII and the largest numbers each field holds wherever validation allows them.
zor_package::Application rich_package();

}  // namespace zorpkg::e2e

// zorpkg dump and zorpkg assemble: a package to its JSON form and back.
#include <string>
#include <vector>

#include "commands.hpp"
#include "file_io.hpp"
#include "loading.hpp"
#include "package_json.hpp"

namespace zorpkg {

Outcome<void> run_dump(const DumpOptions& options) {
  auto package = load_package(options.package);
  if (!package) {
    return std::unexpected(package.error());
  }
  std::string text = package_to_json(*package, !options.no_data).dump(2);
  text += '\n';
  return write_file(options.output, text);
}

Outcome<void> run_assemble(const AssembleOptions& options) {
  auto input = read_input(options.json);
  if (!input) {
    return std::unexpected(input.error());
  }
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(input->begin(), input->end());
  } catch (const nlohmann::json::parse_error& error) {
    // The library's text starts with its own tag, "[json.exception.parse_error.101] ".
    std::string_view what = error.what();
    if (auto tag_end = what.find("] "); what.starts_with("[json.") && tag_end != what.npos) {
      what.remove_prefix(tag_end + 2);
    }
    return fail(options.json, "not JSON: " + std::string(what));
  }
  auto package = package_from_json(document);
  if (!package) {
    return fail(options.json, package.error().path + ": " + package.error().message);
  }
  std::vector<std::uint8_t> bytes;
  if (auto written = package->write(bytes); !written) {
    return std::unexpected(library_failure(options.json, written.error()));
  }
  return write_file(options.output, bytes);
}

}  // namespace zorpkg

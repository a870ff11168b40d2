// The JSON form of a package, written by `zorpkg dump` and read by `zorpkg assemble`.
//
// The document is an object with "version" (kDumpVersion) followed by every field of
// Application under its model name, in declared order: records are objects, lists are arrays in
// order, numbers are JSON integers (exact for all 64 bits), the target is "zor21", step and
// activity kinds are their model names ("Compute", "PartnerBusy") and segment data is base64.
// Reading is strict: every field must be present with its type and range, and no other field may
// appear, so that the first mistake is reported with its path, as in
// "tiles[3].segments[0].address".
#pragma once

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>

#include "zor_package/model.hpp"

namespace zorpkg {

inline constexpr std::uint64_t kDumpVersion = 1;

// Without data, each segment holds "data_size" (the byte count) in place of "data"; such a
// document describes the package but cannot be assembled.
[[nodiscard]] nlohmann::ordered_json package_to_json(const zor_package::Application& package,
                                                     bool with_data);

struct JsonPathError {
  std::string path;  // where in the document, for example "tiles[3].segments[0].address"
  std::string message;
};

[[nodiscard]] std::expected<zor_package::Application, JsonPathError> package_from_json(
    const nlohmann::json& document);

}  // namespace zorpkg

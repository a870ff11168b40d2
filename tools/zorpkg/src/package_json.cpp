#include "package_json.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "base64.hpp"

namespace zorpkg {

using nlohmann::json;
using nlohmann::ordered_json;
using namespace zor_package;

namespace {

constexpr std::array<std::pair<StepKind, std::string_view>, 4> kStepKinds{{
    {StepKind::Exchange, "Exchange"},
    {StepKind::Compute, "Compute"},
    {StepKind::Synchronization, "Synchronization"},
    {StepKind::Idle, "Idle"},
}};

constexpr std::array<std::pair<ExchangeActivityKind, std::string_view>, 3> kActivityKinds{{
    {ExchangeActivityKind::Send, "Send"},
    {ExchangeActivityKind::Receive, "Receive"},
    {ExchangeActivityKind::PartnerBusy, "PartnerBusy"},
}};

template <class Kind, std::size_t N>
std::string_view kind_name(const std::array<std::pair<Kind, std::string_view>, N>& names,
                           Kind kind) {
  for (const auto& [value, name] : names) {
    if (value == kind) {
      return name;
    }
  }
  return "";  // the model holds only declared kinds; the reader refuses others
}

// --- Writing ---------------------------------------------------------------------------------

template <class T, class F>
ordered_json array_of(const std::vector<T>& items, F convert) {
  ordered_json array = ordered_json::array();
  for (const T& item : items) {
    array.push_back(convert(item));
  }
  return array;
}

ordered_json numbers(const std::vector<std::uint32_t>& values) {
  return array_of(values, [](std::uint32_t value) { return ordered_json(value); });
}

ordered_json segment_json(const Segment& segment, bool with_data) {
  ordered_json out;
  out["address"] = segment.address;
  out["memory_size"] = segment.memory_size;
  if (with_data) {
    out["data"] = base64_encode(segment.data);
  } else {
    out["data_size"] = segment.data.size();
  }
  out["flags"] = segment.flags;
  return out;
}

ordered_json tile_json(const TileImage& tile, bool with_data) {
  ordered_json out;
  out["physical_tile"] = tile.physical_tile;
  out["entry_point"] = tile.entry_point;
  out["command_address"] = tile.command_address;
  out["diagnostic_address"] = tile.diagnostic_address;
  out["segments"] = array_of(
      tile.segments, [&](const Segment& segment) { return segment_json(segment, with_data); });
  return out;
}

ordered_json binding_json(const Binding& binding) {
  ordered_json out;
  out["name"] = binding.name;
  out["dtype"] = binding.dtype;
  out["shape"] = numbers(binding.shape);
  out["slices"] = array_of(binding.slices, [](const RegionSlice& slice) {
    ordered_json item;
    item["tile"] = slice.tile;
    item["tile_address"] = slice.tile_address;
    item["file_offset"] = slice.file_offset;
    item["size"] = slice.size;
    return item;
  });
  return out;
}

ordered_json host_slice_json(const HostSlice& slice) {
  ordered_json out;
  out["page"] = slice.page;
  out["page_offset"] = slice.page_offset;
  out["file_offset"] = slice.file_offset;
  out["size"] = slice.size;
  return out;
}

ordered_json host_exchange_json(const HostExchange& exchange) {
  ordered_json out;
  out["startup_mark"] = exchange.startup_mark;
  out["command_page"] = exchange.command_page;
  out["command_offset"] = exchange.command_offset;
  out["pages"] = array_of(exchange.pages, [](const HostPage& page) {
    ordered_json item;
    item["index"] = page.index;
    item["size"] = page.size;
    return item;
  });
  out["attach_order"] = numbers(exchange.attach_order);
  out["calls"] = array_of(exchange.calls, [](const HostCall& call) {
    ordered_json item;
    item["name"] = call.name;
    item["command"] = call.command;
    item["phases"] = call.phases;
    item["inputs"] = array_of(call.inputs, host_slice_json);
    item["outputs"] = array_of(call.outputs, host_slice_json);
    item["invocations"] = call.invocations;
    item["input_batch_ends"] = numbers(call.input_batch_ends);
    item["output_batch_ends"] = numbers(call.output_batch_ends);
    return item;
  });
  return out;
}

ordered_json step_json(const ProfileStep& step) {
  ordered_json out;
  out["local_index"] = step.local_index;
  out["phase"] = step.phase;
  out["epoch"] = step.epoch;
  out["operation"] = step.operation;
  out["kind"] = kind_name(kStepKinds, step.kind);
  out["kernel"] = step.kernel;
  out["metadata"] = array_of(step.metadata, [](const ProfileMetadata& entry) {
    ordered_json item;
    item["name"] = entry.name;
    item["value"] = entry.value;
    return item;
  });
  out["exchange_activities"] =
      array_of(step.exchange_activities, [](const ProfileExchangeActivity& activity) {
        ordered_json item;
        item["fanout"] = activity.fanout;
        item["paired"] = activity.paired;
        item["kind"] = kind_name(kActivityKinds, activity.kind);
        item["start_cycle"] = activity.start_cycle;
        item["end_cycle"] = activity.end_cycle;
        return item;
      });
  out["exchange_event_cycles"] = step.exchange_event_cycles;
  return out;
}

// --- Reading ---------------------------------------------------------------------------------

std::string describe(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "an object";
    case json::value_t::array:
      return "an array";
    case json::value_t::string:
      return "a string";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::number_float:
      return "the number " + value.dump();
    default:
      return "a number";
  }
}

// Remembers the first failure; every later read returns a default value and changes nothing, so
// that the conversion can read straight through and report where it first went wrong.
class Decoder {
 public:
  void fail(const std::string& path, std::string message) {
    if (!error_) {
      error_ = JsonPathError{path.empty() ? "(document)" : path, std::move(message)};
    }
  }
  [[nodiscard]] bool failed() const { return error_.has_value(); }
  [[nodiscard]] const JsonPathError& error() const { return *error_; }

 private:
  std::optional<JsonPathError> error_;
};

std::string member_path(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string element_path(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

template <class T>
T decode_unsigned(Decoder& decoder, const json& value, const std::string& path) {
  constexpr std::uint64_t kMax = std::numeric_limits<T>::max();
  const std::string range = " is out of range (0 to " + std::to_string(kMax) + ")";
  if (decoder.failed()) {
    return 0;
  }
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number > kMax) {
      decoder.fail(path, std::to_string(number) + range);
      return 0;
    }
    return static_cast<T>(number);
  }
  if (value.is_number_integer()) {
    decoder.fail(path, std::to_string(value.get<std::int64_t>()) + range);
    return 0;
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    // A parser turns integers beyond 64 bits into floating point.
    bool integral = std::isfinite(number) && std::floor(number) == number;
    decoder.fail(path, integral ? value.dump() + range
                                : "expected an unsigned integer, found " + describe(value));
    return 0;
  }
  decoder.fail(path, "expected an unsigned integer, found " + describe(value));
  return 0;
}

std::string decode_text(Decoder& decoder, const json& value, const std::string& path) {
  if (decoder.failed()) {
    return {};
  }
  if (!value.is_string()) {
    decoder.fail(path, "expected a string, found " + describe(value));
    return {};
  }
  return value.get<std::string>();
}

template <class Kind, std::size_t N>
Kind decode_kind(Decoder& decoder, const json& value, const std::string& path,
                 const std::array<std::pair<Kind, std::string_view>, N>& names,
                 std::string_view what) {
  std::string text = decode_text(decoder, value, path);
  if (decoder.failed()) {
    return names[0].first;
  }
  std::string expected;
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i].second == text) {
      return names[i].first;
    }
    expected += i == 0 ? "" : (i + 1 == N ? " or " : ", ");
    expected += names[i].second;
  }
  decoder.fail(path,
               "unknown " + std::string(what) + " \"" + text + "\" (expected " + expected + ")");
  return names[0].first;
}

// The members of one JSON object, read by name. finish() reports the first member that no read
// asked for.
class ObjectReader {
 public:
  ObjectReader(Decoder& decoder, const json& value, std::string path)
      : decoder_(decoder), path_(std::move(path)) {
    if (decoder_.failed()) {
      return;
    }
    if (!value.is_object()) {
      decoder_.fail(path_, "expected an object, found " + describe(value));
      return;
    }
    object_ = &value;
  }

  template <class T>
  T number(std::string_view key) {
    const json* value = member(key);
    return value == nullptr ? T{0} : decode_unsigned<T>(decoder_, *value, member_path(path_, key));
  }

  std::string text(std::string_view key) {
    const json* value = member(key);
    return value == nullptr ? std::string{}
                            : decode_text(decoder_, *value, member_path(path_, key));
  }

  bool boolean(std::string_view key) {
    const json* value = member(key);
    if (value == nullptr) {
      return false;
    }
    if (!value->is_boolean()) {
      decoder_.fail(member_path(path_, key), "expected true or false, found " + describe(*value));
      return false;
    }
    return value->get<bool>();
  }

  Bytes base64(std::string_view key) {
    std::string path = member_path(path_, key);
    if (object_ != nullptr && !decoder_.failed() && !object_->contains(key) &&
        object_->contains("data_size")) {
      decoder_.fail(path, "missing field (the dump was made without segment data)");
      return {};
    }
    std::string text = this->text(key);
    if (decoder_.failed()) {
      return {};
    }
    Base64Error error;
    auto bytes = base64_decode(text, error);
    if (!bytes) {
      decoder_.fail(path, "not valid base64 (at character " + std::to_string(error.position) + ")");
      return {};
    }
    return std::move(*bytes);
  }

  template <class Kind, std::size_t N>
  Kind kind(std::string_view key, const std::array<std::pair<Kind, std::string_view>, N>& names,
            std::string_view what) {
    const json* value = member(key);
    return value == nullptr ? names[0].first
                            : decode_kind(decoder_, *value, member_path(path_, key), names, what);
  }

  // A list whose elements `decode(const json&, path)` converts.
  template <class F>
  auto list(std::string_view key, F decode) {
    using T = decltype(decode(std::declval<const json&>(), std::string{}));
    std::vector<T> items;
    const json* value = member(key);
    if (value == nullptr) {
      return items;
    }
    std::string path = member_path(path_, key);
    if (!value->is_array()) {
      decoder_.fail(path, "expected an array, found " + describe(*value));
      return items;
    }
    items.reserve(value->size());
    for (std::size_t i = 0; i < value->size() && !decoder_.failed(); ++i) {
      items.push_back(decode((*value)[i], element_path(path, i)));
    }
    return items;
  }

  std::vector<std::uint32_t> numbers(std::string_view key) {
    return list(key, [this](const json& value, const std::string& path) {
      return decode_unsigned<std::uint32_t>(decoder_, value, path);
    });
  }

  // The object member `key`, for a nested record.
  const json& nested(std::string_view key, std::string& path) {
    static const json kNull;
    path = member_path(path_, key);
    const json* value = member(key);
    return value == nullptr ? kNull : *value;
  }

  void finish() {
    if (object_ == nullptr || decoder_.failed()) {
      return;
    }
    for (const auto& [key, value] : object_->items()) {
      bool known = false;
      for (std::string_view asked : asked_) {
        known = known || asked == key;
      }
      if (!known) {
        decoder_.fail(member_path(path_, key), "unknown field");
        return;
      }
    }
  }

 private:
  const json* member(std::string_view key) {
    asked_.push_back(key);
    if (object_ == nullptr || decoder_.failed()) {
      return nullptr;
    }
    auto found = object_->find(key);
    if (found == object_->end()) {
      decoder_.fail(member_path(path_, key), "missing field");
      return nullptr;
    }
    return &*found;
  }

  Decoder& decoder_;
  std::string path_;
  const json* object_ = nullptr;
  std::vector<std::string_view> asked_;
};

Segment decode_segment(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  Segment segment;
  segment.address = in.number<std::uint32_t>("address");
  segment.memory_size = in.number<std::uint32_t>("memory_size");
  segment.data = in.base64("data");
  segment.flags = in.number<std::uint32_t>("flags");
  in.finish();
  return segment;
}

TileImage decode_tile(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  TileImage tile;
  tile.physical_tile = in.number<std::uint32_t>("physical_tile");
  tile.entry_point = in.number<std::uint32_t>("entry_point");
  tile.command_address = in.number<std::uint32_t>("command_address");
  tile.diagnostic_address = in.number<std::uint32_t>("diagnostic_address");
  tile.segments = in.list("segments", [&](const json& item, const std::string& item_path) {
    return decode_segment(decoder, item, item_path);
  });
  in.finish();
  return tile;
}

RegionSlice decode_region_slice(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  RegionSlice slice;
  slice.tile = in.number<std::uint32_t>("tile");
  slice.tile_address = in.number<std::uint32_t>("tile_address");
  slice.file_offset = in.number<std::uint64_t>("file_offset");
  slice.size = in.number<std::uint64_t>("size");
  in.finish();
  return slice;
}

Binding decode_binding(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  Binding binding;
  binding.name = in.text("name");
  binding.dtype = in.text("dtype");
  binding.shape = in.numbers("shape");
  binding.slices = in.list("slices", [&](const json& item, const std::string& item_path) {
    return decode_region_slice(decoder, item, item_path);
  });
  in.finish();
  return binding;
}

HostSlice decode_host_slice(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  HostSlice slice;
  slice.page = in.number<std::uint32_t>("page");
  slice.page_offset = in.number<std::uint64_t>("page_offset");
  slice.file_offset = in.number<std::uint64_t>("file_offset");
  slice.size = in.number<std::uint64_t>("size");
  in.finish();
  return slice;
}

HostCall decode_host_call(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  auto slices = [&](const json& item, const std::string& item_path) {
    return decode_host_slice(decoder, item, item_path);
  };
  HostCall call;
  call.name = in.text("name");
  call.command = in.number<std::uint32_t>("command");
  call.phases = in.number<std::uint32_t>("phases");
  call.inputs = in.list("inputs", slices);
  call.outputs = in.list("outputs", slices);
  call.invocations = in.number<std::uint32_t>("invocations");
  call.input_batch_ends = in.numbers("input_batch_ends");
  call.output_batch_ends = in.numbers("output_batch_ends");
  in.finish();
  return call;
}

HostExchange decode_host_exchange(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  HostExchange exchange;
  exchange.startup_mark = in.number<std::uint32_t>("startup_mark");
  exchange.command_page = in.number<std::uint32_t>("command_page");
  exchange.command_offset = in.number<std::uint64_t>("command_offset");
  exchange.pages = in.list("pages", [&](const json& item, const std::string& item_path) {
    ObjectReader page_in(decoder, item, item_path);
    HostPage page;
    page.index = page_in.number<std::uint32_t>("index");
    page.size = page_in.number<std::uint64_t>("size");
    page_in.finish();
    return page;
  });
  exchange.attach_order = in.numbers("attach_order");
  exchange.calls = in.list("calls", [&](const json& item, const std::string& item_path) {
    return decode_host_call(decoder, item, item_path);
  });
  in.finish();
  return exchange;
}

ProfileStep decode_step(Decoder& decoder, const json& value, const std::string& path) {
  ObjectReader in(decoder, value, path);
  ProfileStep step;
  step.local_index = in.number<std::uint32_t>("local_index");
  step.phase = in.number<std::uint32_t>("phase");
  step.epoch = in.number<std::uint32_t>("epoch");
  step.operation = in.text("operation");
  step.kind = in.kind("kind", kStepKinds, "step kind");
  step.kernel = in.text("kernel");
  step.metadata = in.list("metadata", [&](const json& item, const std::string& item_path) {
    ObjectReader entry_in(decoder, item, item_path);
    ProfileMetadata entry;
    entry.name = entry_in.text("name");
    entry.value = entry_in.text("value");
    entry_in.finish();
    return entry;
  });
  step.exchange_activities =
      in.list("exchange_activities", [&](const json& item, const std::string& item_path) {
        ObjectReader activity_in(decoder, item, item_path);
        ProfileExchangeActivity activity;
        activity.fanout = activity_in.number<std::uint16_t>("fanout");
        activity.paired = activity_in.boolean("paired");
        activity.kind = activity_in.kind("kind", kActivityKinds, "exchange activity kind");
        activity.start_cycle = activity_in.number<std::uint32_t>("start_cycle");
        activity.end_cycle = activity_in.number<std::uint32_t>("end_cycle");
        activity_in.finish();
        return activity;
      });
  step.exchange_event_cycles = in.number<std::uint32_t>("exchange_event_cycles");
  in.finish();
  return step;
}

}  // namespace

ordered_json package_to_json(const Application& package, bool with_data) {
  ordered_json out;
  out["version"] = kDumpVersion;
  out["target"] = std::string(package.target.name());
  out["compiler_version"] = package.compiler_version;
  out["tiles"] =
      array_of(package.tiles, [&](const TileImage& tile) { return tile_json(tile, with_data); });
  out["inputs"] = array_of(package.inputs, binding_json);
  out["outputs"] = array_of(package.outputs, binding_json);
  out["weights"] = array_of(package.weights, binding_json);
  out["host_exchange"] = host_exchange_json(package.host_exchange);
  out["entry_points"] = array_of(package.entry_points, [](const EntryPoint& entry) {
    ordered_json item;
    item["name"] = entry.name;
    item["command"] = entry.command;
    item["external_syncs"] = entry.external_syncs;
    return item;
  });
  out["device_config_writes"] =
      array_of(package.device_config_writes, [](const DeviceConfigWrite& write) {
        ordered_json item;
        item["offset"] = write.offset;
        item["value"] = write.value;
        return item;
      });
  out["profile_tiles"] = array_of(package.profile_tiles, [](const TileProfilePlan& plan) {
    ordered_json item;
    item["physical_tile"] = plan.physical_tile;
    item["steps"] = array_of(plan.steps, step_json);
    return item;
  });
  out["debug_symbols"] = array_of(package.debug_symbols, [](const DebugSymbol& symbol) {
    ordered_json item;
    item["name"] = symbol.name;
    item["address"] = symbol.address;
    return item;
  });
  out["debug_regions"] = array_of(package.debug_regions, [](const DebugRegion& region) {
    ordered_json item;
    item["physical_tile"] = region.physical_tile;
    item["address"] = region.address;
    item["size"] = region.size;
    item["name"] = region.name;
    return item;
  });
  return out;
}

std::expected<Application, JsonPathError> package_from_json(const json& document) {
  Decoder decoder;
  ObjectReader in(decoder, document, "");
  auto version = in.number<std::uint64_t>("version");
  if (!decoder.failed() && version != kDumpVersion) {
    decoder.fail("version", "unsupported dump version " + std::to_string(version) +
                                " (this zorpkg reads version " + std::to_string(kDumpVersion) +
                                ")");
  }
  std::string target_name = in.text("target");
  auto target = zor_target::Target::from_str(target_name);
  if (!decoder.failed() && !target) {
    decoder.fail("target", "unsupported target \"" + target_name + "\"");
  }
  Application package = Application::create(target.value_or(zor_target::Target::Zor21));
  package.compiler_version = in.text("compiler_version");
  package.tiles = in.list("tiles", [&](const json& item, const std::string& path) {
    return decode_tile(decoder, item, path);
  });
  auto bindings = [&](const json& item, const std::string& path) {
    return decode_binding(decoder, item, path);
  };
  package.inputs = in.list("inputs", bindings);
  package.outputs = in.list("outputs", bindings);
  package.weights = in.list("weights", bindings);
  std::string exchange_path;
  const json& exchange = in.nested("host_exchange", exchange_path);
  package.host_exchange = decode_host_exchange(decoder, exchange, exchange_path);
  package.entry_points = in.list("entry_points", [&](const json& item, const std::string& path) {
    ObjectReader entry_in(decoder, item, path);
    EntryPoint entry;
    entry.name = entry_in.text("name");
    entry.command = entry_in.number<std::uint32_t>("command");
    entry.external_syncs = entry_in.number<std::uint32_t>("external_syncs");
    entry_in.finish();
    return entry;
  });
  package.device_config_writes =
      in.list("device_config_writes", [&](const json& item, const std::string& path) {
        ObjectReader write_in(decoder, item, path);
        DeviceConfigWrite write;
        write.offset = write_in.number<std::uint32_t>("offset");
        write.value = write_in.number<std::uint32_t>("value");
        write_in.finish();
        return write;
      });
  package.profile_tiles = in.list("profile_tiles", [&](const json& item, const std::string& path) {
    ObjectReader plan_in(decoder, item, path);
    TileProfilePlan plan;
    plan.physical_tile = plan_in.number<std::uint32_t>("physical_tile");
    plan.steps = plan_in.list("steps", [&](const json& step, const std::string& step_path) {
      return decode_step(decoder, step, step_path);
    });
    plan_in.finish();
    return plan;
  });
  package.debug_symbols = in.list("debug_symbols", [&](const json& item, const std::string& path) {
    ObjectReader symbol_in(decoder, item, path);
    DebugSymbol symbol;
    symbol.name = symbol_in.text("name");
    symbol.address = symbol_in.number<std::uint32_t>("address");
    symbol_in.finish();
    return symbol;
  });
  package.debug_regions = in.list("debug_regions", [&](const json& item, const std::string& path) {
    ObjectReader region_in(decoder, item, path);
    DebugRegion region;
    region.physical_tile = region_in.number<std::uint32_t>("physical_tile");
    region.address = region_in.number<std::uint32_t>("address");
    region.size = region_in.number<std::uint32_t>("size");
    region.name = region_in.text("name");
    region_in.finish();
    return region;
  });
  in.finish();
  if (decoder.failed()) {
    return std::unexpected(decoder.error());
  }
  return package;
}

}  // namespace zorpkg

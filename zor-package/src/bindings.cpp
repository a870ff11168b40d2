// Binding extents and the place of an output in a run's output buffer.
#include "reason.hpp"
#include "zor_package/model.hpp"

namespace zor_package {

Result<std::uint64_t> Binding::byte_len() const {
  std::uint64_t extent = 0;
  for (const RegionSlice& slice : slices) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(slice.file_offset, slice.size, &end)) {
      return std::unexpected(reason::invalid("binding ", name, " file range overflows"));
    }
    extent = std::max(extent, end);
  }
  return extent;
}

Result<OutputBinding> Application::output_binding(std::string_view name) const {
  std::uint64_t base = 0;
  for (const Binding& output : outputs) {
    if (output.name == name) {
      return OutputBinding{.binding = &output, .base = base};
    }
    auto extent = output.byte_len();
    if (!extent) {
      return std::unexpected(std::move(extent.error()));
    }
    if (__builtin_add_overflow(base, *extent, &base)) {
      return std::unexpected(PackageError::invalid("output binding size overflow"));
    }
  }
  return std::unexpected(reason::invalid("application has no ", name, " output binding"));
}

}  // namespace zor_package

// Binding extents and the place of an output in a run's output buffer.
#include "boundary.hpp"
#include "reason.hpp"
#include "zor_package/model.hpp"

namespace zor_package {
namespace {

Result<std::uint64_t> extent_of(const Binding& binding) {
  std::uint64_t extent = 0;
  for (const RegionSlice& slice : binding.slices) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(slice.file_offset, slice.size, &end)) {
      return std::unexpected(reason::invalid("binding ", binding.name, " file range overflows"));
    }
    extent = std::max(extent, end);
  }
  return extent;
}

Result<OutputBinding> find_output(const std::vector<Binding>& outputs, std::string_view name) {
  std::uint64_t base = 0;
  for (const Binding& output : outputs) {
    if (output.name == name) {
      return OutputBinding{.binding = &output, .base = base};
    }
    auto extent = extent_of(output);
    if (!extent) {
      return std::unexpected(std::move(extent.error()));
    }
    if (__builtin_add_overflow(base, *extent, &base)) {
      return std::unexpected(PackageError::invalid("output binding size overflow"));
    }
  }
  return std::unexpected(reason::invalid("application has no ", name, " output binding"));
}

}  // namespace

// Only the reason texts allocate; running out of memory for one is still reported as an error.
Result<std::uint64_t> Binding::byte_len() const {
  return guarded([&] { return extent_of(*this); });
}

Result<OutputBinding> Application::output_binding(std::string_view name) const {
  return guarded([&] { return find_output(outputs, name); });
}

}  // namespace zor_package

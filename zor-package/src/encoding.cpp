#include "encoding.hpp"

#include "reason.hpp"
#include "zor_package/schema/profile.capnp.h"

namespace zor_package::encoding {
namespace {

constexpr std::uint64_t words_for_bytes(std::uint64_t bytes) { return (bytes + 7) / 8; }

}  // namespace

void EncodedSize::add_struct_list(std::size_t count, StructSize element) {
  if (count > kMaxListElements) {
    refuse(reason::text("list of ", count, " elements exceeds the encoding limit of ",
                        kMaxListElements));
    return;
  }
  const std::uint64_t body = std::uint64_t{count} * element.words();
  if (body > kMaxListWords) {
    refuse(reason::text("list of ", body, " words exceeds the encoding limit of ", kMaxListWords));
    return;
  }
  words_ += 1 + body;
}

void EncodedSize::add_text(const std::string& text) {
  if (text.size() > kMaxTextBytes) {
    refuse(reason::text("text of ", text.size(), " bytes exceeds the encoding limit of ",
                        kMaxTextBytes));
    return;
  }
  words_ += words_for_bytes(std::uint64_t{text.size()} + 1);
}

void EncodedSize::add_data(const std::vector<std::uint8_t>& data) {
  if (data.size() > kMaxDataBytes) {
    refuse(reason::text("data of ", data.size(), " bytes exceeds the encoding limit of ",
                        kMaxDataBytes));
    return;
  }
  words_ += words_for_bytes(data.size());
}

void EncodedSize::add_u32_list(std::size_t count) {
  if (count > kMaxListElements) {
    refuse(reason::text("list of ", count, " elements exceeds the encoding limit of ",
                        kMaxListElements));
    return;
  }
  words_ += words_for_bytes(std::uint64_t{count} * 4);
}

void EncodedSize::refuse(std::string description) {
  if (!refused_) {
    refused_ = std::move(description);
  }
}

Result<std::size_t> EncodedSize::words() const {
  if (refused_) {
    return std::unexpected(PackageError(CapnpError{*refused_}));
  }
  return static_cast<std::size_t>(words_);
}

void add_profile_step(EncodedSize& size, const ProfileStep& step) {
  size.add_text(step.operation);
  size.add_text(step.kernel);
  size.add_struct_list(step.metadata.size(), struct_size<wire::MetadataEntry>());
  for (const ProfileMetadata& entry : step.metadata) {
    size.add_text(entry.name);
    size.add_text(entry.value);
  }
  size.add_struct_list(step.exchange_activities.size(), struct_size<wire::ExchangeActivity>());
}

}  // namespace zor_package::encoding

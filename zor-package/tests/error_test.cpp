#include "zor_package/error.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <system_error>
#include <type_traits>

namespace zor_package {
namespace {

std::string rendered(const PackageError& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

// The payloads of the lower layers pass up by plain conversion; a reason text does not.
static_assert(std::is_convertible_v<CapnpError, PackageError>);
static_assert(std::is_convertible_v<Utf8Error, PackageError>);
static_assert(std::is_convertible_v<SchemaEnumError, PackageError>);
static_assert(!std::is_constructible_v<PackageError, std::string>);
static_assert(!std::is_constructible_v<PackageError, const char*>);

// How a failing lower layer hands its error on: by returning the payload as the error.
Result<int> fails_with_enumerant(std::uint16_t value) {
  return std::unexpected(SchemaEnumError{value});
}

Result<int> fails_with_utf8(Utf8Error error) { return std::unexpected(error); }

Result<int> fails_with_capnp(std::string description) {
  return std::unexpected(CapnpError{std::move(description)});
}

TEST(PackageError, InvalidCarriesItsReason) {
  const PackageError error = PackageError::invalid("application has no tiles");
  EXPECT_EQ(error.kind(), ErrorKind::Invalid);
  EXPECT_EQ(error.reason(), "application has no tiles");
  EXPECT_TRUE(error.is_invalid("application has no tiles"));
  EXPECT_FALSE(error.is_invalid("application has no tiles."));
  EXPECT_FALSE(error.is_invalid(""));
  EXPECT_EQ(error.raw_value(), std::nullopt);
  EXPECT_EQ(error.utf8(), std::nullopt);
}

TEST(PackageError, SchemaEnumKeepsTheRawValue) {
  auto result = fails_with_enumerant(0xffff);
  ASSERT_FALSE(result.has_value());
  const PackageError& error = result.error();
  EXPECT_EQ(error.kind(), ErrorKind::SchemaEnum);
  EXPECT_EQ(error.raw_value(), std::optional<std::uint16_t>{0xffff});
  EXPECT_EQ(error.reason(), "");
  EXPECT_EQ(error.utf8(), std::nullopt);
  EXPECT_FALSE(error.is_invalid(""));
}

TEST(PackageError, Utf8KeepsThePosition) {
  for (const Utf8Error position : {Utf8Error{.valid_up_to = 7, .error_len = 2},
                                   Utf8Error{.valid_up_to = 0, .error_len = std::nullopt}}) {
    auto result = fails_with_utf8(position);
    ASSERT_FALSE(result.has_value());
    const PackageError& error = result.error();
    EXPECT_EQ(error.kind(), ErrorKind::Utf8);
    EXPECT_EQ(error.utf8(), position);
    EXPECT_EQ(error.reason(), "");
    EXPECT_EQ(error.raw_value(), std::nullopt);
  }
}

TEST(PackageError, CapnpKeepsTheMessageLayersDescription) {
  auto result = fails_with_capnp("Message ends prematurely in first segment.");
  ASSERT_FALSE(result.has_value());
  const PackageError& error = result.error();
  EXPECT_EQ(error.kind(), ErrorKind::Capnp);
  EXPECT_EQ(error.reason(), "Message ends prematurely in first segment.");
  // A description that happens to read like a reason is still not an Invalid error.
  EXPECT_FALSE(error.is_invalid("Message ends prematurely in first segment."));
  EXPECT_EQ(error.raw_value(), std::nullopt);
  EXPECT_EQ(error.utf8(), std::nullopt);
}

TEST(PackageError, IoIsItsOwnKind) {
  const PackageError error = IoError{std::make_error_code(std::errc::broken_pipe)};
  EXPECT_EQ(error.kind(), ErrorKind::Io);
  EXPECT_EQ(error.reason(), std::make_error_code(std::errc::broken_pipe).message());
  EXPECT_FALSE(error.is_invalid(error.reason()));
}

TEST(PackageError, RendersAsKindAndPayload) {
  const struct {
    PackageError error;
    std::string expected;
  } cases[] = {
      {PackageError::invalid("application has no tiles"), R"(Invalid("application has no tiles"))"},
      {PackageError::invalid(""), R"(Invalid(""))"},
      {PackageError::invalid(R"(binding "x\y" is unknown)"),
       R"(Invalid("binding \"x\\y\" is unknown"))"},
      {SchemaEnumError{4}, "SchemaEnum(4)"},
      {SchemaEnumError{65535}, "SchemaEnum(65535)"},
      {CapnpError{"out-of-bounds pointer"}, R"(Capnp("out-of-bounds pointer"))"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(rendered(c.error), c.expected);
  }
}

TEST(PackageError, Utf8RenderingShowsThePosition) {
  const std::string complete = rendered(Utf8Error{.valid_up_to = 12, .error_len = 3});
  EXPECT_TRUE(complete.starts_with("Utf8(")) << complete;
  EXPECT_NE(complete.find("12"), std::string::npos) << complete;
  EXPECT_NE(complete.find('3'), std::string::npos) << complete;

  const std::string incomplete = rendered(Utf8Error{.valid_up_to = 5, .error_len = std::nullopt});
  EXPECT_TRUE(incomplete.starts_with("Utf8(")) << incomplete;
  EXPECT_NE(incomplete.find('5'), std::string::npos) << incomplete;
  EXPECT_NE(incomplete, rendered(Utf8Error{.valid_up_to = 5, .error_len = 0}));
}

TEST(PackageError, MessageOfAnInvalidPackageQuotesTheReason) {
  EXPECT_EQ(PackageError::invalid("application has no tiles").message(),
            "invalid package: application has no tiles");
}

}  // namespace
}  // namespace zor_package

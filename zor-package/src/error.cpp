#include "zor_package/error.hpp"

#include <ostream>
#include <sstream>

#include "render.hpp"

namespace zor_package {
namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};

}  // namespace

PackageError PackageError::invalid(std::string reason) {
  return PackageError(InvalidReason{std::move(reason)});
}

ErrorKind PackageError::kind() const {
  return std::visit(Overloaded{
                        [](const CapnpError&) { return ErrorKind::Capnp; },
                        [](const IoError&) { return ErrorKind::Io; },
                        [](const Utf8Error&) { return ErrorKind::Utf8; },
                        [](const SchemaEnumError&) { return ErrorKind::SchemaEnum; },
                        [](const InvalidReason&) { return ErrorKind::Invalid; },
                    },
                    payload_);
}

std::string PackageError::reason() const {
  return std::visit(Overloaded{
                        [](const CapnpError& e) { return e.description; },
                        [](const IoError& e) { return e.code.message(); },
                        [](const Utf8Error&) { return std::string{}; },
                        [](const SchemaEnumError&) { return std::string{}; },
                        [](const InvalidReason& e) { return e.reason; },
                    },
                    payload_);
}

std::optional<std::uint16_t> PackageError::raw_value() const {
  if (const auto* e = std::get_if<SchemaEnumError>(&payload_)) {
    return e->value;
  }
  return std::nullopt;
}

std::optional<Utf8Error> PackageError::utf8() const {
  if (const auto* e = std::get_if<Utf8Error>(&payload_)) {
    return *e;
  }
  return std::nullopt;
}

std::string PackageError::message() const {
  std::ostringstream out;
  std::visit(Overloaded{
                 [&](const CapnpError& e) { out << "malformed message: " << e.description; },
                 [&](const IoError& e) { out << "input/output error: " << e.code.message(); },
                 [&](const Utf8Error& e) {
                   out << "invalid utf-8 sequence";
                   if (e.error_len) {
                     out << " of " << unsigned{*e.error_len} << " bytes";
                   } else {
                     out << ", incomplete";
                   }
                   out << " from index " << e.valid_up_to;
                 },
                 [&](const SchemaEnumError& e) { out << "enumerant not in schema: " << e.value; },
                 [&](const InvalidReason& e) { out << "invalid package: " << e.reason; },
             },
             payload_);
  return out.str();
}

std::ostream& operator<<(std::ostream& os, ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Capnp:
      return os << "Capnp";
    case ErrorKind::Io:
      return os << "Io";
    case ErrorKind::Utf8:
      return os << "Utf8";
    case ErrorKind::SchemaEnum:
      return os << "SchemaEnum";
    case ErrorKind::Invalid:
      return os << "Invalid";
  }
  return os;
}

std::ostream& operator<<(std::ostream& os, const PackageError& error) {
  os << error.kind() << '(';
  std::visit(Overloaded{
                 [&](const CapnpError& e) { render::quoted(os, e.description); },
                 [&](const IoError& e) { render::quoted(os, e.code.message()); },
                 [&](const Utf8Error& e) {
                   os << "valid_up_to: " << e.valid_up_to << ", error_len: ";
                   if (e.error_len) {
                     os << unsigned{*e.error_len};
                   } else {
                     os << "none";
                   }
                 },
                 [&](const SchemaEnumError& e) { os << e.value; },
                 [&](const PackageError::InvalidReason& e) { render::quoted(os, e.reason); },
             },
             error.payload_);
  return os << ')';
}

}  // namespace zor_package

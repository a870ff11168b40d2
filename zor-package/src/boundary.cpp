#include "boundary.hpp"

#include <kj/exception.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zor_package {

PackageError error_from_current_exception() {
  try {
    throw;
  } catch (const kj::Exception& exception) {
    const kj::StringPtr description = exception.getDescription();
    return CapnpError{std::string(description.begin(), description.size())};
  } catch (const std::bad_alloc&) {
    return IoError{std::make_error_code(std::errc::not_enough_memory)};
  } catch (const std::length_error&) {
    return IoError{std::make_error_code(std::errc::not_enough_memory)};
  } catch (const std::exception& exception) {
    return CapnpError{exception.what()};
  } catch (...) {
    return CapnpError{"unknown exception"};
  }
}

}  // namespace zor_package

#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zorpkg {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::string describe_errno(std::string_view action, int error) {
  return std::string(action) + ": " + std::strerror(error);
}

// Writes all of `size` bytes to `fd`, retrying short writes; returns 0 or an errno value.
int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// Permissions of a new file as open(2) would give them: 0666 less the process's umask.
mode_t new_file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

Outcome<std::vector<std::uint8_t>> read_input(const std::string& path) {
  bool standard_input = path == kStandardStream;
  int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return fail(path, describe_errno("cannot open", errno));
  }
  std::vector<std::uint8_t> bytes;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(status.st_size));
  }
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  int error = 0;
  for (;;) {
    std::size_t old_size = bytes.size();
    bytes.resize(old_size + kChunk);
    ssize_t count = ::read(fd, bytes.data() + old_size, kChunk);
    if (count < 0 && errno == EINTR) {
      bytes.resize(old_size);
      continue;
    }
    bytes.resize(old_size + static_cast<std::size_t>(count < 0 ? 0 : count));
    if (count <= 0) {
      error = count < 0 ? errno : 0;
      break;
    }
  }
  if (!standard_input) {
    ::close(fd);
  }
  if (error != 0) {
    return fail(path, describe_errno("cannot read", error));
  }
  return bytes;
}

Compression compression_for(std::string_view path) {
  return path.ends_with(".gz") ? Compression::Gzip : Compression::None;
}

struct Output::State {
  int fd = -1;
  std::string temporary;  // empty for standard output
  gzFile gzip = nullptr;
  int error = 0;  // the first errno of a failed write, or -1 for a compression failure
  bool committed = false;
  std::vector<char> buffer = std::vector<char>(kBufferSize);
};

Output::Output(std::unique_ptr<State> state) : state_(std::move(state)) {
  cursor_ = state_->buffer.data();
  buffer_end_ = cursor_ + state_->buffer.size();
}

Output::Output(Output&& other) noexcept
    : state_(std::move(other.state_)),
      path_(std::move(other.path_)),
      cursor_(other.cursor_),
      buffer_end_(other.buffer_end_) {
  other.cursor_ = nullptr;
  other.buffer_end_ = nullptr;
}

Output& Output::operator=(Output&& other) noexcept {
  if (this != &other) {
    Output dropped(std::move(*this));
    state_ = std::move(other.state_);
    path_ = std::move(other.path_);
    cursor_ = other.cursor_;
    buffer_end_ = other.buffer_end_;
    other.cursor_ = nullptr;
    other.buffer_end_ = nullptr;
  }
  return *this;
}

Output::~Output() {
  if (!state_ || state_->committed) {
    return;
  }
  if (state_->gzip != nullptr) {
    gzclose(state_->gzip);  // closes the file descriptor as well
  } else if (!state_->temporary.empty()) {
    ::close(state_->fd);
  }
  if (!state_->temporary.empty()) {
    ::unlink(state_->temporary.c_str());
  }
}

Outcome<Output> Output::open(std::string path, Compression compression) {
  auto state = std::make_unique<State>();
  if (path == kStandardStream) {
    state->fd = STDOUT_FILENO;
  } else {
    std::filesystem::path destination(path);
    std::filesystem::path directory = destination.parent_path();
    std::string pattern = (directory.empty() ? std::filesystem::path(".") : directory) /
                          ("." + destination.filename().string() + ".XXXXXX");
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
      return fail(path, describe_errno("cannot create", errno));
    }
    ::fchmod(fd, new_file_mode());
    state->fd = fd;
    state->temporary = std::move(pattern);
  }
  if (compression == Compression::Gzip) {
    // The gzip stream owns a duplicate for standard output, so that closing it keeps fd 1 open.
    int gzip_fd = state->temporary.empty() ? ::dup(state->fd) : state->fd;
    state->gzip = gzip_fd < 0 ? nullptr : gzdopen(gzip_fd, "wb1");
    if (state->gzip == nullptr) {
      int error = errno;
      if (!state->temporary.empty()) {
        ::close(state->fd);
        ::unlink(state->temporary.c_str());
      }
      state->committed = true;
      return fail(path, describe_errno("cannot start compression", error));
    }
  }
  Output output(std::move(state));
  output.path_ = std::move(path);
  return output;
}

void Output::drain() {
  State& state = *state_;
  std::size_t size = static_cast<std::size_t>(cursor_ - state.buffer.data());
  cursor_ = state.buffer.data();
  if (size == 0 || state.error != 0) {
    return;
  }
  if (state.gzip != nullptr) {
    if (gzwrite(state.gzip, state.buffer.data(), static_cast<unsigned>(size)) == 0) {
      state.error = errno != 0 ? errno : -1;
    }
    return;
  }
  state.error = write_all(state.fd, state.buffer.data(), size);
}

void Output::write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    if (cursor_ == buffer_end_) {
      drain();
    }
    std::size_t room = static_cast<std::size_t>(buffer_end_ - cursor_);
    std::size_t chunk = size < room ? size : room;
    std::memcpy(cursor_, bytes, chunk);
    cursor_ += chunk;
    bytes += chunk;
    size -= chunk;
  }
}

Outcome<void> Output::commit() {
  State& state = *state_;
  drain();
  if (state.gzip != nullptr) {
    int closed = gzclose(state.gzip);
    state.gzip = nullptr;
    if (closed != Z_OK && state.error == 0) {
      state.error = closed == Z_ERRNO ? errno : -1;
    }
  } else if (!state.temporary.empty()) {
    if (::close(state.fd) != 0 && state.error == 0) {
      state.error = errno;
    }
  }
  state.fd = -1;
  state.committed = true;
  auto discard = [&] {
    if (!state.temporary.empty()) {
      ::unlink(state.temporary.c_str());
    }
  };
  if (state.error != 0) {
    discard();
    return fail(path_, state.error < 0 ? std::string("cannot write: compression failed")
                                       : describe_errno("cannot write", state.error));
  }
  if (!state.temporary.empty() && ::rename(state.temporary.c_str(), path_.c_str()) != 0) {
    int error = errno;
    discard();
    return fail(path_, describe_errno("cannot write", error));
  }
  return {};
}

Outcome<void> write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  auto output = Output::open(path);
  if (!output) {
    return std::unexpected(output.error());
  }
  output->write(bytes.data(), bytes.size());
  return output->commit();
}

Outcome<void> write_file(const std::string& path, std::string_view text) {
  return write_file(path,
                    std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Outcome<void> make_directory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) {
    return fail(path, "cannot create directory: " + error.message());
  }
  return {};
}

void remove_file(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace zorpkg

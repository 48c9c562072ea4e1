#include "capture/DescriptorSink.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace netsiphon {
namespace {

// A descriptor that another process switched to non-blocking mode is waited on, not spun on.
bool waitUntilWritable(int descriptor) {
  pollfd writable{descriptor, POLLOUT, 0};
  return poll(&writable, 1, -1) >= 0 || errno == EINTR;
}

}  // namespace

bool writeWhole(int descriptor, std::span<const std::uint8_t> bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (result > 0) {
      written += static_cast<std::size_t>(result);
    } else if (result < 0 && errno == EAGAIN) {
      if (!waitUntilWritable(descriptor)) {
        return false;
      }
    } else if (result == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool DescriptorSink::deliver(const Chunk& chunk) {
  return writeWhole(descriptor_, chunk);
}

}  // namespace netsiphon

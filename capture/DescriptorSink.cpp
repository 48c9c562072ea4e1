// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/DescriptorSink.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace netsiphon {

int writeWhole(int descriptor, std::span<const std::uint8_t> bytes, int stopDescriptor) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (result > 0) {
      written += static_cast<std::size_t>(result);
    } else if (result < 0 && errno == EAGAIN) {
      // A descriptor in non-blocking mode is waited on, not spun on. poll leaves out a negative
      // stop descriptor.
      std::array<pollfd, 2> waited{{{descriptor, POLLOUT, 0}, {stopDescriptor, POLLIN, 0}}};
      if (poll(waited.data(), waited.size(), -1) < 0 && errno != EINTR) {
        return errno;
      }
      if (waited[1].revents != 0) {
        return ECANCELED;
      }
    } else if (result == 0 || errno != EINTR) {
      return result == 0 ? EIO : errno;
    }
  }
  return 0;
}

bool DescriptorSink::deliver(std::span<const std::uint8_t> bytes) {
  return writeWhole(descriptor_, bytes) == 0;
}

}  // namespace netsiphon

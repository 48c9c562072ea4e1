// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/StreamInput.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

namespace wq {

StreamInput::StreamInput(int descriptor, std::function<void()> beforeWait)
    : descriptor_(descriptor),
      stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      stopError_(stop_ < 0 ? errno : 0),
      beforeWait_(std::move(beforeWait)) {}

StreamInput::~StreamInput() {
  close(descriptor_);
  if (stop_ >= 0) {
    close(stop_);
  }
}

std::FILE* StreamInput::open() {
  if (stop_ < 0) {
    errno = stopError_;
    return nullptr;
  }
  return fopencookie(
      this, "r", {.read = &StreamInput::read, .write = nullptr, .seek = nullptr, .close = nullptr});
}

void StreamInput::stop() {
  const std::uint64_t one = 1;
  // Fails only when the counter is full, that is when stopped already.
  [[maybe_unused]] const ssize_t written = write(stop_, &one, sizeof one);
}

ssize_t StreamInput::read(void* cookie, char* buffer, std::size_t size) {
  auto& input = *static_cast<StreamInput*>(cookie);
  for (bool waiting = false;;) {
    std::array<pollfd, 2> ready{{{input.descriptor_, POLLIN, 0}, {input.stop_, POLLIN, 0}}};
    const int count = poll(ready.data(), ready.size(), waiting ? -1 : 0);
    if (count < 0 && errno != EINTR) {
      return -1;
    }
    if (ready[1].revents != 0) {
      return 0;
    }
    if (ready[0].revents != 0) {
      const ssize_t result = ::read(input.descriptor_, buffer, size);
      // A descriptor in non-blocking mode may have nothing after all: wait again.
      if (result >= 0 || (errno != EAGAIN && errno != EINTR)) {
        return result;
      }
    } else if (count == 0 && !waiting) {
      input.beforeWait_();
      waiting = true;
    }
  }
}

}  // namespace wq

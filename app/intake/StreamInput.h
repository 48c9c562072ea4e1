// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A descriptor that delivers a capture stream as it arrives (a pipe, a FIFO, a terminal, a
// socket), as a stdio stream for the capture library. Its reads wait for data without holding up
// an end: once stop() is called they give end of file, so that a thread blocked on a quiet stream
// can be joined.

#include <cstdio>
#include <functional>

namespace wq {

class StreamInput {
 public:
  // Takes over `descriptor`, blocking or not. `beforeWait` runs on the reading thread whenever a
  // read finds no data and is about to wait for some.
  StreamInput(int descriptor, std::function<void()> beforeWait);
  // Closes the descriptor: close the stdio stream first.
  ~StreamInput();

  StreamInput(const StreamInput&) = delete;
  StreamInput& operator=(const StreamInput&) = delete;

  // A stdio stream reading the descriptor (closing it leaves the descriptor open); null with errno
  // set when it cannot be made.
  std::FILE* open();
  // Ends the read waiting now, and every later one, with end of file. Any thread may call it.
  void stop();

 private:
  static ssize_t read(void* cookie, char* buffer, std::size_t size);

  int descriptor_;
  int stop_;       // an eventfd, readable once stopped
  int stopError_;  // why there is none
  std::function<void()> beforeWait_;
};

}  // namespace wq

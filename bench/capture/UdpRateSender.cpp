// SPDX-License-Identifier: GPL-3.0-or-later
// udp_rate_sender ADDRESS PORT RATE SECONDS SIZE: sends SIZE-byte UDP datagrams to ADDRESS:PORT
// at RATE per second for SECONDS seconds, then prints how many it sent. Used by live_rate.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr long kTickNanoseconds = 1'000'000;  // sends in one burst per millisecond
constexpr unsigned kMaxBurst = 1024;

void advance(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  time.tv_sec += time.tv_nsec / 1'000'000'000;
  time.tv_nsec %= 1'000'000'000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: udp_rate_sender ADDRESS PORT RATE SECONDS SIZE\n");
    return 2;
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", argv[1]);
    return 2;
  }
  const long rate = std::atol(argv[3]);
  const long ticks = std::atol(argv[4]) * 1000;
  std::vector<char> payload(static_cast<std::size_t>(std::atoi(argv[5])), 'w');

  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  if (sender < 0 || connect(sender, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    std::perror("socket");
    return 1;
  }
  iovec piece{payload.data(), payload.size()};
  std::vector<mmsghdr> burst(kMaxBurst);
  for (mmsghdr& message : burst) {
    message.msg_hdr.msg_iov = &piece;
    message.msg_hdr.msg_iovlen = 1;
  }

  long sent = 0;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long tick = 1; tick <= ticks; ++tick) {
    // Whole packets due by the end of this tick, so that fractional rates come out right.
    long due = rate * tick / 1000 - sent;
    while (due > 0) {
      const int result =
          sendmmsg(sender, burst.data(), static_cast<unsigned>(std::min<long>(due, kMaxBurst)), 0);
      if (result <= 0) {
        break;  // a full send queue: the rest of this tick's packets are not sent
      }
      sent += result;
      due -= result;
    }
    advance(next, kTickNanoseconds);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  std::printf("%ld\n", sent);
  close(sender);
  return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// tcp_rate_sender receive PORT SECONDS: accepts one TCP connection on PORT and reads it until its
// end, or until SECONDS have passed; prints the bytes read.
// tcp_rate_sender send ADDRESS PORT RATE SECONDS SIZE: connects to ADDRESS:PORT and writes
// SIZE-byte pieces (Nagle off, so each piece leaves as a segment of its own while the window
// allows) at RATE per second for SECONDS seconds; prints how many pieces it wrote. Used by load.sh.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr long kTickNanoseconds = 1'000'000;  // writes in one burst per millisecond

void advance(timespec& time, long nanoseconds) {
  time.tv_nsec += nanoseconds;
  time.tv_sec += time.tv_nsec / 1'000'000'000;
  time.tv_nsec %= 1'000'000'000;
}

sockaddr_in addressOf(const char* address, const char* port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
  if (inet_pton(AF_INET, address, &socketAddress.sin_addr) != 1) {
    std::fprintf(stderr, "not an IPv4 address: %s\n", address);
    std::exit(2);
  }
  return socketAddress;
}

int receive(const char* port, int seconds) {
  sockaddr_in local = addressOf("0.0.0.0", port);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener, 1) != 0) {
    std::perror("listen");
    return 1;
  }
  std::fprintf(stderr, "listening\n");
  timespec start{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const auto remainingMs = [&] {
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int>(seconds * 1000L - (now.tv_sec - start.tv_sec) * 1000L -
                            (now.tv_nsec - start.tv_nsec) / 1'000'000);
  };
  pollfd waiting{listener, POLLIN, 0};
  if (poll(&waiting, 1, remainingMs()) != 1) {
    std::fprintf(stderr, "no connection\n");
    return 1;
  }
  const int connection = accept(listener, nullptr, nullptr);
  std::vector<char> buffer(1 << 16);
  long long total = 0;
  pollfd reading{connection, POLLIN, 0};
  for (int left = remainingMs(); left > 0 && poll(&reading, 1, left) == 1; left = remainingMs()) {
    const ssize_t got = read(connection, buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    total += got;
  }
  std::printf("%lld\n", total);
  close(connection);
  close(listener);
  return 0;
}

int send(const char* address, const char* port, long rate, long seconds, std::size_t size) {
  sockaddr_in target = addressOf(address, port);
  const int sender = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(sender, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    std::perror("connect");
    return 1;
  }
  const std::vector<char> piece(size, 'w');
  long sent = 0;
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (long tick = 1; tick <= seconds * 1000; ++tick) {
    // Whole pieces due by the end of this tick; a full send buffer makes the writes wait.
    for (long due = rate * tick / 1000 - sent; due > 0; --due) {
      if (write(sender, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
        std::perror("write");
        return 1;
      }
      ++sent;
    }
    advance(next, kTickNanoseconds);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
  }
  std::printf("%ld\n", sent);
  close(sender);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "receive") == 0) {
    return receive(argv[2], std::atoi(argv[3]));
  }
  if (argc == 7 && std::strcmp(argv[1], "send") == 0) {
    return send(argv[2], argv[3], std::atol(argv[4]), std::atol(argv[5]),
                static_cast<std::size_t>(std::atol(argv[6])));
  }
  std::fprintf(stderr,
               "usage: tcp_rate_sender receive PORT SECONDS\n"
               "       tcp_rate_sender send ADDRESS PORT RATE SECONDS SIZE\n");
  return 2;
}

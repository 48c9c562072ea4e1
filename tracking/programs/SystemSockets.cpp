// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/SystemSockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wq {

namespace {

constexpr std::uint32_t kSequence = 1;

void addSocket(std::span<const std::uint8_t> payload, std::uint8_t protocol,
               std::vector<SocketEntry>& into) {
  inet_diag_msg message;
  if (payload.size() < sizeof message) {
    return;
  }
  std::memcpy(&message, payload.data(), sizeof message);
  const std::uint8_t family = message.idiag_family == AF_INET    ? IpAddress::kV4
                              : message.idiag_family == AF_INET6 ? IpAddress::kV6
                                                                 : 0;
  if (family == 0) {
    return;
  }
  const auto addressOf = [family](const __be32* words) {
    return IpAddress::of(family, reinterpret_cast<const std::uint8_t*>(words));
  };
  into.push_back({.protocol = protocol,
                  .local = addressOf(message.id.idiag_src),
                  .localPort = ntohs(message.id.idiag_sport),
                  .remote = addressOf(message.id.idiag_dst),
                  .remotePort = ntohs(message.id.idiag_dport),
                  .state = message.idiag_state,
                  .uid = message.idiag_uid,
                  .inode = message.idiag_inode});
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool sendDumpRequest(int fd, int family, std::uint8_t protocol) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSequence;
  request.body.sdiag_family = static_cast<std::uint8_t>(family);
  request.body.sdiag_protocol = protocol;
  request.body.idiag_states = ~0u;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                sizeof kernel) == static_cast<ssize_t>(sizeof request);
}

// The next datagram from the kernel, whole; nothing on a failure or timeout.
std::span<const std::uint8_t> receiveDatagram(int fd, std::vector<std::uint8_t>& buffer) {
  for (;;) {
    // Its real size first, so that a long one is not cut.
    const ssize_t size = recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size <= 0) {
      return {};
    }
    buffer.resize(std::max(buffer.size(), static_cast<std::size_t>(size)));
    sockaddr_nl sender{};
    iovec space{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &space;
    message.msg_iovlen = 1;
    const ssize_t received = recvmsg(fd, &message, 0);
    if (received <= 0 || (message.msg_flags & MSG_TRUNC) != 0) {
      return {};
    }
    if (sender.nl_pid == 0) {  // only the kernel answers
      return {buffer.data(), static_cast<std::size_t>(received)};
    }
  }
}

std::vector<SocketEntry> dumpFamily(int family, std::uint8_t protocol) {
  const Descriptor fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  const timeval patience{1, 0};
  if (fd.get() < 0 ||
      setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0 ||
      !sendDumpRequest(fd.get(), family, protocol)) {
    return {};
  }
  std::vector<SocketEntry> sockets;
  std::vector<std::uint8_t> buffer(32768);
  for (;;) {
    const std::span<const std::uint8_t> datagram = receiveDatagram(fd.get(), buffer);
    const DumpProgress progress = datagram.empty()
                                      ? DumpProgress::kFailed
                                      : readDumpDatagram(datagram, kSequence, protocol, sockets);
    if (progress != DumpProgress::kMore) {
      return progress == DumpProgress::kDone ? sockets : std::vector<SocketEntry>{};
    }
  }
}

}  // namespace

DumpProgress readDumpDatagram(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                              std::uint8_t protocol, std::vector<SocketEntry>& into) {
  while (datagram.size() >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, datagram.data(), sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > datagram.size()) {
      return DumpProgress::kFailed;
    }
    if (header.nlmsg_seq == sequence) {
      if (header.nlmsg_type == NLMSG_DONE) {
        return DumpProgress::kDone;
      }
      if (header.nlmsg_type == NLMSG_ERROR) {
        return DumpProgress::kFailed;
      }
      if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
        addSocket(datagram.subspan(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN), protocol, into);
      }
    }
    datagram =
        datagram.subspan(std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), datagram.size()));
  }
  return datagram.empty() ? DumpProgress::kMore : DumpProgress::kFailed;
}

std::vector<SocketEntry> SystemSockets::sockets(std::uint8_t protocol) {
  std::vector<SocketEntry> sockets = dumpFamily(AF_INET, protocol);
  std::vector<SocketEntry> v6 = dumpFamily(AF_INET6, protocol);
  sockets.insert(sockets.end(), v6.begin(), v6.end());
  return sockets;
}

std::vector<IpAddress> SystemSockets::localAddresses() {
  std::vector<IpAddress> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    return addresses;
  }
  for (const ifaddrs* interface = interfaces; interface != nullptr;
       interface = interface->ifa_next) {
    const sockaddr* address = interface->ifa_addr;
    if (address != nullptr && address->sa_family == AF_INET) {
      const auto& v4 = *reinterpret_cast<const sockaddr_in*>(address);
      addresses.push_back(
          IpAddress::of(IpAddress::kV4, reinterpret_cast<const std::uint8_t*>(&v4.sin_addr)));
    } else if (address != nullptr && address->sa_family == AF_INET6) {
      const auto& v6 = *reinterpret_cast<const sockaddr_in6*>(address);
      addresses.push_back(IpAddress::of(IpAddress::kV6, v6.sin6_addr.s6_addr));
    }
  }
  freeifaddrs(interfaces);
  return addresses;
}

}  // namespace wq

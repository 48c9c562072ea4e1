// SPDX-License-Identifier: GPL-3.0-or-later
// make_sample_capture FILE: writes a small capture of everyday traffic on a home network (a web
// page fetched over TCP, DNS lookups over IPv4 and IPv6, pings, time, service discovery, the
// start of a TLS and of an SSH connection) as a pcap file, for trying wirequill without capturing
// live.

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/CaptureFileWriter.h"
#include "tracking/decode/PacketDecoder.h"

using namespace wq::testing;

namespace {

Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// A DNS query for `name` (dotted) of record type `type`.
Bytes dnsQuery(std::uint16_t id, const std::string& name, std::uint8_t type) {
  Bytes query = {static_cast<std::uint8_t>(id >> 8),
                 static_cast<std::uint8_t>(id),
                 0x01,
                 0x00,
                 0,
                 1,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0};
  std::size_t start = 0;
  while (start < name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    query.push_back(static_cast<std::uint8_t>(dot - start));
    query.insert(query.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                 name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  query.insert(query.end(), {0, 0, type, 0, 1});
  return query;
}

// The answer to `query`: one record of its name and type holding `data`.
Bytes dnsAnswer(Bytes query, const Bytes& data) {
  query[2] = 0x81;
  query[3] = 0x80;
  query[7] = 1;
  const std::uint8_t type = query[query.size() - 3];
  query.insert(query.end(), {0xC0, 0x0C, 0, type, 0, 1, 0, 0, 0x0E, 0x10, 0,
                             static_cast<std::uint8_t>(data.size())});
  query.insert(query.end(), data.begin(), data.end());
  return query;
}

// An NTP request (mode 3) or reply (mode 4): 48 bytes, the transmit time stamp last.
Bytes ntpPacket(std::uint8_t mode) {
  Bytes packet(40, 0);
  packet[0] = static_cast<std::uint8_t>(0x20 | mode);
  packet[2] = 6;     // poll interval 64 s
  packet[3] = 0xe9;  // precision
  if (mode == 4) {
    packet[1] = 2;  // stratum
  }
  const Bytes transmitted = {0xed, 0x0c, 0x1a, 0x2e, 0x3f, 0x7c, 0xa1, mode};
  packet.insert(packet.end(), transmitted.begin(), transmitted.end());
  return packet;
}

std::vector<TimedFrame> sampleTraffic() {
  const char* client = "192.168.7.20";
  const char* laptop = "192.168.7.31";
  const char* server = "192.168.7.80";
  const char* resolver = "192.168.7.1";
  const char* client6 = "2001:db8:7::20";
  const char* resolver6 = "2001:db8:7::1";
  const char* shell6 = "2001:db8:7::22";
  const std::string request =
      "GET /index.html HTTP/1.1\r\nHost: intranet.example\r\nUser-Agent: sample/1.0\r\n"
      "Accept: text/html\r\n\r\n";
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 96\r\n\r\n"
      "<html><head><title>Intranet</title></head><body><p>Welcome to the intranet.</p></body>"
      "</html>\n";
  const Bytes lookup = dnsQuery(0x1234, "intranet.example", 1);
  const Bytes lookup6 = dnsQuery(0x5a17, "mirror.example", 28);
  const Bytes lookupLater = dnsQuery(0x2b60, "updates.example", 1);
  const Bytes discovery = dnsQuery(0, "_ipp._tcp.local", 12);
  const Bytes ping = bytesOf("wirequill sample ping payload: abcdefghijklmnopqrstuvwxyz0123");
  const std::string search =
      "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 2\r\n"
      "ST: ssdp:all\r\n\r\n";
  // The first bytes of a TLS ClientHello and ServerHello; the rest is opaque.
  const Bytes clientHello =
      joined({{0x16, 0x03, 0x01, 0x00, 0xc8, 0x01, 0x00, 0x00, 0xc4, 0x03, 0x03},
              patternedBytes(120, 31)});
  const Bytes serverHello = joined(
      {{0x16, 0x03, 0x03, 0x00, 0x7a, 0x02, 0x00, 0x00, 0x76, 0x03, 0x03}, patternedBytes(96, 80)});

  using namespace wq::tcpflags;
  // Each end of each connection numbers its bytes from its own initial sequence number; data
  // segments carry time stamp options, as Linux sends them.
  TcpSender shellClient(client6, 51022, shell6, 22, 0x6b1d2a01);
  TcpSender shellServer(shell6, 22, client6, 51022, 0x1c9e4f70);
  TcpSender tlsClient(laptop, 50618, server, 443, 0x2f00e1b3);
  TcpSender tlsServer(server, 443, laptop, 50618, 0x93a4c5d6);
  TcpSender webClient(client, 50412, server, 80, 0xfffff000);  // its numbers wrap at 2^32
  TcpSender webServer(server, 80, client, 50412, 0x0a0b0c0d);
  const auto send = [](TcpSender& end, const Bytes& payload) {
    return end.send(payload, ACK | PSH, kTimestampOptions);
  };
  // A lookup and a ping, then a morning's small traffic, then a page fetched more than 15 s after
  // the first: by then the idle purge has taken the first nodes away.
  return {
      {0.000, udpFrame(client, 53001, resolver, 53, lookup)},
      {0.004, udpFrame(resolver, 53, client, 53001, dnsAnswer(lookup, {192, 168, 7, 80}))},
      {0.500, icmpFrame(client, server, ping)},
      {0.501, icmpFrame(server, client, ping)},
      {6.200, udpFrame(client, 123, resolver, 123, ntpPacket(3))},
      {6.231, udpFrame(resolver, 123, client, 123, ntpPacket(4))},
      {8.900, udpFrame("fe80::8c1f:62ff:fe3a:91d4", 5353, "ff02::fb", 5353, discovery)},
      {10.400, udpFrame(client6, 53870, resolver6, 53, lookup6)},
      {10.431, udpFrame(resolver6, 53, client6, 53870,
                        dnsAnswer(lookup6, {0x20, 0x01, 0x0d, 0xb8, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 0x40}))},
      {11.000, shellClient.syn()},
      {11.001, shellServer.syn(SYN | ACK)},
      {11.002, shellClient.send(Bytes{}, ACK)},
      {11.020, send(shellServer, bytesOf("SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3\r\n"))},
      {11.021, send(shellClient, bytesOf("SSH-2.0-OpenSSH_9.7\r\n"))},
      {12.800, icmpFrame(client6, shell6, ping)},
      {12.801, icmpFrame(shell6, client6, ping)},
      {14.200, udpFrame(laptop, 50623, "239.255.255.250", 1900, bytesOf(search))},
      {15.600, tlsClient.syn()},
      {15.601, tlsServer.syn(SYN | ACK)},
      {15.602, send(tlsClient, clientHello)},
      {15.610, send(tlsServer, serverHello)},
      {17.000, webClient.syn()},
      {17.001, webServer.syn(SYN | ACK)},
      {17.002, webClient.send(Bytes{}, ACK)},
      {17.003, send(webClient, bytesOf(request))},
      {17.010, send(webServer, bytesOf(response))},
      {17.011, webClient.send(Bytes{}, ACK)},
      {18.500, icmpFrame(client, server, ping)},
      {18.501, icmpFrame(server, client, ping)},
      {19.300, udpFrame(laptop, 41877, resolver, 53, lookupLater)},
      {19.302, udpFrame(resolver, 53, laptop, 41877, dnsAnswer(lookupLater, {192, 168, 7, 90}))},
      {20.000, webClient.send(Bytes{}, FIN | ACK)},
      {20.001, webServer.send(Bytes{}, FIN | ACK)},
      {20.002, webClient.send(Bytes{}, ACK)},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: make_sample_capture FILE\n");
    return 2;
  }
  if (!writeCaptureFile(argv[1], sampleTraffic())) {
    std::fprintf(stderr, "make_sample_capture: could not write %s\n", argv[1]);
    return 1;
  }
  return 0;
}

// make_sample_capture FILE: writes a small capture of everyday traffic (a web page fetched over
// TCP, a DNS lookup, a ping) as a pcap file, for trying wirequill without capturing live.

#include <cstdio>
#include <string>
#include <vector>

#include "tools/CaptureFileWriter.h"
#include "tracking/PacketDecoder.h"

using namespace wq::testing;

namespace {

std::vector<TimedFrame> sampleTraffic() {
  const char* client = "192.168.7.20";
  const char* server = "192.168.7.80";
  const char* resolver = "192.168.7.1";
  const Bytes options = {2, 4, 5, 180, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
  const std::string request =
      "GET /index.html HTTP/1.1\r\nHost: intranet.example\r\nUser-Agent: sample/1.0\r\n"
      "Accept: text/html\r\n\r\n";
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 96\r\n\r\n"
      "<html><head><title>Intranet</title></head><body><p>Welcome to the intranet.</p></body>"
      "</html>\n";
  // A DNS query for intranet.example (type A), and its answer.
  Bytes dnsQuery = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 8};
  for (const char* label : {"intranet",
                            "\x07"
                            "example"}) {
    const Bytes text = bytesOf(label);
    dnsQuery.insert(dnsQuery.end(), text.begin(), text.end());
  }
  dnsQuery.insert(dnsQuery.end(), {0, 0, 1, 0, 1});
  Bytes dnsAnswer = dnsQuery;
  dnsAnswer[2] = 0x81;
  dnsAnswer[3] = 0x80;
  dnsAnswer[7] = 1;
  const Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 192, 168, 7, 80};
  dnsAnswer.insert(dnsAnswer.end(), record.begin(), record.end());
  const Bytes ping = bytesOf("wirequill sample ping payload: abcdefghijklmnopqrstuvwxyz0123");

  using namespace wq::tcpflags;
  // A lookup and a ping, then a page fetched more than 15 s later: by then the idle purge has
  // taken the first nodes away.
  return {
      {0.000, udpFrame(client, 53001, resolver, 53, dnsQuery)},
      {0.004, udpFrame(resolver, 53, client, 53001, dnsAnswer)},
      {0.500, icmpFrame(client, server, ping)},
      {0.501, icmpFrame(server, client, ping)},
      {17.000, tcpFrame(client, 50412, server, 80, SYN, options)},
      {17.001, tcpFrame(server, 80, client, 50412, SYN | ACK, options)},
      {17.002, tcpFrame(client, 50412, server, 80, ACK, {})},
      {17.003, tcpFrame(client, 50412, server, 80, ACK | 0x08, bytesOf(request))},
      {17.010, tcpFrame(server, 80, client, 50412, ACK | 0x08, bytesOf(response))},
      {17.011, tcpFrame(client, 50412, server, 80, ACK, {})},
      {18.500, icmpFrame(client, server, ping)},
      {18.501, icmpFrame(server, client, ping)},
      {20.000, tcpFrame(client, 50412, server, 80, FIN | ACK, {})},
      {20.001, tcpFrame(server, 80, client, 50412, FIN | ACK, {})},
      {20.002, tcpFrame(client, 50412, server, 80, ACK, {})},
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

// SPDX-License-Identifier: GPL-3.0-or-later
// make_large_capture --seed N --packets COUNT FILE: writes a deterministic Ethernet/IPv4 pcap
// file of COUNT packets for whole-program benchmarks. The same seed and count give the same bytes.
//
// The traffic: a pool of 4096 concurrent TCP conversations (SYN and SYN-ACK with options, the
// closing ACK, requests with HTTP-like text, responses cut into segments of varied sizes with text
// or binary payloads, pure ACKs, and FIN from both sides), DNS-like UDP queries and answers, and
// ICMP echo requests and replies. Each packet comes from a conversation picked at random, so the
// conversations interleave; a finished one is replaced by a new one. About 84% of packets are
// TCP, 11% UDP and 5% ICMP.
//
// Time stamps start at 2026-12-06 14:03:20 UTC and advance by 0 to 13 microseconds per packet
// (150 000 packets per second on average), so two million packets span about 13 seconds of
// capture time: less than the default idle purge time of 15 s, so a reader purges little.
//
// Packets are written with pcap_dump as they are made; memory stays small whatever the count.

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/CaptureBuilder.h"
#include "tracking/decode/PacketDecoder.h"

using namespace wq::testing;
using namespace wq::tcpflags;

namespace {

constexpr std::size_t kTcpPool = 4096;
constexpr std::size_t kDnsPool = 256;
constexpr std::size_t kIcmpPool = 64;
constexpr std::uint32_t kMaxSegment = 1460;
constexpr std::uint32_t kMaxGapMicroseconds = 13;

// splitmix64: a small generator whose output is the same on every platform and library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // A number in [low, high].
  std::uint32_t between(std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(next() % (std::uint64_t{high} - low + 1));
  }
  bool chance(unsigned percent) { return next() % 100 < percent; }

 private:
  std::uint64_t state_;
};

std::string dotted(std::uint32_t hostOrder) {
  return std::to_string(hostOrder >> 24) + "." + std::to_string((hostOrder >> 16) & 0xFF) + "." +
         std::to_string((hostOrder >> 8) & 0xFF) + "." + std::to_string(hostOrder & 0xFF);
}

void putBe16(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void putBe32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  putBe16(bytes, offset, value >> 16);
  putBe16(bytes, offset + 2, value);
}

const char* const kWords[] = {"network", "quill",  "packet", "flow",   "monitor", "window",
                              "report",  "stream", "kernel", "buffer", "socket",  "capture"};

// `length` bytes of HTTP-like text starting with `head`, filled up with header-like lines.
Bytes textPayload(Random& random, std::string head, std::uint32_t length) {
  std::string text = std::move(head);
  while (text.size() < length) {
    text += "X-";
    text += kWords[random.next() % std::size(kWords)];
    text += ": ";
    text += kWords[random.next() % std::size(kWords)];
    text += "-" + std::to_string(random.between(0, 99999)) + "\r\n";
  }
  text.resize(length);
  return bytesOf(text);
}

Bytes binaryPayload(Random& random, std::uint32_t length) {
  Bytes bytes(length);
  for (std::size_t index = 0; index < length; index += 8) {
    const std::uint64_t word = random.next();
    std::memcpy(bytes.data() + index, &word, std::min<std::size_t>(8, length - index));
  }
  return bytes;
}

// One TCP conversation, told as a list of steps made when it starts; the bytes of each packet are
// made when it is sent.
class TcpConversation {
 public:
  TcpConversation() = default;
  TcpConversation(Random& random, std::uint32_t number) {
    client_ = dotted(0x0A000000 | random.between(1, 0xFFFE));  // 10.0.0.0/16
    server_ = dotted(0xAC100000 | random.between(1, 0x3FF));   // 172.16.0.0/22
    clientPort_ = static_cast<std::uint16_t>(random.between(1024, 65535));
    static constexpr std::uint16_t kPorts[] = {80, 8080, 443, 22, 5432, 25};
    serverPort_ = kPorts[random.next() % std::size(kPorts)];
    clientSequence_ = static_cast<std::uint32_t>(random.next());
    serverSequence_ = static_cast<std::uint32_t>(random.next());
    number_ = number;
    binary_ = serverPort_ == 443 || serverPort_ == 22 || random.chance(20);

    steps_.push_back({true, SYN, 0});
    steps_.push_back({false, SYN | ACK, 0});
    steps_.push_back({true, ACK, 0});
    const std::uint32_t exchanges = random.between(1, 4);
    for (std::uint32_t exchange = 0; exchange < exchanges; ++exchange) {
      steps_.push_back({true, ACK | PSH, random.between(60, 700)});
      const std::uint32_t segments =
          random.chance(30) ? random.between(4, 24) : random.between(1, 3);
      for (std::uint32_t segment = 1; segment <= segments; ++segment) {
        const bool last = segment == segments;
        const std::uint32_t size = last ? random.between(1, kMaxSegment) : kMaxSegment;
        steps_.push_back({false, static_cast<std::uint8_t>(last ? ACK | PSH : ACK), size});
        if (segment % 2 == 0 || last) {
          steps_.push_back({true, ACK, 0});
        }
      }
    }
    steps_.push_back({true, FIN | ACK, 0});
    steps_.push_back({false, FIN | ACK, 0});
    steps_.push_back({true, ACK, 0});
  }

  bool finished() const { return next_ == steps_.size(); }

  Bytes nextFrame(Random& random) {
    const Step step = steps_[next_++];
    std::uint32_t& sequence = step.fromClient ? clientSequence_ : serverSequence_;
    const std::uint32_t acknowledged = step.fromClient ? serverSequence_ : clientSequence_;
    Bytes tcp(step.flags & SYN ? 40 : 20, 0);
    putBe16(tcp, 0, step.fromClient ? clientPort_ : serverPort_);
    putBe16(tcp, 2, step.fromClient ? serverPort_ : clientPort_);
    putBe32(tcp, 4, sequence);
    putBe32(tcp, 8, step.flags & ACK ? acknowledged : 0);
    tcp[12] = static_cast<std::uint8_t>(tcp.size() / 4 << 4);
    tcp[13] = step.flags;
    putBe16(tcp, 14, 64240);
    if (step.flags & SYN) {
      std::memcpy(tcp.data() + 20, kSynOptions.data(), kSynOptions.size());
      putBe32(tcp, 28, number_ * 1000 + next_);  // the time stamp value
    }
    const Bytes payload = payloadOf(step, random);
    tcp.insert(tcp.end(), payload.begin(), payload.end());
    sequence += static_cast<std::uint32_t>(payload.size()) + (step.flags & (SYN | FIN) ? 1 : 0);
    return step.fromClient ? ipFrame(6, client_, server_, tcp) : ipFrame(6, server_, client_, tcp);
  }

 private:
  struct Step {
    bool fromClient;
    std::uint8_t flags;
    std::uint32_t length;
  };

  Bytes payloadOf(const Step& step, Random& random) {
    if (step.length == 0) {
      return {};
    }
    if (step.fromClient) {
      return textPayload(random,
                         "GET /" + std::string(kWords[number_ % std::size(kWords)]) + "/" +
                             std::to_string(number_) + " HTTP/1.1\r\nHost: server" +
                             std::to_string(number_ % 977) + ".example\r\n",
                         step.length);
    }
    if (binary_) {
      return binaryPayload(random, step.length);
    }
    if (!responseStarted_) {
      responseStarted_ = true;
      return textPayload(random, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", step.length);
    }
    return textPayload(random, "<p>", step.length);
  }

  std::string client_, server_;
  std::uint16_t clientPort_ = 0, serverPort_ = 0;
  std::uint32_t clientSequence_ = 0, serverSequence_ = 0, number_ = 0;
  bool binary_ = false, responseStarted_ = false;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
};

// A DNS-like query for a name, then its answer; or an ICMP echo request, then its reply, twice.
class ShortExchange {
 public:
  ShortExchange() = default;
  ShortExchange(Random& random, bool icmp) : icmp_(icmp) {
    client_ = dotted(0x0A000000 | random.between(1, 0xFFFE));
    server_ = icmp ? dotted(0xAC100000 | random.between(1, 0x3FF)) : "10.255.0.53";
    port_ = static_cast<std::uint16_t>(random.between(1024, 65535));
    identifier_ = static_cast<std::uint16_t>(random.next());
    packets_ = icmp ? 4 : 2;
    if (!icmp) {
      query_ = {0, 0, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
      putBe16(query_, 0, identifier_);
      for (int label = 0; label < 3; ++label) {
        const std::string word = label == 2 ? "example" : kWords[random.next() % std::size(kWords)];
        query_.push_back(static_cast<std::uint8_t>(word.size()));
        query_.insert(query_.end(), word.begin(), word.end());
      }
      query_.insert(query_.end(), {0, 0, 1, 0, 1});
    }
  }

  bool finished() const { return sent_ == packets_; }

  Bytes nextFrame(Random& random) {
    const bool request = sent_++ % 2 == 0;
    const std::string& from = request ? client_ : server_;
    const std::string& to = request ? server_ : client_;
    if (icmp_) {
      Bytes payload = binaryPayload(random, 48);
      std::memcpy(payload.data(), "wirequill echo  ", 16);
      Bytes frame = icmpFrame(from, to, payload);
      frame[34] = request ? 8 : 0;  // echo request or reply
      putBe16(frame, 38, identifier_);
      putBe16(frame, 40, sent_ / 2 + 1);
      return frame;
    }
    if (request) {
      return udpFrame(from, port_, to, 53, query_);
    }
    Bytes answer = query_;
    answer[2] = 0x81;
    answer[3] = 0x80;
    answer[7] = 1;
    // One A record for the name: 172.16.x.y, within the servers' addresses.
    Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 172, 16, 0, 0};
    record[14] = static_cast<std::uint8_t>(random.between(0, 3));
    record[15] = static_cast<std::uint8_t>(random.between(1, 254));
    answer.insert(answer.end(), record.begin(), record.end());
    return udpFrame(from, 53, to, port_, answer);
  }

 private:
  bool icmp_ = false;
  std::string client_, server_;
  std::uint16_t port_ = 0, identifier_ = 0;
  Bytes query_;
  unsigned packets_ = 0, sent_ = 0;
};

struct Arguments {
  std::uint64_t seed = 0;
  std::uint64_t packets = 0;
  const char* file = nullptr;
};

bool parse(int argc, char** argv, Arguments& arguments) {
  if (argc != 6) {
    return false;
  }
  bool seed = false, packets = false;
  for (int index = 1; index + 1 < argc; index += 2) {
    char* end = nullptr;
    const std::uint64_t value = std::strtoull(argv[index + 1], &end, 10);
    if (*argv[index + 1] == '\0' || *end != '\0') {
      return false;
    }
    if (std::strcmp(argv[index], "--seed") == 0) {
      arguments.seed = value;
      seed = true;
    } else if (std::strcmp(argv[index], "--packets") == 0) {
      arguments.packets = value;
      packets = true;
    } else {
      return false;
    }
  }
  arguments.file = argv[5];
  return seed && packets;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!parse(argc, argv, arguments)) {
    std::fprintf(stderr, "Usage: make_large_capture --seed N --packets COUNT FILE\n");
    return 2;
  }
  const std::unique_ptr<pcap_t, decltype(&pcap_close)> dead(pcap_open_dead(DLT_EN10MB, 65535),
                                                            pcap_close);
  const std::unique_ptr<pcap_dumper_t, decltype(&pcap_dump_close)> dumper(
      pcap_dump_open(dead.get(), arguments.file), pcap_dump_close);
  if (!dumper) {
    std::fprintf(stderr, "make_large_capture: %s\n", pcap_geterr(dead.get()));
    return 1;
  }

  Random random(arguments.seed);
  std::uint32_t conversations = 0;
  std::vector<TcpConversation> tcp(kTcpPool);
  for (TcpConversation& conversation : tcp) {
    conversation = TcpConversation(random, conversations++);
  }
  std::vector<ShortExchange> dns(kDnsPool), icmp(kIcmpPool);
  for (ShortExchange& exchange : dns) {
    exchange = ShortExchange(random, false);
  }
  for (ShortExchange& exchange : icmp) {
    exchange = ShortExchange(random, true);
  }

  std::uint64_t microseconds = 0;
  for (std::uint64_t count = 0; count < arguments.packets; ++count) {
    Bytes frame;
    const std::uint64_t kind = random.next() % 100;
    if (kind < 84) {
      TcpConversation& conversation = tcp[random.next() % kTcpPool];
      frame = conversation.nextFrame(random);
      if (conversation.finished()) {
        conversation = TcpConversation(random, conversations++);
      }
    } else {
      std::vector<ShortExchange>& pool = kind < 95 ? dns : icmp;
      ShortExchange& exchange = pool[random.next() % pool.size()];
      frame = exchange.nextFrame(random);
      if (exchange.finished()) {
        exchange = ShortExchange(random, &pool == &icmp);
      }
    }
    microseconds += random.between(0, kMaxGapMicroseconds);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(kCaptureStart + microseconds / 1'000'000);
    header.ts.tv_usec = static_cast<suseconds_t>(microseconds % 1'000'000);
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, frame.data());
  }
  if (pcap_dump_flush(dumper.get()) != 0) {
    std::fprintf(stderr, "make_large_capture: cannot write %s\n", arguments.file);
    return 1;
  }
  return 0;
}

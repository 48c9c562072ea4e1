// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding speed and memory per node on a synthetic mix: TCP flows opening and growing, UDP
// datagrams, ICMP messages and FINs, with the default settings.
//
// Reports records per second (items_per_second) and the heap bytes each node takes beyond its
// payload (bytes_per_node_over_payload).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <random>

#include "tools/CaptureBuilder.h"
#include "tracking/PlainApplication.h"

namespace {

using namespace wq;
using namespace wq::testing;

struct Mix {
  Bytes stream;
  std::size_t records = 0;
};

// `flows` concurrent TCP conversations, each a handshake whose SYN and SYN-ACK carry 20 bytes of
// options, then 8 to 24 data segments of 1 to `maxSegment` bytes from the client, every other one
// answered by a pure ACK, then FIN-ACKs from both sides; it is then replaced by a fresh
// conversation. One record in ten is a UDP datagram and one in twenty an ICMP echo.
Mix makeMix(std::size_t records, std::size_t flows, unsigned maxSegment) {
  std::mt19937 random(42);
  const char* server = "192.168.0.80";
  enum class Stage { Syn, SynAck, Ack, Data, ClientFin, ServerFin };
  struct Conversation {
    TcpSender client;  // its segments to the server
    TcpSender server;  // and the server's answers
    Stage stage;
    int segmentsLeft;
  };
  std::uint32_t nextClient = 0;
  const auto fresh = [&] {
    ++nextClient;
    const std::string client = "10." + std::to_string(nextClient >> 16 & 255) + "." +
                               std::to_string(nextClient >> 8 & 255) + "." +
                               std::to_string(nextClient & 255);
    const auto port = static_cast<std::uint16_t>(1024 + nextClient % 60000);
    return Conversation{TcpSender(client, port, server, 80, static_cast<std::uint32_t>(random())),
                        TcpSender(server, 80, client, port, static_cast<std::uint32_t>(random())),
                        Stage::Syn, static_cast<int>(8 + random() % 17)};
  };
  std::vector<Conversation> open;
  for (std::size_t i = 0; i < flows; ++i) {
    open.push_back(fresh());
  }
  std::vector<Bytes> frames;
  frames.reserve(records);
  const auto toServer = [&](Conversation& c, std::uint8_t flags, const Bytes& payload) {
    frames.push_back(c.client.send(payload, flags));
  };
  const auto toClient = [&](Conversation& c, std::uint8_t flags, const Bytes& payload) {
    frames.push_back(c.server.send(payload, flags));
  };
  using namespace tcpflags;
  while (frames.size() < records) {
    const unsigned kind = random() % 20;
    if (kind < 2) {
      frames.push_back(udpFrame("172.16.0.1", static_cast<std::uint16_t>(random()), "172.16.0.2",
                                53, Bytes(40 + random() % 200, 'u')));
      continue;
    }
    if (kind == 2) {
      frames.push_back(icmpFrame("172.16.0.3", "172.16.0.4", Bytes(56, 'p')));
      continue;
    }
    Conversation& c = open[random() % open.size()];
    switch (c.stage) {
      case Stage::Syn:
        frames.push_back(c.client.syn());
        c.stage = Stage::SynAck;
        break;
      case Stage::SynAck:
        frames.push_back(c.server.syn(SYN | ACK));
        c.stage = Stage::Ack;
        break;
      case Stage::Ack:
        toServer(c, ACK, {});
        c.stage = Stage::Data;
        break;
      case Stage::Data:
        toServer(c, ACK, Bytes(1 + random() % maxSegment, 'd'));
        if (--c.segmentsLeft % 2 == 0) {
          toClient(c, ACK, {});
        }
        if (c.segmentsLeft == 0) {
          c.stage = Stage::ClientFin;
        }
        break;
      case Stage::ClientFin:
        toServer(c, FIN | ACK, {});
        c.stage = Stage::ServerFin;
        break;
      case Stage::ServerFin:
        toClient(c, FIN | ACK, {});
        c = fresh();
        break;
    }
  }
  return {streamOf(frames), frames.size()};
}

struct Quiet {
  MemorySettingsStore store;
  ManualClock clock{TimePoint{std::chrono::seconds{testing::kCaptureStart}}};
  MemoryLog log;
  TableHostResolver resolver;
};

// Arguments: records, largest data segment (1400: bulk transfers; 200: interactive traffic).
void BM_DecodeMix(benchmark::State& state) {
  const Mix mix = makeMix(static_cast<std::size_t>(state.range(0)), 2000,
                          static_cast<unsigned>(state.range(1)));
  double overhead = 0;
  for (auto _ : state) {
    Quiet quiet;
    const std::size_t heapBefore = mallinfo2().uordblks;
    auto app =
        std::make_unique<PlainApplication>(quiet.store, quiet.clock, quiet.log, quiet.resolver);
    app->session.tracker().dataReceived(ByteView(mix.stream.data(), mix.stream.size()));

    state.PauseTiming();
    // One purge tick a little later, as the running monitor has every second: nothing is purged,
    // but nodes that went quiet give back their spare room.
    quiet.clock.advance(std::chrono::seconds(2));
    app->session.tracker().purgeNodes();
    const NodeList& nodes = app->session.tracker().connectionsArray();
    std::size_t payload = 0;
    nodes.forEach([&](const WQMConnection& node) { payload += node.byteCount(); });
    const double heap = static_cast<double>(mallinfo2().uordblks - heapBefore);
    overhead = (heap - static_cast<double>(payload)) / static_cast<double>(nodes.size());
    state.counters["nodes"] = static_cast<double>(nodes.size());
    state.counters["payload_MiB"] = static_cast<double>(payload) / (1 << 20);
    app.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * mix.records));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix.stream.size()));
  state.counters["bytes_per_node_over_payload"] = overhead;
}
BENCHMARK(BM_DecodeMix)
    ->Args({1'000'000, 1400})
    ->Args({1'000'000, 200})
    ->Unit(benchmark::kMillisecond);

// The same stream with intake halted: reading records and frames alone.
void BM_ParseOnly(benchmark::State& state) {
  const Mix mix = makeMix(static_cast<std::size_t>(state.range(0)), 2000, 1400);
  Quiet quiet;
  PlainApplication app(quiet.store, quiet.clock, quiet.log, quiet.resolver);
  MemoryToggleButton on;
  on.setState(ToggleButton::kOn);
  app.view.nodeAddedHalt(on);
  for (auto _ : state) {
    app.session.tracker().dataReceived(ByteView(mix.stream.data(), mix.stream.size()));
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * mix.records));
}
BENCHMARK(BM_ParseOnly)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

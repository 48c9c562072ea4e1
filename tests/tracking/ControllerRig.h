// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A session and its view wired to plain platform pieces, with a clock that stands still until
// moved.

#include <arpa/inet.h>

#include <chrono>
#include <map>

#include "tools/CaptureBuilder.h"
#include "tracking/PlainApplication.h"
#include "tracking/view/TextFormat.h"

namespace wq::testing {

inline const TimePoint kStartTime = TimePoint{std::chrono::seconds{kCaptureStart}};

// The address that a text names, in either family.
inline IpAddress ip(const std::string& text) {
  return parseAddress(text).value();
}

inline std::string payloadOf(const WQMConnection& node) {
  const auto data = node.packetData();
  return std::string(data.begin(), data.end());
}

// A panel's six fields and its status light, joined by '|'.
inline std::string panelText(const WQMNodeBox& box) {
  return box.protocolField() + "|" + box.sourceIPField() + "|" + box.destinationIPField() + "|" +
         box.sourcePortField() + "|" + box.destinationPortField() + "|" + box.lastHitField() + "|" +
         box.statusLight();
}

// A program lookup that answers when the test says, as the test says.
struct FakeProgramLookup : ProgramSource {
  std::vector<ProgramQuery> asked;
  std::vector<ProgramAnswer> ready;
  int settles = 0;
  void ask(const ProgramQuery& query) override { asked.push_back(query); }
  std::vector<ProgramAnswer> takeAnswers() override { return std::exchange(ready, {}); }
  bool settle(std::chrono::milliseconds /*patience*/) override {
    ++settles;
    return true;
  }
  // Answers every query asked so far whose source port (host order) `programs` holds.
  void answer(const std::map<std::uint16_t, NodePrograms>& programs) {
    std::erase_if(asked, [&](const ProgramQuery& query) {
      const auto found = programs.find(ntohs(query.ends.sport));
      if (found != programs.end()) {
        ready.push_back({query, found->second});
      }
      return found != programs.end();
    });
  }
};

struct ControllerRig {
  MemorySettingsStore store;
  ManualClock clock{kStartTime};
  MemoryLog log;
  TableHostResolver resolver;
  PlainApplication app{store, clock, log, resolver};
  Session& session = app.session;
  NodeTracker& tracker = session.tracker();
  ViewController& view = app.view;
  RefineActions& refine = app.refine;
  MemoryTableView& table = app.table;
  MemoryTextView& pane = app.pane;
  SilentSoundPlayer& sounds = app.sounds;

  // All frames in one chunk.
  void feed(const std::vector<Bytes>& frames) {
    const Bytes chunk = chunkOf(frames);
    tracker.decodeCaptureBuffer(ByteView(chunk.data(), chunk.size()));
  }
  // One frame captured to at most `snapshotLength` bytes, its length on the wire kept.
  void feedCaptured(const Bytes& frame, std::size_t snapshotLength) {
    Bytes chunk;
    appendRecord(chunk,
                 Bytes(frame.begin(), frame.begin() + std::min(frame.size(), snapshotLength)), 0, 0,
                 static_cast<std::uint32_t>(frame.size()));
    chunk.resize(kChunkLength, 0);
    tracker.decodeCaptureBuffer(ByteView(chunk.data(), chunk.size()));
  }
  void set(std::string_view key, SettingValue value) { store.setValue(key, value); }
  const WQMConnection& node(std::size_t index) const {
    return tracker.connectionsArray().at(index);
  }
  std::size_t nodeCount() const { return tracker.connectionsArray().size(); }

  // The list in one line: each node as protocol ("o" after it for a connection open before
  // capture started), payload with the bytes held beyond a hole (its length when longer than 12
  // bytes or not printable), "+N" for N bytes not captured or in a hole, and the seconds of its
  // first and last hit since kStartTime.
  std::string nodes() const {
    std::string text;
    for (std::size_t i = 0; i < nodeCount(); ++i) {
      const WQMConnection& n = node(i);
      const NodeFacts facts = n.facts();
      const std::string payload(facts.payload.begin(), facts.payload.end());
      const bool plain =
          payload.size() <= 12 && std::all_of(payload.begin(), payload.end(),
                                              [](char c) { return c >= 0x20 && c <= 0x7E; });
      const auto second = [](TimePoint t) {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(t - kStartTime).count());
      };
      text += (i ? " " : "") + std::to_string(n.protocol()) + (n.openBeforeCapture() ? "o" : "") +
              (plain ? ":" + payload : "#" + std::to_string(payload.size())) +
              (n.byteCount() > payload.size() ? "+" + std::to_string(n.byteCount() - payload.size())
                                              : "") +
              "@" + second(n.startHit()) + "-" + second(n.lastHit());
    }
    return text;
  }
};

}  // namespace wq::testing

// SPDX-License-Identifier: GPL-3.0-or-later
// Writes captured frames as a pcap stream, in the layout tcpdump -w writes: a file header (link
// type Ethernet, since every frame is handed out in Ethernet framing), then each record's 16-byte
// header and its captured bytes, with nothing between them. Far smaller than the chunk stream for
// small frames, it suits a stream that crosses a network (capture on another host over ssh).
#pragma once

#include <cstdint>
#include <vector>

#include "capture/RecordOutput.h"

namespace netsiphon {

class PcapStreamWriter final : public RecordOutput {
 public:
  // Records pending beyond this many bytes are sent before more are added.
  static constexpr std::size_t kWriteLength = 65536;

  // The file header is pending at once: send() sends it before any record comes.
  explicit PcapStreamWriter(ByteSink& sink);

  bool add(Timestamp time, const Frame& frame) override;
  bool send() override;

 private:
  bool pending() const override { return !pending_.empty(); }
  template <class Value>
  void put(Value value);

  ByteSink& sink_;
  std::vector<std::uint8_t> pending_;
};

}  // namespace netsiphon

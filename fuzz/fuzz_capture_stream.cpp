// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as the capture stream, delivered in reads of arbitrary sizes, under arbitrary
// settings, with the purge, the refine actions, the selection and the report in between. After
// every read each node's byte count is its bytes and gaps, and no node outgrows its buffer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tests/tracking/ControllerRig.h"
#include "tracking/nodes/TcpStream.h"

namespace {

void checkNodes(const wq::NodeList& nodes) {
  nodes.forEach([](const wq::WQMConnection& node) {
    const wq::NodeFacts facts = node.facts();
    std::uint64_t counted = facts.payload.size();
    for (const wq::PayloadGap& gap : facts.gaps) {
      counted += gap.length;
      if (gap.at > facts.payload.size()) {
        std::abort();
      }
    }
    if (counted != facts.byteCount || facts.byteCount > node.bufferSize() ||
        node.heldBytes() > wq::kMostHeldBytes) {
      std::abort();
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The fuzzer's choices come from the front of the input, the stream from the rest.
  const auto choice = [&]() -> std::uint8_t { return size > 0 ? (--size, *data++) : 0; };
  wq::testing::ControllerRig rig;
  const std::int64_t maxPacketSizes[] = {24000, 0, -1, 1, 60, 1500, 2147483647};
  rig.set(wq::keys::MaxPacketSize, maxPacketSizes[choice() % 7]);
  const std::uint8_t flags = choice();
  rig.set(wq::keys::DropOnFIN, (flags & 1) != 0);
  rig.set(wq::keys::DropOnRST, (flags & 2) != 0);
  rig.set(wq::keys::ReportRecentNodesFirst, (flags & 4) != 0);
  rig.set(wq::keys::ReportResolveIPAddresses, (flags & 8) != 0);
  rig.set(wq::keys::TrackOpenConnections, (flags & 16) != 0);
  const std::size_t readSize = 1 + choice() * 64u;

  for (std::size_t at = 0; at < size; at += readSize) {
    rig.tracker.dataReceived(wq::ByteView(data + at, std::min(readSize, size - at)));
    checkNodes(rig.tracker.connectionsArray());
    rig.clock.advance(std::chrono::seconds(data[at] % 20));
    const int action = data[at] % 8;  // mostly none
    if (action == 0) {
      rig.tracker.purgeNodes();
    } else if (action == 1) {
      rig.view.previousNode();
    } else if (action == 2) {
      rig.view.removeNode();
    }
  }
  rig.tracker.captureStreamEnded();
  (void)rig.session.reportText();
  rig.refine.refineLastHit(10);
  rig.tracker.purgeNodes();
  return 0;
}

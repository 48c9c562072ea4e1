// Arbitrary bytes as the capture stream, delivered in reads of arbitrary sizes, under arbitrary
// settings, with the purge, the refine actions, the selection and the report in between.

#include <cstddef>
#include <cstdint>

#include "tests/tracking/ControllerRig.h"

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
  const std::size_t readSize = 1 + choice() * 64u;

  for (std::size_t at = 0; at < size; at += readSize) {
    rig.tracker.dataReceived(wq::ByteView(data + at, std::min(readSize, size - at)));
    rig.clock.advance(std::chrono::seconds(data[at] % 20));
    switch (data[at] % 8) {
      case 0:
        rig.tracker.purgeNodes();
        break;
      case 1:
        rig.view.previousNode();
        break;
      case 2:
        rig.view.removeNode();
        break;
      default:
        break;
    }
  }
  rig.tracker.captureStreamEnded();
  (void)rig.controller.reportText();
  rig.refine.refineLastHit(10);
  rig.tracker.purgeNodes();
  return 0;
}

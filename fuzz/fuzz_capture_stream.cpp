// Arbitrary bytes as the capture stream, delivered in reads of arbitrary sizes, under arbitrary
// settings, with the purge, the refine actions, the selection and the report in between.

#include <cstddef>
#include <cstdint>

#include "tools/CaptureBuilder.h"
#include "tracking/PlainApplication.h"

namespace {

struct Rig {
  wq::MemorySettingsStore store;
  wq::ManualClock clock{wq::TimePoint{std::chrono::seconds{wq::testing::kCaptureStart}}};
  wq::MemoryLog log;
  wq::TableHostResolver resolver;
  wq::PlainApplication app{store, clock, log, resolver};
  wq::ApplicationController& controller = app.controller;
};

// Reads the fuzzer's choices from the front of the input.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() {
    if (size_ == 0) {
      return 0;
    }
    --size_;
    return *data_++;
  }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Choices choices(data, size);
  Rig rig;
  const std::int64_t maxPacketSizes[] = {24000, 0, -1, 1, 60, 1500, 2147483647};
  rig.store.setValue(wq::keys::MaxPacketSize, maxPacketSizes[choices.next() % 7]);
  const std::uint8_t flags = choices.next();
  rig.store.setValue(wq::keys::DropOnFIN, (flags & 1) != 0);
  rig.store.setValue(wq::keys::DropOnRST, (flags & 2) != 0);
  rig.store.setValue(wq::keys::ReportRecentNodesFirst, (flags & 4) != 0);
  rig.store.setValue(wq::keys::ReportResolveIPAddresses, (flags & 8) != 0);
  const std::size_t readSize = 1 + choices.next() * 64u;

  const std::uint8_t* stream = choices.data();
  const std::size_t streamSize = choices.size();
  for (std::size_t at = 0; at < streamSize; at += readSize) {
    const std::size_t length = std::min(readSize, streamSize - at);
    rig.controller.tracker().dataReceived(wq::ByteView(stream + at, length));
    rig.clock.advance(std::chrono::seconds(stream[at] % 20));
    switch (stream[at] % 8) {
      case 0:
        rig.controller.tracker().purgeNodes();
        break;
      case 1:
        rig.controller.view().previousNode();
        break;
      case 2:
        rig.controller.view().removeNode();
        break;
      default:
        break;
    }
  }
  rig.controller.tracker().captureStreamEnded();
  (void)rig.controller.reportText();
  rig.controller.refine().refineLastHit(10);
  rig.controller.tracker().purgeNodes();
  return 0;
}

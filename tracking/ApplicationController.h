#pragma once
// The owner of the application's state and logic: the node list, the two activity panels and
// their halt switches, the capture-stream decoding, the idle purge, removal, the refine actions,
// menu validation, the detail pane and the report. It reaches the platform only through the
// interfaces of Platform.h, so it runs the same behind the window, headless and in tests.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tracking/CaptureStreamReader.h"
#include "tracking/Defaults.h"
#include "tracking/NodeList.h"
#include "tracking/PacketDecoder.h"
#include "tracking/Platform.h"
#include "tracking/Report.h"
#include "tracking/WQMNodeBox.h"

namespace wq {

namespace sounds {
inline constexpr const char* PopUpClick = "click05.wav";
inline constexpr const char* SearchFieldClick = "click01.wav";
}  // namespace sounds

// The interface elements the controller drives; the window's layout provides them.
struct Outlets {
  NodeTableView* nodesTableView = nullptr;
  TextView* dataTextView = nullptr;
  ToggleButton* nodeAddedHaltedButton = nullptr;
  ToggleButton* nodeDroppedHaltedButton = nullptr;
  WindowView* mainWindow = nullptr;
  SoundPlayer* sounds = nullptr;
};

class ApplicationController {
 public:
  // Defers the view work of everything done while it lives to one update at its end; batches
  // nest, and only the outermost one updates the view. Deliveries and purge ticks make their own;
  // a reader that delivers many times in a row can hold one around them all.
  class ViewBatch;

  ApplicationController(Defaults& defaults, const Clock& clock, LogSink& log,
                        HostResolver& resolver);
  ApplicationController(const ApplicationController&) = delete;
  ApplicationController& operator=(const ApplicationController&) = delete;

  // Connects the interface elements, then sets the status lights to running.
  void awakeFromNib(const Outlets& outlets);

  // --- Activity panels and halt switches
  WQMNodeBox& nodeAddedBox() { return nodeAddedBox_; }
  WQMNodeBox& nodeDroppedBox() { return nodeDroppedBox_; }
  bool nodeAddedHalted() const { return nodeAddedHalted_; }
  bool nodeDroppedHalted() const { return nodeDroppedHalted_; }
  void nodeAddedHalt(const ToggleButton& sender);
  void nodeDroppedHalt(const ToggleButton& sender);
  void haltAll();

  // --- Capture intake
  // Bytes as the pipe from the capture helper delivered them: every record of every complete
  // chunk is decoded, and the view is brought up to date once for the whole delivery.
  void dataReceived(ByteView bytes);
  // The stream has ended; hands back the bytes that made no whole chunk (the helper's text).
  std::string captureStreamEnded() { return streamReader_.takeRemainder(); }
  // Decodes every record of one chunk into node-list changes.
  void decodeCaptureBuffer(ByteView chunk);
  // Called with each record before it is decoded: lets a replay move its clock to the record's
  // time stamp.
  void setRecordObserver(std::function<void(const CaptureRecord&)> observer) {
    recordObserver_ = std::move(observer);
  }
  // Reloads the table and selects its last row alone, scrolled into view.
  void revealLastNode();
  // Whether view work is done once per delivery and per purge tick (the default) or after every
  // change, which is slower and ends in the same state.
  void setCoalescedViewUpdates(bool coalesced) { coalescedViewUpdates_ = coalesced; }

  // --- Idle purge and removal
  void purgeNodes();
  // The input has ended and no node will grow again: every node gives its spare room back.
  void inputEnded();
  void removeNode();

  // --- Refine actions. The pop-ups pass the tag of their selected item.
  void refineProtocol(int tag);
  void refineLastHit(int tag);
  void refineSourceIP(SearchField& sender);
  void refineDestinationIP(SearchField& sender);
  void refineSourcePort(SearchField& sender);
  void refineDestinationPort(SearchField& sender);

  // --- Node list and detail pane
  const NodeList& connectionsArray() const { return connectionsArray_; }
  int numberOfRowsInTableView() const { return static_cast<int>(connectionsArray_.size()); }
  std::string tableViewObjectValue(int row) const;
  // Shows the selected node in the added panel and the detail pane.
  void updateDataTextView();
  void previousNode();
  void nextNode();
  void openWindow();
  void closeWindow();
  bool validateMenuItem(int tag) const;

  // --- Report
  std::string reportText() const;
  void writeReport(const ReportSink& sink) const;

 private:
  struct Settings;  // the settings one delivery of capture data reads

  // The detail text a selection change inside a batch would have built: the node as it was
  // then (its payload only grows at the end, so its first byteCount bytes are still those).
  struct PendingDetail {
    const WQMConnection* node = nullptr;
    TimePoint lastHit;
    std::uint32_t byteCount = 0;
    std::optional<std::string> text;
  };

  Settings readSettings() const;
  void decodeChunk(ByteView chunk, const Settings& settings);
  void handlePacket(const DecodedPacket& packet, const Settings& settings);
  void handleTcpSegment(const DecodedPacket& packet, const Settings& settings);
  void addNode(const DecodedPacket& packet, const Settings& settings);
  void dropMatchingNode(const FlowKey& flow, const char* logLine);
  void discardNode(NodeList::NodePtr node);
  void revealNow();
  void deferReveal();
  void showSelectedNode(const WQMConnection& node);
  void materialize(PendingDetail& detail);
  void beginBatch();
  void endBatch();

  template <class Fails>
  void narrow(Fails fails);
  void refreshAfterRefine();
  void refineAddress(SearchField& sender, bool source);
  void refinePort(SearchField& sender, bool source);

  Defaults& defaults_;
  const Clock& clock_;
  LogSink& log_;
  HostResolver& resolver_;
  Outlets outlets_;

  NodeList connectionsArray_;
  WQMNodeBox nodeAddedBox_;
  WQMNodeBox nodeDroppedBox_;
  bool nodeAddedHalted_ = false;
  bool nodeDroppedHalted_ = false;
  CaptureStreamReader streamReader_;
  std::function<void(const CaptureRecord&)> recordObserver_;

  // While a batch runs, reveals only move a virtual selection; the table follows once at its end.
  struct BatchState {
    int selection = NodeTableView::kNoRow;
    bool revealed = false;
    std::optional<PendingDetail> detail;
  };
  std::optional<BatchState> batch_;
  bool coalescedViewUpdates_ = true;
  bool applyingBatch_ = false;
};

class ApplicationController::ViewBatch {
 public:
  explicit ViewBatch(ApplicationController& controller)
      : controller_(controller), owner_(controller.coalescedViewUpdates_ && !controller.batch_) {
    if (owner_) {
      controller_.beginBatch();
    }
  }
  ~ViewBatch() {
    if (owner_) {
      controller_.endBatch();
    }
  }
  ViewBatch(const ViewBatch&) = delete;
  ViewBatch& operator=(const ViewBatch&) = delete;

 private:
  ApplicationController& controller_;
  bool owner_;
};

}  // namespace wq

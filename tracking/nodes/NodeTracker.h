// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The node list and the rules that fill and empty it: capture data decoded into nodes by the
// packet rules, the two activity panels and their halts, the idle purge and removal. It knows
// nothing of a view; a NodeListObserver follows its changes.

#include <cstdint>
#include <functional>
#include <string>

#include "tracking/Defaults.h"
#include "tracking/Platform.h"
#include "tracking/decode/CaptureStreamReader.h"
#include "tracking/decode/PacketDecoder.h"
#include "tracking/nodes/DepartedFlows.h"
#include "tracking/nodes/NodeList.h"
#include "tracking/nodes/TcpStream.h"
#include "tracking/view/WQMNodeBox.h"

namespace wq {

// Told of the tracker's changes, so that a view can follow the list.
class NodeListObserver {
 public:
  virtual ~NodeListObserver() = default;
  // A run of changes (one delivery of capture data, one purge tick) begins and ends; runs nest,
  // and a view may put its work off until the outermost one ends.
  virtual void changesBegin() = 0;
  virtual void changesEnd() = 0;
  // A node was added, grown and moved to the end, or removed: the newest row is to be shown.
  virtual void lastNodeChanged() = 0;
  // `node` is new, and about to join the list.
  virtual void nodeAdded(WQMConnection& node) = 0;
  // `node` leaves the list and is about to be freed.
  virtual void nodeLeaving(const WQMConnection& node) = 0;
};

class NodeTracker {
 public:
  NodeTracker(Defaults& defaults, const Clock& clock, LogSink& log);
  NodeTracker(const NodeTracker&) = delete;
  NodeTracker& operator=(const NodeTracker&) = delete;

  void setObserver(NodeListObserver* observer) { observer_ = observer; }

  // Makes everything done while it lives one run of changes for the observer; runs nest, and only
  // the outermost one counts. Deliveries and purge ticks make their own; a reader that delivers
  // many times in a row can hold one around them all.
  class ChangeRun {
   public:
    explicit ChangeRun(NodeTracker& tracker) : observer_(tracker.observer_) {
      if (observer_) {
        observer_->changesBegin();
      }
    }
    ~ChangeRun() {
      if (observer_) {
        observer_->changesEnd();
      }
    }
    ChangeRun(const ChangeRun&) = delete;
    ChangeRun& operator=(const ChangeRun&) = delete;

   private:
    NodeListObserver* observer_;
  };

  const NodeList& connectionsArray() const { return connectionsArray_; }
  NodeList& connectionsArray() { return connectionsArray_; }

  // --- Activity panels and halts
  WQMNodeBox& nodeAddedBox() { return nodeAddedBox_; }
  WQMNodeBox& nodeDroppedBox() { return nodeDroppedBox_; }
  const WQMNodeBox& nodeAddedBox() const { return nodeAddedBox_; }
  const WQMNodeBox& nodeDroppedBox() const { return nodeDroppedBox_; }
  bool nodeAddedHalted() const { return nodeAddedHalted_; }
  bool nodeDroppedHalted() const { return nodeDroppedHalted_; }
  // Halting intake drops the packets read; halting the purge keeps idle nodes. The panels' status
  // lights say which.
  void setNodeAddedHalted(bool halted);
  void setNodeDroppedHalted(bool halted);
  // The capture has ended (or started again): while intake is not halted, the added panel's
  // light says whether packets can still come.
  void setCaptureEnded(bool ended);

  // --- Capture intake
  // Bytes as the pipe from the capture helper delivered them: every record of every complete
  // chunk is decoded, as one run of changes.
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

  // --- Idle purge and removal
  void purgeNodes();
  // The input has ended and no node will grow again: every node gives its spare room back.
  void inputEnded();
  // Removes the node at `index` (a row of the list), shown in the dropped panel.
  void removeNode(std::size_t index);
  // A node that left the list otherwise (refine): its TCP flow is remembered as departed.
  void nodeLeft(const WQMConnection& node) { rememberDeparted(node); }

 private:
  struct Settings;  // the settings one delivery of capture data reads

  Settings readSettings() const;
  void decodeChunk(ByteView chunk, const Settings& settings);
  void handlePacket(const DecodedPacket& packet, const Settings& settings);
  void handleTcpSegment(const DecodedPacket& packet, const Settings& settings);
  // The TCP node of the flow's newest connection.
  std::optional<NodeList::Handle> tcpNodeOf(const FlowKey& flow) const;
  // A data segment without a node starts one when connections open before capture are tracked
  // and the flow has not just left the list.
  std::optional<NodeList::Handle> openConnectionNode(const DecodedPacket& packet,
                                                     const Settings& settings);
  // Places a segment's data, whose first byte has number `sequence`, in the node at `match`: the
  // node grows, or overflows past its buffer or MaxPacketSize; bytes it holds change nothing.
  void placeData(const DecodedPacket& packet, std::uint32_t sequence, NodeList::Handle match,
                 const Settings& settings);
  // `node` grew after its turn `turn`, and the other direction may have grown since: the turn is
  // complete if it holds bytes and the TCP node of the reverse flow has grown since.
  void endTurnIfAnswered(WQMConnection& node, const TurnEnd& turn);
  NodeList::Handle addNode(const DecodedPacket& packet, const Settings& settings);
  void dropNode(NodeList::Handle match, const char* logLine);
  void discardNode(const NodeList::NodePtr& node);
  // A TCP node's flow is kept as departed, so that its later data starts no node.
  void rememberDeparted(const WQMConnection& node);
  void lastNodeChanged();

  Defaults& defaults_;
  const Clock& clock_;
  LogSink& log_;
  NodeListObserver* observer_ = nullptr;

  NodeList connectionsArray_;
  WQMNodeBox nodeAddedBox_;
  WQMNodeBox nodeDroppedBox_;
  bool nodeAddedHalted_ = false;
  bool captureEnded_ = false;
  bool nodeDroppedHalted_ = false;
  DepartedFlows departedFlows_;
  LastSpeakers lastSpeakers_;
  CaptureStreamReader streamReader_;
  std::function<void(const CaptureRecord&)> recordObserver_;
};

}  // namespace wq

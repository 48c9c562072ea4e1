// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/NodeTracker.h"

#include "tracking/nodes/TcpStream.h"

namespace wq {

namespace {
// After this long without a packet a node is taken to have stopped growing.
constexpr double kQuietSeconds = 1.0;
}  // namespace

struct NodeTracker::Settings {
  int maxPacketSize;
  bool dropOnFIN;
  bool dropOnRST;
  bool trackOpenConnections;
  double purgeIdleTime;
};

NodeTracker::NodeTracker(Defaults& defaults, const Clock& clock, LogSink& log)
    : defaults_(defaults), clock_(clock), log_(log), nodeAddedBox_(log), nodeDroppedBox_(log) {
  nodeAddedBox_.setStatusLight(lights::IntakeRuns);
  nodeDroppedBox_.setStatusLight(lights::PurgeRuns);
}

// --- Activity panels and halts

void NodeTracker::setNodeAddedHalted(bool halted) {
  nodeAddedHalted_ = halted;
  nodeAddedBox_.setStatusLight(halted          ? lights::Halted
                               : captureEnded_ ? lights::CaptureEnded
                                               : lights::IntakeRuns);
}

void NodeTracker::setCaptureEnded(bool ended) {
  captureEnded_ = ended;
  setNodeAddedHalted(nodeAddedHalted_);
}

void NodeTracker::setNodeDroppedHalted(bool halted) {
  nodeDroppedHalted_ = halted;
  nodeDroppedBox_.setStatusLight(halted ? lights::Halted : lights::PurgeRuns);
}

// --- Capture intake

void NodeTracker::dataReceived(ByteView bytes) {
  ChangeRun run(*this);
  const Settings settings = readSettings();
  streamReader_.feed(bytes, [&](ByteView chunk) { decodeChunk(chunk, settings); });
}

void NodeTracker::decodeCaptureBuffer(ByteView chunk) {
  ChangeRun run(*this);
  decodeChunk(chunk, readSettings());
}

NodeTracker::Settings NodeTracker::readSettings() const {
  return {maxPacketSize(defaults_), defaults_.boolValue(keys::DropOnFIN),
          defaults_.boolValue(keys::DropOnRST), defaults_.boolValue(keys::TrackOpenConnections),
          defaults_.doubleValue(keys::PurgeIdleTime)};
}

void NodeTracker::decodeChunk(ByteView chunk, const Settings& settings) {
  CaptureRecordCursor records(chunk);
  DecodedPacket packet;
  while (const auto record = records.next()) {
    if (recordObserver_) {
      recordObserver_(*record);
    }
    if (decodeFrame(record->frame, record->wireLength, packet)) {
      handlePacket(packet, settings);
    }
  }
}

void NodeTracker::handlePacket(const DecodedPacket& packet, const Settings& settings) {
  if (nodeAddedHalted_) {
    return;  // intake halted: the packet is read and dropped
  }
  if (packet.protocol == ipproto::TCP) {
    handleTcpSegment(packet, settings);
    return;
  }
  // Every ICMP message and UDP datagram with payload makes a node of its own.
  const std::int64_t length = packet.payloadLength;
  if (length > 0 && length < settings.maxPacketSize) {
    addNode(packet, settings);
  }
}

void NodeTracker::handleTcpSegment(const DecodedPacket& packet, const Settings& settings) {
  const std::uint8_t flags = packet.tcpFlags;
  const bool carriesData = packet.payloadLength > 0;
  // A bare ACK, the most common segment, changes nothing: its flow is not even looked up.
  if (!(flags & (tcpflags::SYN | tcpflags::FIN | tcpflags::RST)) && !carriesData) {
    return;
  }
  std::optional<NodeList::Handle> match = tcpNodeOf(packet.flow);

  // A SYN or SYN-ACK starts its direction's node. A SYN sent again (the same initial sequence
  // number) is the same connection; one with another starts a new connection, whose node takes
  // the flow's data from then on while the old one stays as it is.
  if (flags & tcpflags::SYN) {
    const bool sameConnection =
        match && !connectionsArray_.node(*match).openBeforeCapture() &&
        connectionsArray_.node(*match).initialSequence() == packet.tcpSequence;
    if (!sameConnection) {
      match = addNode(packet, settings);
    }
    if (carriesData) {
      placeData(packet, packet.tcpSequence + 1, *match, settings);  // after the SYN's own number
    }
    return;
  }
  // Data is placed in its node by sequence number; FIN and RST are not looked at then.
  if ((flags & tcpflags::ACK) && carriesData) {
    if (!match) {
      match = openConnectionNode(packet, settings);
    }
    if (match) {
      placeData(packet, packet.tcpSequence, *match, settings);
    }
    return;
  }
  if (!match) {
    return;
  }
  if ((flags & tcpflags::FIN) && settings.dropOnFIN) {
    dropNode(*match, "Dropping node on FIN...");
    return;  // RST is not looked at then
  }
  if (flags & tcpflags::FIN) {
    // The sender has finished: its node will not grow again and needs no spare room.
    connectionsArray_.node(*match).releaseSpareRoom();
  }
  if ((flags & tcpflags::RST) && settings.dropOnRST) {
    dropNode(*match, "Dropping node on RST...");
  }
}

std::optional<NodeList::Handle> NodeTracker::tcpNodeOf(const FlowKey& flow) const {
  return connectionsArray_.lastMatchWhere(
      flow, [](const WQMConnection& node) { return node.protocol() == ipproto::TCP; });
}

std::optional<NodeList::Handle> NodeTracker::openConnectionNode(const DecodedPacket& packet,
                                                                const Settings& settings) {
  if (!settings.trackOpenConnections ||
      departedFlows_.seenAgain(packet.ends, clock_.now(), settings.purgeIdleTime)) {
    return std::nullopt;
  }
  const NodeList::Handle made = addNode(packet, settings);
  WQMConnection& node = connectionsArray_.node(made);
  node.setOpenBeforeCapture(true);
  node.setInitialSequence(packet.tcpSequence - 1);  // its stream starts with this segment
  return made;
}

void NodeTracker::placeData(const DecodedPacket& packet, std::uint32_t sequence,
                            NodeList::Handle match, const Settings& settings) {
  WQMConnection& node = connectionsArray_.node(match);
  // The node's turn so far, complete if this segment answers the other direction.
  const TurnEnd turn{static_cast<std::uint32_t>(node.packetData().size()), node.inOrderCount(),
                     node.lastHit()};
  const std::int64_t limit =
      std::min<std::int64_t>(settings.maxPacketSize, std::int64_t{node.bufferSize()});
  switch (placeSegment(node, {sequence, packet.payload, packet.payloadLength}, limit)) {
    case Placement::Duplicate:
      return;
    case Placement::Overflow:
      nodeDroppedBox_.showFlow(ipproto::TCP, packet.ends, clock_.now());
      discardNode(connectionsArray_.remove(match));
      break;
    case Placement::Grew:
      if (lastSpeakers_.otherMayHaveGrown(packet.flow)) {
        endTurnIfAnswered(node, turn);
      }
      node.setLastHit(clock_.now());
      if (packet.tcpFlags & tcpflags::FIN) {
        node.releaseSpareRoom();  // its last data
      }
      nodeAddedBox_.showFlow(ipproto::TCP, packet.ends, node.lastHit());
      connectionsArray_.moveToEnd(match);
      break;
  }
  lastNodeChanged();
}

void NodeTracker::endTurnIfAnswered(WQMConnection& node, const TurnEnd& turn) {
  // Bytes held beyond a hole end a turn too, so that the turn ends when they came; the bytes that
  // fill the hole then add nothing to that turn.
  const std::span<const TurnEnd> ends = node.turnEnds();
  if (turn.inOrder == (ends.empty() ? 0 : ends.back().inOrder)) {
    return;  // the turn has no bytes yet
  }
  const std::optional<NodeList::Handle> reverse = tcpNodeOf(reversed(node.flowKey()));
  if (!reverse) {
    return;
  }
  const WQMConnection& other = connectionsArray_.node(*reverse);
  if (other.byteCount() > 0 && other.lastHit() > turn.time) {
    node.endTurn(turn);
  }
}

NodeList::Handle NodeTracker::addNode(const DecodedPacket& packet, const Settings& settings) {
  auto node = std::make_unique<WQMConnection>(clock_.now(), settings.maxPacketSize);
  node->setProtocol(packet.protocol);
  node->setsaddr(packet.ends.source);
  node->setdaddr(packet.ends.destination);
  node->setsport(packet.flow.sport);
  node->setdport(packet.flow.dport);
  if (packet.protocol == ipproto::TCP) {
    node->setInitialSequence(packet.tcpSequence);  // its data comes through placeData
  } else {
    node->setPacketData(packet.payload.data(), static_cast<std::uint32_t>(packet.payload.size()),
                        packet.missingLength());
  }
  if (observer_) {
    observer_->nodeAdded(*node);
  }
  nodeAddedBox_.showNode(*node);
  const NodeList::Handle added = connectionsArray_.append(std::move(node));
  lastNodeChanged();
  return added;
}

void NodeTracker::dropNode(NodeList::Handle match, const char* logLine) {
  log_.log(logLine);
  discardNode(connectionsArray_.remove(match));
  lastNodeChanged();
}

void NodeTracker::discardNode(const NodeList::NodePtr& node) {
  rememberDeparted(*node);
  if (observer_) {
    observer_->nodeLeaving(*node);
  }
}

void NodeTracker::rememberDeparted(const WQMConnection& node) {
  if (node.protocol() == ipproto::TCP) {
    departedFlows_.add(node.flowKey().ends(), clock_.now());
  }
}

void NodeTracker::lastNodeChanged() {
  if (observer_) {
    observer_->lastNodeChanged();
  }
}

// --- Idle purge and removal

void NodeTracker::purgeNodes() {
  if (nodeDroppedHalted_) {
    return;
  }
  const TimePoint now = clock_.now();
  const double idleLimit = defaults_.doubleValue(keys::PurgeIdleTime);
  departedFlows_.forgetIdle(now, idleLimit);
  ChangeRun run(*this);
  const bool listed = !connectionsArray_.empty();
  connectionsArray_.forEach([&](WQMConnection& node) {
    const double idleSeconds = std::chrono::duration<double>(now - node.lastHit()).count();
    if (idleSeconds > idleLimit) {
      nodeDroppedBox_.showNode(node);
      for (auto& removed : connectionsArray_.removeAllMatching(node.flowKey())) {
        discardNode(removed);
      }
    } else if (idleSeconds >= kQuietSeconds) {
      node.releaseSpareRoom();
    }
  });
  // Every tick shows the newest row again, as long as there were nodes to look at.
  if (listed) {
    lastNodeChanged();
  }
}

void NodeTracker::inputEnded() {
  connectionsArray_.forEach([](WQMConnection& node) { node.releaseSpareRoom(); });
}

void NodeTracker::removeNode(std::size_t index) {
  nodeDroppedBox_.showNode(connectionsArray_.at(index));
  discardNode(connectionsArray_.removeAt(index));
}

}  // namespace wq

#include "tracking/NodeTracker.h"

namespace wq {

namespace {
// After this long without a packet a node is taken to have stopped growing.
constexpr double kQuietSeconds = 1.0;
}  // namespace

struct NodeTracker::Settings {
  int maxPacketSize;
  bool dropOnFIN;
  bool dropOnRST;
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
  return {defaults_.integerValue(keys::MaxPacketSize), defaults_.boolValue(keys::DropOnFIN),
          defaults_.boolValue(keys::DropOnRST)};
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
  const std::int64_t length = packet.payloadLength;
  const bool payloadFits = length > 0 && length < settings.maxPacketSize;

  if ((flags & tcpflags::SYN) && payloadFits) {
    addNode(packet, settings);
    return;
  }
  // Data grows its node; a segment too large for any node overflows it, so that no node grows
  // past the bytes it missed.
  if ((flags & tcpflags::ACK) && length > 0) {
    if (const auto match = connectionsArray_.firstMatch(packet.flow)) {
      growOrOverflow(packet, *match, settings);
      lastNodeChanged();
      return;
    }
    if (payloadFits) {
      return;  // data of a flow that has no node
    }
  }
  if ((flags & tcpflags::FIN) && settings.dropOnFIN) {
    dropMatchingNode(packet.flow, "Dropping node on FIN...");
    return;  // RST is not looked at then
  }
  if (flags & tcpflags::FIN) {
    // The sender has finished: its node will not grow again and needs no spare room.
    if (const auto match = connectionsArray_.firstMatch(packet.flow)) {
      connectionsArray_.node(*match).releaseSpareRoom();
    }
  }
  if ((flags & tcpflags::RST) && settings.dropOnRST) {
    dropMatchingNode(packet.flow, "Dropping node on RST...");
  }
}

void NodeTracker::growOrOverflow(const DecodedPacket& packet, NodeList::Handle match,
                                 const Settings& settings) {
  WQMConnection& node = connectionsArray_.node(match);
  const std::int64_t grown = std::int64_t{node.byteCount()} + packet.payloadLength;
  if (grown > settings.maxPacketSize || grown > std::int64_t{node.bufferSize()}) {
    nodeDroppedBox_.showFlow(ipproto::TCP, packet.ends, clock_.now());
    discardNode(connectionsArray_.remove(match));
    return;
  }
  node.setLastHit(clock_.now());
  node.augmentPacketData(packet.payload.data(), static_cast<std::uint32_t>(packet.payload.size()),
                         packet.missingLength());
  if (packet.tcpFlags & tcpflags::FIN) {
    node.releaseSpareRoom();  // its last data
  }
  nodeAddedBox_.showFlow(ipproto::TCP, packet.ends, node.lastHit());
  connectionsArray_.moveToEnd(match);
}

void NodeTracker::addNode(const DecodedPacket& packet, const Settings& settings) {
  auto node = std::make_unique<WQMConnection>(clock_.now(), settings.maxPacketSize);
  node->setProtocol(packet.protocol);
  node->setsaddr(packet.ends.source);
  node->setdaddr(packet.ends.destination);
  node->setsport(packet.flow.sport);
  node->setdport(packet.flow.dport);
  node->setPacketData(packet.payload.data(), static_cast<std::uint32_t>(packet.payload.size()),
                      packet.missingLength());
  nodeAddedBox_.showNode(*node);
  connectionsArray_.append(std::move(node));
  lastNodeChanged();
}

void NodeTracker::dropMatchingNode(const FlowKey& flow, const char* logLine) {
  const auto match = connectionsArray_.firstMatch(flow);
  if (!match) {
    return;
  }
  log_.log(logLine);
  discardNode(connectionsArray_.remove(*match));
  lastNodeChanged();
}

void NodeTracker::discardNode(const NodeList::NodePtr& node) {
  if (observer_) {
    observer_->nodeLeaving(*node);
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
  ChangeRun run(*this);
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
    lastNodeChanged();
  });
}

void NodeTracker::inputEnded() {
  connectionsArray_.forEach([](WQMConnection& node) { node.releaseSpareRoom(); });
}

void NodeTracker::removeNode(std::size_t index) {
  nodeDroppedBox_.showNode(connectionsArray_.at(index));
  discardNode(connectionsArray_.removeAt(index));
}

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An activity panel: six fields describing one node and a status light. The panel keeps what it
// shows, not the node, so its text outlives the node. The fields are formatted when read, so
// showing a node costs no text work on the packet path.

#include <optional>
#include <string>

#include "tracking/Platform.h"
#include "tracking/decode/FlowKey.h"
#include "tracking/nodes/WQMConnection.h"
#include "tracking/programs/ProgramSlot.h"

namespace wq {

namespace lights {
inline constexpr const char* CaptureEnded = "WQMBoxStatus0";  // added panel: no more packets come
inline constexpr const char* Halted = "WQMBoxStatus1";
inline constexpr const char* IntakeRuns = "WQMBoxStatus2";
inline constexpr const char* PurgeRuns = "WQMBoxStatus3";
}  // namespace lights

class WQMNodeBox {
 public:
  explicit WQMNodeBox(LogSink& log) : log_(log) {}

  // Fills the six fields from the node. For a protocol without a label the protocol field keeps
  // its text.
  void showNode(const WQMConnection& node);
  // Fills the six fields from a flow and a time, with the protocol field showing `protocol`'s
  // label (or keeping its text when it has none).
  void showFlow(std::uint32_t protocol, const FlowEnds& flow, TimePoint lastHit,
                ProgramSlotRef programs = {});
  void setStatusLight(std::string lightName) { statusLight_ = std::move(lightName); }

  // Empty until the first node is shown.
  std::string protocolField() const;
  std::string sourceIPField() const;
  std::string destinationIPField() const;
  std::string sourcePortField() const;
  std::string destinationPortField() const;
  std::string lastHitField() const;
  // What is known of the programs behind the node shown (programText), as of now: a lookup may
  // answer after the node was shown. Empty when nothing can be known.
  std::string programField() const;
  const std::string& statusLight() const { return statusLight_; }

 private:
  struct Shown {
    FlowEnds flow;
    TimePoint lastHit;
    ProgramSlotRef programs;
  };

  LogSink& log_;
  std::uint32_t labelledProtocol_ = 0;  // 0 until a protocol with a label was shown
  std::optional<Shown> shown_;
  std::string statusLight_;
};

}  // namespace wq

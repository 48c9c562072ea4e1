// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/WQMNodeBox.h"

#include "tracking/view/ProgramText.h"
#include "tracking/view/TextFormat.h"

namespace wq {

void WQMNodeBox::showNode(const WQMConnection& node) {
  showFlow(node.protocol(), node.flowKey().ends(), node.lastHit(), node.programsRef());
}

void WQMNodeBox::showFlow(std::uint32_t protocol, const FlowEnds& flow, TimePoint lastHit,
                          ProgramSlotRef programs) {
  if (!protocolLabel(protocol).empty()) {
    labelledProtocol_ = protocol;
  }
  shown_ = Shown{flow, lastHit, std::move(programs)};
}

std::string WQMNodeBox::protocolField() const {
  return std::string(protocolLabel(labelledProtocol_));
}

std::string WQMNodeBox::sourceIPField() const {
  return shown_ ? addressText(shown_->flow.source, log_) : "";
}

std::string WQMNodeBox::destinationIPField() const {
  return shown_ ? addressText(shown_->flow.destination, log_) : "";
}

std::string WQMNodeBox::sourcePortField() const {
  return shown_ ? std::to_string(hostOrderPort(shown_->flow.sport)) : "";
}

std::string WQMNodeBox::destinationPortField() const {
  return shown_ ? std::to_string(hostOrderPort(shown_->flow.dport)) : "";
}

std::string WQMNodeBox::lastHitField() const {
  return shown_ ? clockText(shown_->lastHit) : "";
}

std::string WQMNodeBox::programField() const {
  return shown_ ? programText(shown_->programs.get()) : "";
}

}  // namespace wq

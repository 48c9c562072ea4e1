#include "app/WQMRefineBox.h"

#include "tracking/MenuTags.h"

namespace wq {

WQMRefineBox::WQMRefineBox(QComboBox* protocolMenu, QComboBox* lastHitMenu, QLineEdit* sourceIP,
                           QLineEdit* sourcePort, QLineEdit* destinationIP,
                           QLineEdit* destinationPort)
    : refineProtocolMenu_(protocolMenu),
      refineLastHitMenu_(lastHitMenu),
      refineSourceIPField_(sourceIP),
      refineSourcePortField_(sourcePort),
      refineDestinationIPField_(destinationIP),
      refineDestinationPortField_(destinationPort) {
  refineProtocolMenu_->addItem("Any protocol", tags::AnyProtocol);
  refineProtocolMenu_->addItem("ICMP", tags::KeepICMP);
  refineProtocolMenu_->addItem("TCP", tags::KeepTCP);
  refineProtocolMenu_->addItem("UDP", tags::KeepUDP);
  refineLastHitMenu_->addItem("Any time", tags::AnyTime);
  for (int seconds = tags::kShortestLastHit; seconds <= tags::kLongestLastHit;
       seconds += tags::kLastHitStep) {
    refineLastHitMenu_->addItem(QString("Within %1 seconds").arg(seconds), seconds);
  }
  const std::pair<QLineEdit*, const char*> fields[] = {
      {refineSourceIPField_, "Source IP"},
      {refineSourcePortField_, "Port"},
      {refineDestinationIPField_, "Destination IP"},
      {refineDestinationPortField_, "Port"}};
  for (const auto& [field, text] : fields) {
    field->setReadOnly(false);
    field->setText(text);
    field->setClearButtonEnabled(true);
  }
}

}  // namespace wq

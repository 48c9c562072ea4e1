#include "app/WQMRefineBox.h"

namespace wq {

WQMRefineBox::WQMRefineBox(QComboBox* protocolMenu, QComboBox* lastHitMenu, QLineEdit* sourceIP,
                           QLineEdit* sourcePort, QLineEdit* destinationIP,
                           QLineEdit* destinationPort)
    : refineProtocolMenu_(protocolMenu),
      refineLastHitMenu_(lastHitMenu),
      refineSourceIPField_(sourceIP),
      refineSourcePortField_(sourcePort),
      refineDestinationIPField_(destinationIP),
      refineDestinationPortField_(destinationPort) {}

void WQMRefineBox::awakeFromNib() {
  // Tags 10, 20 and 30 keep ICMP, TCP and UDP; any other keeps every node.
  refineProtocolMenu_->addItem("Any protocol", 0);
  refineProtocolMenu_->addItem("ICMP", 10);
  refineProtocolMenu_->addItem("TCP", 20);
  refineProtocolMenu_->addItem("UDP", 30);
  // Tags 10 to 60 keep nodes hit within that many seconds; any other keeps every node.
  refineLastHitMenu_->addItem("Any time", 0);
  for (int seconds = 10; seconds <= 60; seconds += 10) {
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

// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/WQMRefineBox.h"

#include <QEvent>
#include <QFocusEvent>
#include <QTimer>

#include "tracking/view/MenuTags.h"

namespace wq {

namespace {

// Selects a field's whole text as the user moves into it, so that typing replaces what it shows.
// A click places the cursor after the focus has arrived, so the selection waits for that.
class SelectAllOnEntry : public QObject {
 public:
  using QObject::QObject;

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn) {
      switch (static_cast<QFocusEvent*>(event)->reason()) {
        case Qt::MouseFocusReason:
        case Qt::TabFocusReason:
        case Qt::BacktabFocusReason:
        case Qt::ShortcutFocusReason: {
          auto* field = static_cast<QLineEdit*>(watched);
          QTimer::singleShot(0, field, &QLineEdit::selectAll);
          break;
        }
        default:  // coming back from another window keeps the cursor where it was
          break;
      }
    }
    return false;
  }
};

}  // namespace

WQMRefineBox::WQMRefineBox(QComboBox* protocolMenu, QComboBox* lastHitMenu, QLineEdit* sourceIP,
                           QLineEdit* sourcePort, QLineEdit* destinationIP,
                           QLineEdit* destinationPort, QLineEdit* payload, QLineEdit* program)
    : refineProtocolMenu_(protocolMenu),
      refineLastHitMenu_(lastHitMenu),
      refineSourceIPField_(sourceIP),
      refineSourcePortField_(sourcePort),
      refineDestinationIPField_(destinationIP),
      refineDestinationPortField_(destinationPort),
      refinePayloadField_(payload),
      refineProgramField_(program) {
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
      {refineDestinationPortField_, "Port"},
      {refinePayloadField_, "Payload"},
      {refineProgramField_, "Program"}};
  for (const auto& [field, text] : fields) {
    field->setReadOnly(false);
    field->setText(text);
    field->setClearButtonEnabled(true);
    field->installEventFilter(new SelectAllOnEntry(field));
  }
}

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The refine box: the protocol and last-hit pop-ups (their items carry the tags the controller's
// refine actions read) and the five search fields.

#include <QComboBox>
#include <QLineEdit>

#include "tracking/Platform.h"

namespace wq {

class WQMRefineBox {
 public:
  // Fills the pop-ups and makes the search fields editable, showing what they search.
  WQMRefineBox(QComboBox* protocolMenu, QComboBox* lastHitMenu, QLineEdit* sourceIP,
               QLineEdit* sourcePort, QLineEdit* destinationIP, QLineEdit* destinationPort,
               QLineEdit* payload, QLineEdit* program);

  QComboBox* refineProtocolMenu() const { return refineProtocolMenu_; }
  QComboBox* refineLastHitMenu() const { return refineLastHitMenu_; }
  QLineEdit* refineSourceIPField() const { return refineSourceIPField_; }
  QLineEdit* refineSourcePortField() const { return refineSourcePortField_; }
  QLineEdit* refineDestinationIPField() const { return refineDestinationIPField_; }
  QLineEdit* refineDestinationPortField() const { return refineDestinationPortField_; }
  QLineEdit* refinePayloadField() const { return refinePayloadField_; }
  QLineEdit* refineProgramField() const { return refineProgramField_; }

  // The tag of a pop-up's item.
  static int tagOf(const QComboBox* menu, int index) { return menu->itemData(index).toInt(); }

 private:
  QComboBox* refineProtocolMenu_;
  QComboBox* refineLastHitMenu_;
  QLineEdit* refineSourceIPField_;
  QLineEdit* refineSourcePortField_;
  QLineEdit* refineDestinationIPField_;
  QLineEdit* refineDestinationPortField_;
  QLineEdit* refinePayloadField_;
  QLineEdit* refineProgramField_;
};

// The controller's search-field interface over a line edit.
class QtSearchField : public SearchField {
 public:
  explicit QtSearchField(QLineEdit& edit) : edit_(edit) {}
  std::string stringValue() const override { return edit_.text().toStdString(); }
  void setStringValue(std::string text) override { edit_.setText(QString::fromStdString(text)); }
  void clearFocus() override { edit_.clearFocus(); }

 private:
  QLineEdit& edit_;
};

}  // namespace wq

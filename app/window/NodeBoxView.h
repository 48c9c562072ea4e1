// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shows an activity panel's six fields, its status light and, in the added panel, the programs
// behind the node, in the window's labels.

#include <QLabel>
#include <map>

#include "tracking/view/WQMNodeBox.h"

namespace wq {

struct NodeBoxLabels {
  QLabel* protocolField;
  QLabel* sourceIPField;
  QLabel* destinationIPField;
  QLabel* sourcePortField;
  QLabel* destinationPortField;
  QLabel* lastHitField;
  QLabel* statusLightImageView;
  QLabel* programField = nullptr;  // the added panel's own
};

// What each light of a panel means, in words, by the light's name (see tracking's `lights`).
using LightMeanings = std::map<std::string, QString, std::less<>>;

class NodeBoxView {
 public:
  // The light's label holds the name of the light it shows in its property kLightProperty, and
  // what that light means in its tool tip.
  static constexpr char kLightProperty[] = "statusLight";

  NodeBoxView(const NodeBoxLabels& labels, LightMeanings meanings)
      : labels_(labels), meanings_(std::move(meanings)) {}
  void refresh(const WQMNodeBox& box);

 private:
  NodeBoxLabels labels_;
  LightMeanings meanings_;
  std::string shownLight_;
};

}  // namespace wq

#pragma once
// Shows an activity panel's six fields and its status light in the window's labels.

#include <QLabel>

#include "tracking/WQMNodeBox.h"

namespace wq {

struct NodeBoxLabels {
  QLabel* protocolField;
  QLabel* sourceIPField;
  QLabel* destinationIPField;
  QLabel* sourcePortField;
  QLabel* destinationPortField;
  QLabel* lastHitField;
  QLabel* statusLightImageView;
};

class NodeBoxView {
 public:
  explicit NodeBoxView(const NodeBoxLabels& labels) : labels_(labels) {}
  void refresh(const WQMNodeBox& box);

 private:
  NodeBoxLabels labels_;
  std::string shownLight_;
};

}  // namespace wq

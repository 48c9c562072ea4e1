// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window shows of the node tracker: the nodes table and its selection, the detail pane
// and the added panel that describe the node on the highlighted row as it is now, the halt
// switches, the menu items' validation and the window's visibility. It follows the session's
// changes a batch at a time.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tracking/Platform.h"
#include "tracking/Session.h"
#include "tracking/view/Conversation.h"
#include "tracking/view/PayloadSearch.h"

namespace wq {

namespace sounds {
inline constexpr const char* PopUpClick = "click05.wav";
inline constexpr const char* SearchFieldClick = "click01.wav";
}  // namespace sounds

// What the detail pane shows of the highlighted node: its text (the default), its conversation
// with the other direction, or its payload in hex.
enum class PaneView { Node, Conversation, Hex };

// The interface elements the view controller drives; the window's layout provides them.
struct Outlets {
  NodeTableView* nodesTableView = nullptr;
  TextView* dataTextView = nullptr;
  ToggleButton* nodeAddedHaltedButton = nullptr;
  ToggleButton* nodeDroppedHaltedButton = nullptr;
  WindowView* mainWindow = nullptr;
  SoundPlayer* sounds = nullptr;
};

class ViewController : public SessionSubscriber {
 public:
  explicit ViewController(Session& session);
  ~ViewController() override;
  ViewController(const ViewController&) = delete;
  ViewController& operator=(const ViewController&) = delete;

  void connect(const Outlets& outlets) { outlets_ = outlets; }
  SoundPlayer& sounds() { return *outlets_.sounds; }

  // --- Halt switches
  void nodeAddedHalt(const ToggleButton& sender);
  void nodeDroppedHalt(const ToggleButton& sender);
  // Switches both halts on, buttons and all.
  void haltAll();

  // --- Nodes table and detail pane
  int numberOfRowsInTableView() const;
  std::string tableViewObjectValue(int row) const;
  // The Program column: the programs behind the node on `row` (programColumnText).
  std::string tableViewProgramValue(int row) const;
  // Shows the selected node in the added panel and the detail pane, unless they already show it
  // as it is now; with no row selected the pane is empty. The table calls it when its selection
  // changes, and every view update ends with it: a row can hold another node, or its node can
  // grow, without the selected row changing.
  void updateDataTextView();
  // After a refine action: reloads the table, focuses it and selects its first row.
  void revealFirstNode();
  void previousNode();
  void nextNode();
  // Removes the selected node.
  void removeNode();

  // --- Detail pane views and find highlights
  PaneView paneView() const { return paneView_; }
  void setPaneView(PaneView view);
  // Marks where `pattern` stands in the pane's payload, in every view; none when it is empty.
  void setHighlight(const PayloadPattern& pattern);
  // The highlighted node, or none.
  const WQMConnection* selectedNode() const;
  // Selects the next node (the previous one, when not `forward`) whose payload holds `pattern`,
  // from the highlighted row round the list, and marks the pattern in the pane. Returns how many
  // nodes hold it; with none, the selection stays.
  std::size_t findNode(const PayloadPattern& pattern, bool forward);

  // --- Window and menus
  void openWindow();
  void closeWindow();
  bool validateMenuItem(int tag) const;

  // --- SessionSubscriber
  void nodeLeaving(const WQMConnection& node) override;
  void nodesChanged(const NodeChanges& changes) override;

 private:
  // A node the pane describes, and as of which change to it.
  struct ShownNode {
    const WQMConnection* node = nullptr;
    TimePoint startHit;
    TimePoint lastHit;
    std::uint32_t byteCount = 0;
    ProgramSlot::State programs = ProgramSlot::State::NotLookedUp;
    bool operator==(const ShownNode&) const = default;
  };

  // Reloads the table and selects its last row alone, scrolled into view.
  void revealLastNode();

  Session& session_;
  NodeTracker& tracker_;
  LogSink& log_;
  Outlets outlets_;
  static ShownNode shownNode(const WQMConnection& node);
  // The nodes the pane shows of the highlighted `node`: itself, or its conversation's nodes.
  std::vector<ConversationNode> paneNodes(const WQMConnection& node) const;
  PaneText paneText(const WQMConnection& node, const std::vector<ConversationNode>& nodes) const;

  // The nodes whose text the pane shows, the highlighted one first; none when it is empty.
  std::vector<ShownNode> shown_;
  PaneView paneView_ = PaneView::Node;
  PayloadPattern highlight_ = PayloadPattern::text("");
};

}  // namespace wq

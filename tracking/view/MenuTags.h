// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The tags of menu items and refine pop-up items: menu items are enabled by their tag, and the
// refine actions read what to keep from the tag of the chosen item.

namespace wq::tags {

// Menu items. Every item with a tag of at most kAlwaysEnabled is enabled whatever the state.
enum MenuTag : int {
  Quit = 0,
  Preferences = 20,
  SaveReport = 30,
  kAlwaysEnabled = 60,
  OpenWindow = 110,
  CloseWindow = 120,
  ActsOnAllNodes = 130,
  PreviousNode = 140,
  NextNode = 150,
  RemoveNode = 160,
  ActsOnSelectedNode = 180,  // saving or copying what the pane shows
};

// Items of the protocol pop-up; any other tag keeps every protocol.
enum ProtocolTag : int {
  AnyProtocol = 0,
  KeepICMP = 10,
  KeepTCP = 20,
  KeepUDP = 30,
};

// Items of the last-hit pop-up: a tag from 10 to 60 in steps of 10 keeps the nodes hit within
// that many seconds; any other keeps every node.
enum LastHitTag : int {
  AnyTime = 0,
  kShortestLastHit = 10,
  kLastHitStep = 10,
  kLongestLastHit = 60,
};

}  // namespace wq::tags

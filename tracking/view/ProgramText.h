// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The texts that name the programs behind a node: the line the detail pane and the report end
// with, and the nodes table's Program column.

#include <string>
#include <string_view>

#include "tracking/programs/ProgramSlot.h"

namespace wq {

// "psql (pid 8812, user alice, unit user@1000.service)"; with both ends on this machine the
// source's program, " -> ", and the destination's; "unknown, captured from a file" when the node
// was not looked up. Empty for a node without a slot.
std::string programText(const ProgramSlot* programs);
// "Program: " and the programText; empty for a node without a slot.
std::string programLine(const ProgramSlot* programs);

// "psql (8812)", or "curl (51) -> python3 (50)"; empty while the lookup runs and for nodes that
// are not looked up.
std::string programColumnText(const ProgramSlot* programs);

// Whether the name of a program behind the node holds `text`, in any ASCII case.
bool programNameHolds(const ProgramSlot* programs, std::string_view text);

}  // namespace wq

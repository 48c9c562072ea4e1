// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The lines that record, at launch, the settings in force.

#include <string>
#include <vector>

#include "tracking/Defaults.h"

namespace wq {

// "Launching Wirequill with MAXPACKETSIZE of 24000.\n" and the nine lines after it, each reading
// its setting afresh.
std::vector<std::string> launchSettingsLines(const Defaults& defaults);

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/ProgramText.h"

#include "tracking/view/PayloadSearch.h"

namespace wq {

namespace {

// "psql (pid 8812, user alice, unit user@1000.service)", or "unknown (user nobody)" for a socket
// whose process could not be named.
std::string endText(const LocalProgram& program) {
  std::string details;
  const auto add = [&](std::string_view label, const std::string& value) {
    if (!value.empty()) {
      details += (details.empty() ? "" : ", ") + std::string(label) + " " + value;
    }
  };
  if (!program.name.empty()) {
    add("pid", std::to_string(program.pid));
  }
  add("user", program.user);
  add("unit", program.unit);
  add("container", program.container);
  const std::string name = program.name.empty() ? "unknown" : program.name;
  return details.empty() ? name : name + " (" + details + ")";
}

// "psql (8812)", or "unknown (user nobody)".
std::string shortEndText(const LocalProgram& program) {
  if (!program.name.empty()) {
    return program.name + " (" + std::to_string(program.pid) + ")";
  }
  return program.user.empty() ? "unknown" : "unknown (user " + program.user + ")";
}

template <class EndText>
std::string bothEnds(const NodePrograms& programs, EndText text) {
  if (programs.source && programs.destination) {
    return text(*programs.source) + " -> " + text(*programs.destination);
  }
  if (programs.source || programs.destination) {
    return text(programs.source ? *programs.source : *programs.destination);
  }
  return "unknown";
}

}  // namespace

std::string programText(const ProgramSlot* programs) {
  if (programs == nullptr) {
    return {};
  }
  switch (programs->state()) {
    case ProgramSlot::State::NotLookedUp:
      return "unknown, " + programs->why();
    case ProgramSlot::State::LookingUp:
      return "being looked up";
    case ProgramSlot::State::Known:
      break;
  }
  return bothEnds(programs->programs(), endText);
}

std::string programLine(const ProgramSlot* programs) {
  return programs == nullptr ? "" : "Program: " + programText(programs);
}

std::string programColumnText(const ProgramSlot* programs) {
  if (programs == nullptr || programs->state() != ProgramSlot::State::Known) {
    return {};
  }
  return bothEnds(programs->programs(), shortEndText);
}

bool programNameHolds(const ProgramSlot* programs, std::string_view text) {
  if (programs == nullptr || programs->state() != ProgramSlot::State::Known) {
    return false;
  }
  const NodePrograms& ends = programs->programs();
  return (ends.source && holdsInAnyAsciiCase(ends.source->name, text)) ||
         (ends.destination && holdsInAnyAsciiCase(ends.destination->name, text));
}

}  // namespace wq

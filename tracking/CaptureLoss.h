// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Packets a capture lost, as the capture helper tells them on its standard error while it runs and
// at its end ("netsiphon: R packets received, D dropped by the capture library, I dropped by the
// interface."), and as tcpdump tells them at its end ("D packets dropped by kernel", "I packets
// dropped by interface").

#include <cstdint>
#include <string>
#include <string_view>

namespace wq {

class CaptureLoss {
 public:
  // Takes the counts a line tells; false for a line that tells none.
  bool take(std::string_view line);
  // Whether any line has told counts.
  bool told() const { return told_; }
  // Packets dropped by the kernel or the interface.
  std::uint64_t dropped() const { return kernel_ + interface_; }
  // "12,431 packets dropped by the kernel since capture started".
  std::string text() const;

 private:
  bool told_ = false;
  std::uint64_t kernel_ = 0;
  std::uint64_t interface_ = 0;
};

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reverse lookups that cannot hold the application up for long: the addresses of a report are
// looked up together, on a few threads, within a time budget; what has not been answered by then
// is reported as having no name (its address text stands instead).

#include <chrono>
#include <map>
#include <memory>

#include "tracking/Platform.h"

namespace wq {

class BoundedHostResolver : public HostResolver {
 public:
  static constexpr int kMaxThreads = 8;

  BoundedHostResolver(std::shared_ptr<HostResolver> inner, std::chrono::milliseconds budget);
  ~BoundedHostResolver() override;

  // Looks the addresses up, waiting at most the budget. Lookups still running afterwards finish
  // on their own and are not waited for.
  void prepare(const std::vector<IpAddress>& addresses) override;
  // The answer found by the last prepare(); nothing for addresses it did not answer in time.
  std::optional<std::string> hostName(const IpAddress& address) override;

 private:
  struct Lookups;

  std::shared_ptr<HostResolver> inner_;
  std::chrono::milliseconds budget_;
  std::shared_ptr<Lookups> lookups_;
  // The answers in by the deadline, so that one report names an address the same way throughout.
  std::map<IpAddress, std::optional<std::string>> names_;
};

}  // namespace wq

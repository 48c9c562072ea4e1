// SPDX-License-Identifier: GPL-3.0-or-later
#include <mutex>
#include <unordered_map>
#include <vector>

#include "tracking/decode/FlowKey.h"

namespace wq {

namespace {

struct V6Hash {
  std::size_t operator()(const AddressBook::V6Bytes& bytes) const {
    IpAddress address;
    address.bytes = bytes;
    address.family = IpAddress::kV6;
    return IpAddressHash{}(address);
  }
};

struct Entry {
  AddressBook::V6Bytes address{};
  std::uint32_t holds = 0;
};

struct Book {
  std::mutex mutex;
  std::vector<Entry> entries;         // by number
  std::vector<std::uint32_t> unused;  // numbers free for another address
  std::unordered_map<AddressBook::V6Bytes, std::uint32_t, V6Hash> numbers;
};

Book& book() {
  static Book instance;
  return instance;
}

AddressBook::V6Bytes bytesAt(const std::uint8_t* from) {
  AddressBook::V6Bytes bytes;
  std::memcpy(bytes.data(), from, bytes.size());
  return bytes;
}

}  // namespace

std::uint32_t AddressBook::acquire(const std::uint8_t* bytes) {
  const V6Bytes address = bytesAt(bytes);
  Book& all = book();
  const std::lock_guard lock(all.mutex);
  auto [found, added] = all.numbers.try_emplace(address, 0);
  if (added) {
    if (all.unused.empty()) {
      found->second = static_cast<std::uint32_t>(all.entries.size());
      all.entries.emplace_back();
    } else {
      found->second = all.unused.back();
      all.unused.pop_back();
    }
    all.entries[found->second] = {address, 0};
  }
  ++all.entries[found->second].holds;
  return found->second;
}

void AddressBook::release(std::uint32_t number) {
  Book& all = book();
  const std::lock_guard lock(all.mutex);
  Entry& entry = all.entries[number];
  if (--entry.holds == 0) {
    all.numbers.erase(entry.address);
    all.unused.push_back(number);
  }
}

std::uint32_t AddressBook::find(const std::uint8_t* bytes) {
  const V6Bytes address = bytesAt(bytes);
  Book& all = book();
  const std::lock_guard lock(all.mutex);
  const auto found = all.numbers.find(address);
  return found != all.numbers.end() ? found->second : kNoNumber;
}

AddressBook::V6Bytes AddressBook::address(std::uint32_t number) {
  Book& all = book();
  const std::lock_guard lock(all.mutex);
  return all.entries[number].address;
}

std::size_t AddressBook::size() {
  Book& all = book();
  const std::lock_guard lock(all.mutex);
  return all.numbers.size();
}

}  // namespace wq

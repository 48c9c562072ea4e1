// Scratch directories removed after the test, and capture files written into them with libpcap.
#pragma once

#include <string>

#include "tools/CaptureFileWriter.h"

namespace wq::testing {

// A private directory (mode 0700), removed with its contents when it goes out of scope.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  // PATH/NAME, not made.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // PATH/NAME, made as a private directory.
  std::string subdirectory(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace wq::testing

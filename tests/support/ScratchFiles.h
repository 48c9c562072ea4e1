// Scratch directories removed after the test, and capture files written into them with libpcap.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "tools/CaptureFileWriter.h"

namespace wq::testing {

// A private directory (mode 0700), removed with its contents when it goes out of scope.
struct ScratchDirectory {
  ScratchDirectory() {
    if (mkdtemp(path.data()) == nullptr) {
      throw std::runtime_error("cannot make a scratch directory");
    }
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // PATH/NAME, not made.
  std::string file(const std::string& name) const { return path + "/" + name; }
  // PATH/NAME, made as a private directory.
  std::string subdirectory(const std::string& name) const {
    mkdir(file(name).c_str(), 0700);
    return file(name);
  }

  std::string path = std::filesystem::temp_directory_path() / "wirequill-test-XXXXXX";
};

}  // namespace wq::testing

// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch directories removed after the test, and capture files written into them with libpcap.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "tools/CaptureFileWriter.h"

namespace wq::testing {

// A directory that others may search (mode 0755), removed with its contents when it goes out of
// scope. Searchable, because a helper run as root opens capture files as nobody.
struct ScratchDirectory {
  ScratchDirectory() {
    if (mkdtemp(path.data()) == nullptr || chmod(path.c_str(), 0755) != 0) {
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

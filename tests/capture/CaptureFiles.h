// The shared scratch directories and capture files, under the names of the capture helper's tests
// and benchmarks.
#pragma once

#include "tests/support/ScratchFiles.h"

namespace netsiphon::testing {

using wq::testing::FilePacket;
using wq::testing::patternedBytes;
using wq::testing::ScratchDirectory;
using wq::testing::writeCaptureFile;
using ScratchFolder = wq::testing::ScratchDirectory;  // the file relay benchmark's name

}  // namespace netsiphon::testing

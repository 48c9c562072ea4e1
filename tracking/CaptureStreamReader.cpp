#include "tracking/CaptureStreamReader.h"

namespace wq {

std::string CaptureStreamReader::takeRemainder() {
  std::string text(pending_.begin(), pending_.end());
  pending_.clear();
  return text;
}

}  // namespace wq

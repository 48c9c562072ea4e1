#include "app/intake/Intake.h"

namespace wq {

void Intake::deliver(ByteView bytes) {
  if (!ignored_) {
    controller_.tracker().dataReceived(bytes);
    emit changed();
  }
}

bool Intake::takeCounts(std::string_view line) {
  if (!loss_.take(line)) {
    return false;
  }
  emit lossChanged();
  return true;
}

void Intake::finish(const Ending& ending) {
  if (!std::exchange(ended_, true)) {
    emit ended(ending);
  }
}

}  // namespace wq

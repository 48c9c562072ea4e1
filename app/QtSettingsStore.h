// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The defaults database: QSettings in its native format, under "Wirequill/Wirequill".

#include <QSettings>

#include "tracking/Platform.h"

namespace wq {

class QtSettingsStore : public SettingsStore {
 public:
  std::optional<SettingValue> value(std::string_view key) const override;
  void setValue(std::string_view key, const SettingValue& value) override;

 private:
  mutable QSettings settings_;
};

}  // namespace wq

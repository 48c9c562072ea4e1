// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QtSettingsStore.h"

namespace wq {

namespace {

QString keyOf(std::string_view key) {
  return QString::fromLatin1(key.data(), static_cast<qsizetype>(key.size()));
}

}  // namespace

std::optional<SettingValue> QtSettingsStore::value(std::string_view key) const {
  const QVariant stored = settings_.value(keyOf(key));
  if (!stored.isValid()) {
    return std::nullopt;
  }
  // Stored files hold text; values set during this run keep their type until written out.
  switch (stored.typeId()) {
    case QMetaType::Bool:
      return stored.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
      return static_cast<std::int64_t>(stored.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
      return stored.toDouble();
    default:
      return stored.toString().toStdString();
  }
}

void QtSettingsStore::setValue(std::string_view key, const SettingValue& value) {
  settings_.setValue(keyOf(key), std::visit(
                                     [](const auto& v) -> QVariant {
                                       using T = std::decay_t<decltype(v)>;
                                       if constexpr (std::is_same_v<T, std::string>) {
                                         return QString::fromStdString(v);
                                       } else if constexpr (std::is_same_v<T, std::int64_t>) {
                                         return static_cast<qlonglong>(v);
                                       } else {
                                         return v;
                                       }
                                     },
                                     value));
}

}  // namespace wq

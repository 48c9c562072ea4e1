// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/HelperEnding.h"

#include <QStringList>

#include "capture/Messages.h"

namespace wq {

std::string endHelperStream(NodeTracker& tracker, LogSink& log) {
  const std::string text = tracker.captureStreamEnded();
  for (const QString& line :
       QString::fromLatin1(text.data(), text.size()).split('\n', Qt::SkipEmptyParts)) {
    log.log("netsiphon: " + line.toStdString());
  }
  return text;
}

QString helperFailureMessage(const std::string& helperText, const QString& interfaceName) {
  QStringList failure;
  for (const QString& line :
       QString::fromLatin1(helperText.data(), helperText.size()).split('\n', Qt::SkipEmptyParts)) {
    const QByteArray bytes = line.toLatin1();
    if (!netsiphon::isProgressLine(std::string_view(bytes.constData(), bytes.size()))) {
      failure << line.trimmed();
    }
  }
  if (failure.isEmpty()) {
    return {};
  }
  // The interface step's failure is the common one: said plainly, the helper's lines stay in
  // the details.
  if (helperText.find(netsiphon::failureLine(netsiphon::Step::kInterface)) != std::string::npos) {
    return QString(
               "Capture stopped: the interface \"%1\" cannot be used. Choose one in "
               "Preferences, or give one with --interface.")
        .arg(interfaceName);
  }
  return "Capture stopped: " + failure.join(' ');
}

}  // namespace wq

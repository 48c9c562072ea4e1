// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Turns SIGINT and SIGTERM into a Qt signal on the event loop.

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace wq {

class SignalWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;

  // Readable from the moment a stop signal arrives until the event loop has taken it, so that
  // work that blocks the loop can still notice it; -1 while no watcher exists.
  static int stopDescriptor();

 signals:
  void stopRequested();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace wq

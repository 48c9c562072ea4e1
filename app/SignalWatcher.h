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

 signals:
  void stopRequested();

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SignalWatcher.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace wq {

namespace {

// The handler may only write to a descriptor; the event loop reads the other end.
int signalSockets[2] = {-1, -1};

extern "C" void onStopSignal(int) {
  const char byte = 1;
  (void)!::write(signalSockets[0], &byte, 1);
}

}  // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0) {
    return;  // without it the signals keep their default effect
  }
  notifier_ = std::make_unique<QSocketNotifier>(signalSockets[1], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte;
    (void)!::read(signalSockets[1], &byte, 1);
    emit stopRequested();
  });
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int SignalWatcher::stopDescriptor() {
  return signalSockets[1];
}

SignalWatcher::~SignalWatcher() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  notifier_.reset();
  for (int& socket : signalSockets) {
    if (socket >= 0) {
      ::close(socket);
      socket = -1;
    }
  }
}

}  // namespace wq

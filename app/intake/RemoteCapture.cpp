#include "app/intake/RemoteCapture.h"

#include <unistd.h>

#include <QStandardPaths>

#include "app/intake/Monitor.h"

namespace wq {

RemoteCapture::RemoteCapture(ApplicationController& controller, LogSink& log, CaptureLoss& loss,
                             QObject* parent)
    : QObject(parent),
      controller_(controller),
      log_(log),
      loss_(loss),
      ssh_([this](ByteView bytes) {
        if (deliver_) {
          controller_.tracker().dataReceived(bytes);
          emit changed();
        }
      }) {
  connect(&ssh_, &CaptureHelper::errorLine, this, &RemoteCapture::errorLine);
  connect(&ssh_, &CaptureHelper::ended, this, &RemoteCapture::sshEnded);
}

bool RemoteCapture::start(const RemoteTarget& target, QString* error) {
  target_ = target;
  if (QStandardPaths::findExecutable("ssh").isEmpty()) {
    *error = QString("Cannot capture on %1: ssh is not installed (Debian: openssh-client).")
                 .arg(target.host);
    return false;
  }
  return ssh_.start(
      {.arguments = sshCommand(target), .ownSession = true, .readErrors = true, .holdStream = true},
      error);
}

void RemoteCapture::sendTerminationLine() {
  ssh_.sendTerminationLine();
}

void RemoteCapture::ignoreStream() {
  deliver_ = false;
  if (pcapStream_) {
    pcapStream_.reset();  // ends its reading thread
    pcapFailure_ = QString();
  }
}

void RemoteCapture::errorLine(const QString& line) {
  const QByteArray bytes = line.toLocal8Bit();
  const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
  if (const auto connection = leftOutConnection(text)) {
    log_.log(QString("Capturing on %1 leaves out its own ssh connection, %2.")
                 .arg(target_.host, QString::fromStdString(*connection))
                 .toStdString());
    return;
  }
  switch (announcedStream(text)) {
    case RemoteStream::kHelper:
      log_.log(
          QString("Capturing on %1 through its capture helper.").arg(target_.host).toStdString());
      helperStream_ = true;
      ssh_.readStream();
      return;
    case RemoteStream::kPcap:
      log_.log(QString("Capturing on %1 through tcpdump.").arg(target_.host).toStdString());
      if (!deliver_) {
        ::close(ssh_.takeStream());  // ignored before it began: nothing is read
        return;
      }
      pcapStream_ = std::make_unique<CaptureFileFeed>(controller_, nullptr);
      connect(pcapStream_.get(), &CaptureFileFeed::changed, this, [this] {
        if (deliver_) {
          emit changed();
        }
      });
      connect(pcapStream_.get(), &CaptureFileFeed::finished, this, [this](const QString& failure) {
        pcapFailure_ = failure;
        endWhenBothDone();
      });
      // The filter was applied on the host.
      pcapStream_->openStream(ssh_.takeStream(), target_.host, std::string());
      pcapStream_->start();
      return;
    case RemoteStream::kNone:
      if (loss_.take(text)) {
        emit lossChanged();
        return;
      }
      errorLines_ << line;
      log_.log(("ssh: " + line).toStdString());
      return;
  }
}

void RemoteCapture::sshEnded(int exitStatus, int signal) {
  sshStatus_ = signal != 0 ? 128 + signal : exitStatus;
  endWhenBothDone();
}

void RemoteCapture::endWhenBothDone() {
  if (!sshStatus_ || (pcapStream_ && !pcapFailure_)) {
    return;
  }
  QString message;
  QString details = errorLines_.join('\n');
  if (helperStream_ && deliver_) {  // once ignored, the stream reader belongs to another intake
    const std::string text = endHelperStream(controller_.tracker(), log_);
    message = helperFailureMessage(text, target_.interfaceName);
    details = (QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())).trimmed() +
               '\n' + details)
                  .trimmed();
  }
  // What the host or ssh said comes before what the pcap stream's end looks like: tcpdump that
  // fails at its start leaves a stream cut short ("truncated dump file") and says why itself.
  if (message.isEmpty()) {
    message = remoteFailureMessage(target_, *sshStatus_, errorLines_);
  }
  if (message.isEmpty() && pcapFailure_ && !pcapFailure_->isEmpty()) {
    message = QString("Capture on %1 stopped: %2").arg(target_.host, *pcapFailure_);
  }
  if (message.isEmpty()) {
    message = QString("Capture on %1 ended.").arg(target_.host);
  }
  emit ended(message, true, details);
}

}  // namespace wq

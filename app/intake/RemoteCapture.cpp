// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/RemoteCapture.h"

#include <unistd.h>

#include <QStandardPaths>

#include "app/intake/HelperEnding.h"

namespace wq {

namespace {

// How the helper marks its own lines when they share standard error with ssh's.
constexpr std::string_view kHelperLinePrefix = "netsiphon: ";

}  // namespace

RemoteCapture::RemoteCapture(Session& session, LogSink& log, RemoteTarget target, QObject* parent)
    : Intake(session, parent),
      log_(log),
      target_(std::move(target)),
      ssh_([this](ByteView bytes) { deliver(bytes); }) {
  connect(&ssh_, &CaptureHelper::errorLine, this, &RemoteCapture::errorLine);
  connect(&ssh_, &CaptureHelper::ended, this, &RemoteCapture::sshEnded);
}

bool RemoteCapture::start(QString* error) {
  if (QStandardPaths::findExecutable("ssh").isEmpty()) {
    *error = QString("Cannot capture on %1: ssh is not installed (Debian: openssh-client).")
                 .arg(target_.host);
    return false;
  }
  return ssh_.start({.arguments = sshCommand(target_),
                     .ownSession = true,
                     .readErrors = true,
                     .holdStream = true},
                    error);
}

void RemoteCapture::stop() {
  ssh_.sendTerminationLine();
}

void RemoteCapture::ignore() {
  Intake::ignore();
  if (pcapStream_) {
    pcapStream_.reset();  // ends its reading thread: it will not tell its end
    pcapFailure_ = QString();
  }
}

QString RemoteCapture::source() const {
  return QString("%1 on %2").arg(target_.interfaceName, target_.host);
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
  const RemoteStream announced = announcedStream(text);
  if (announced != RemoteStream::kNone) {
    stream_ = announced;
    log_.log(QString(announced == RemoteStream::kTcpdump ? "Capturing on %1 through tcpdump."
                                                         : "Capturing on %1 through its capture "
                                                           "helper.")
                 .arg(target_.host)
                 .toStdString());
    announced == RemoteStream::kHelperChunks ? ssh_.readStream() : readPcapStream();
    captureStarted();
    return;
  }
  if (takeCounts(text)) {
    return;
  }
  if (stream_ == RemoteStream::kHelperPcap && text.starts_with(kHelperLinePrefix)) {
    helperText_.append(text.substr(kHelperLinePrefix.size())).push_back('\n');
    log_.log(std::string(text));
    return;
  }
  errorLines_ << line;
  log_.log(("ssh: " + line).toStdString());
}

void RemoteCapture::readPcapStream() {
  if (ignored_) {
    ::close(ssh_.takeStream());  // ignored before it began: nothing is read
    return;
  }
  // The filter was applied on the host.
  pcapStream_ = FileIntake::stream(session_, ssh_.takeStream(), target_.host, std::string());
  connect(pcapStream_.get(), &Intake::changed, this, &Intake::changed);
  connect(pcapStream_.get(), &Intake::ended, this, [this](const Ending& ending) {
    pcapFailure_ = ending.message;
    endWhenBothDone();
  });
  QString unused;
  pcapStream_->start(&unused);  // a stream taken over always starts
}

void RemoteCapture::catchUp() {
  Intake::catchUp();
  if (pcapStream_) {
    pcapStream_->catchUp();
  }
}

void RemoteCapture::sshEnded(int exitStatus, int signal) {
  sshStatus_ = signal != 0 ? 128 + signal : exitStatus;
  endWhenBothDone();
}

void RemoteCapture::endWhenBothDone() {
  if (sshStatus_ && (!pcapStream_ || pcapFailure_)) {
    finish(ending());
  }
}

Intake::Ending RemoteCapture::ending() {
  std::string helperText = helperText_;
  if (stream_ == RemoteStream::kHelperChunks && !ignored_) {
    // Once ignored, the stream's reader belongs to the intake that replaced this one.
    trackDelivered();
    helperText = endHelperStream(session_.tracker(), log_);
  }
  QString message = helperFailureMessage(helperText, target_.interfaceName);
  const QString details =
      (QString::fromLatin1(helperText.data(), static_cast<qsizetype>(helperText.size())).trimmed() +
       '\n' + errorLines_.join('\n'))
          .trimmed();
  // What the host or ssh said comes before what the pcap stream's end looks like: a capture that
  // fails at its start leaves a stream cut short ("truncated dump file"), and says why itself.
  if (message.isEmpty()) {
    message = remoteFailureMessage(target_, *sshStatus_, errorLines_);
  }
  if (message.isEmpty() && pcapFailure_ && !pcapFailure_->isEmpty()) {
    message = QString("Capture on %1 stopped: %2").arg(target_.host, *pcapFailure_);
  }
  if (message.isEmpty()) {
    message = QString("Capture on %1 ended.").arg(target_.host);
  }
  return {message, true, details};
}

}  // namespace wq

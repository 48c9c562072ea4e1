// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/Monitor.h"

#include <algorithm>

#include "app/intake/FileIntake.h"
#include "app/intake/HelperIntake.h"
#include "app/intake/RemoteCapture.h"
#include "capture/CaptureFilter.h"
#include "capture/CaptureSource.h"
#include "tracking/LaunchLog.h"

namespace wq {

namespace {

constexpr int kPurgeIntervalMs = 1000;

}  // namespace

QString captureFilterRefusal(const Defaults& defaults) {
  const std::string filter = defaults.stringValue(keys::CaptureFilter);
  const std::optional<std::string> problem = netsiphon::captureFilterProblem(filter);
  if (!problem) {
    return {};
  }
  return QString(
             "The capture filter \"%1\" cannot be used: %2. Change it in Preferences, or give "
             "another with --filter.")
      .arg(QString::fromStdString(filter), QString::fromStdString(*problem));
}

Monitor::Monitor(Session& session, ManualClock* replayClock, QObject* parent)
    : QObject(parent),
      session_(session),
      defaults_(session.defaults()),
      log_(session.log()),
      replayClock_(replayClock) {
  purgeTimer_.setInterval(kPurgeIntervalMs);
  connect(&purgeTimer_, &QTimer::timeout, this, [this] {
    session_.tracker().purgeNodes();
    emit changed();
  });
}

Monitor::~Monitor() {
  session_.programs().letGoOfLookup();
}

bool Monitor::start(const std::optional<QString>& readFile, QString* error) {
  if (!(readFile && replayClock_)) {
    purgeTimer_.start();  // a file read directly ticks by its own time instead
  }
  return launched(filterUsable(error) && run(makeIntake(readFile), error), *error);
}

void Monitor::startStream(int descriptor, const QString& name) {
  QString error;
  purgeTimer_.start();
  launched(run(FileIntake::stream(session_, descriptor, name,
                                  defaults_.stringValue(keys::CaptureFilter)),
               &error),
           error);
}

std::unique_ptr<Intake> Monitor::makeIntake(const std::optional<QString>& readFile) {
  const std::string filter = defaults_.stringValue(keys::CaptureFilter);
  if (readFile) {
    return replayClock_ ? FileIntake::file(session_, *replayClock_, *readFile, filter)
                        : FileIntake::stream(session_, *readFile, filter);
  }
  const QString host = QString::fromStdString(defaults_.stringValue(keys::CaptureHost));
  if (host.isEmpty()) {
    return std::make_unique<HelperIntake>(session_, defaults_, log_);
  }
  const QString device = QString::fromStdString(defaults_.stringValue(keys::BPFDevice));
  return std::make_unique<RemoteCapture>(
      session_, log_,
      RemoteTarget{
          .host = host,
          .device = netsiphon::isLiveDevice(device.toStdString()) ? device : QString("/dev/bpf0"),
          .interfaceName = QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice)),
          .filter = QString::fromStdString(filter),
          .batchMode = !sshPrompts_});
}

bool Monitor::run(std::unique_ptr<Intake> intake, QString* error) {
  connect(intake.get(), &Intake::changed, this, &Monitor::changed);
  connect(intake.get(), &Intake::capturing, this, &Monitor::capturing);
  connect(intake.get(), &Intake::lossChanged, this, &Monitor::lossChanged);
  connect(intake.get(), &Intake::ended, this, &Monitor::intakeEnded);
  followPrograms(*intake);
  if (!intake->start(error)) {
    return false;
  }
  intake_ = std::move(intake);
  return true;
}

void Monitor::followPrograms(const Intake& intake) {
  ProgramBook& programs = session_.programs();
  const std::string why = intake.whyNoPrograms();
  if (!why.empty()) {
    programs.notLookedUp(why);
    return;
  }
  if (!defaults_.boolValue(keys::LookUpPrograms)) {
    programs.notLookedUp("lookups are off (LookUpPrograms)");
    return;
  }
  if (!programLookup_) {
    programLookup_ = ProgramLookup::forThisMachine();
    programAnswers_ = std::make_unique<QSocketNotifier>(programLookup_->answersDescriptor(),
                                                        QSocketNotifier::Read);
    connect(programAnswers_.get(), &QSocketNotifier::activated, this, [this] {
      session_.takeProgramAnswers();
      emit changed();
    });
  }
  programs.lookUpThrough(*programLookup_);
}

void Monitor::catchUp() {
  if (intake_) {
    intake_->catchUp();
  }
}

QString Monitor::source() const {
  return intake_ ? intake_->source() : QString();
}

const CaptureLoss& Monitor::loss() const {
  static const CaptureLoss kNoneTold;
  return intake_ ? intake_->loss() : kNoneTold;
}

bool Monitor::launched(bool started, const QString& error) {
  session_.tracker().setCaptureEnded(!started);
  for (const std::string& line : launchSettingsLines(defaults_)) {
    log_.log(line);
  }
  if (started) {
    emit captureStarted();
  } else {
    log_.log(error.toStdString());
  }
  emit changed();
  return started;
}

void Monitor::retire(std::unique_ptr<Intake> intake) {
  Intake* retiring = intake.get();
  disconnect(retiring, nullptr, this, nullptr);
  retiring->ignore();
  if (retiring->hasEnded()) {
    return;
  }
  retiring_.push_back(std::move(intake));
  connect(retiring, &Intake::ended, this, [this, retiring] {
    // Deleted once its signal has returned.
    const auto found = std::ranges::find_if(
        retiring_, [retiring](const auto& intake) { return intake.get() == retiring; });
    found->release()->deleteLater();
    retiring_.erase(found);
  });
  retiring->stop();
}

bool Monitor::restartCapture(QString* error) {
  if (intake_) {
    retire(std::move(intake_));
    (void)session_.tracker().captureStreamEnded();  // the reader of the stream starts afresh
  }
  emit lossChanged();  // the new capture counts from its own start
  return launched(filterUsable(error) && run(makeIntake(std::nullopt), error), *error);
}

bool Monitor::filterUsable(QString* error) const {
  *error = captureFilterRefusal(defaults_);
  return error->isEmpty();
}

void Monitor::intakeEnded(const Intake::Ending& ending) {
  if (shuttingDown_) {
    emit intakeStopped();
    return;
  }
  if (ending.privilegesRefused) {
    emit privilegesRefused();
    return;
  }
  if (ending.failed && logEndings_) {
    log_.log(ending.message.toStdString());
  }
  session_.tracker().setCaptureEnded(true);
  emit changed();
  emit inputEnded(ending.message, ending.failed, ending.details);
}

void Monitor::shutdown() {
  shuttingDown_ = true;
  log_.log("Terminating Wirequill.\n");
  if (intake_ && !intake_->hasEnded()) {
    intake_->stop();
  } else {
    emit intakeStopped();
  }
}

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/RemoteCommand.h"

namespace wq {

namespace {

// Exit statuses of the remote script; ssh's own failures are 255.
constexpr int kNoCaptureProgram = 3;
constexpr int kNoSudoRights = 4;
constexpr int kNoSuchInterface = 5;
constexpr int kTcpdumpFailed = 6;
constexpr int kSshFailed = 255;

constexpr std::string_view kHelperChunksLine = "wirequill-remote: stream helper chunks";
constexpr std::string_view kHelperPcapLine = "wirequill-remote: stream helper pcap";
constexpr std::string_view kTcpdumpLine = "wirequill-remote: stream tcpdump";
constexpr std::string_view kLeftOutPrefix = "wirequill-remote: leaving out ";

// The script run on HOST: $1 the helper's device, $2 the interface, $3 the filter (empty: none),
// $4 the helper's path when it is not on the PATH.
// Its own ssh connection (SSH_CONNECTION: client address and port, server address and port) is
// left out of the capture, joined to the filter with "and": captured, each of its packets would
// make more of them. The helper reads its standard input itself; tcpdump does not, so a watcher
// stops it when that input ends (the application quit or the connection dropped), and nothing is
// left running.
std::string remoteScript() {
  const auto exitWith = [](int status) { return "exit " + std::to_string(status); };
  const auto announce = [](std::string_view line) {
    return "echo '" + std::string(line) + "' >&2; ";
  };
  return "device=$1 iface=$2 filter=$3 installed=$4; "
         "case $iface in ''|*/*|.|..) " +
         exitWith(kNoSuchInterface) +
         ";; esac; "
         "[ \"$iface\" = any ] || [ -e \"/sys/class/net/$iface\" ] || " +
         exitWith(kNoSuchInterface) +
         "; "
         // A link-local address carries its zone ("%eth0"), which a filter cannot name.
         "if [ -n \"${SSH_CONNECTION:-}\" ]; then set -- $SSH_CONNECTION; "
         "own=\"not (host ${1%%[%]*} and host ${3%%[%]*} and tcp port $2 and tcp port $4)\"; "
         "filter=\"${filter:+($filter) and }$own\"; " +
         "echo \"" + std::string(kLeftOutPrefix) +
         "$1 port $2 to $3 port $4\" >&2; fi; "
         "helper=$(command -v netsiphon) || helper=$installed; "
         // A helper that writes pcap streams says so; an older one ends with status 255 and its
         // usage line, and is asked again as before.
         "kind=; if [ -x \"$helper\" ]; then for run in '' 'sudo -n'; do "
         "$run \"$helper\" --can-capture-pcap >/dev/null 2>&1; answer=$?; "
         "if [ $answer -eq 0 ]; then kind=pcap; break; fi; "
         "if [ $answer -eq 255 ] && $run \"$helper\" --can-capture >/dev/null 2>&1; then "
         "kind=chunks; break; fi; "
         "done; fi; "
         "if [ \"$kind\" = pcap ]; then " +
         announce(kHelperPcapLine) +
         "$run \"$helper\" --pcap \"$device\" \"$iface\" \"$filter\"; exit 0; fi; "
         "if [ \"$kind\" = chunks ]; then " +
         announce(kHelperChunksLine) +
         "$run \"$helper\" \"$device\" \"$iface\" \"$filter\"; exit 0; fi; "
         "tcpdump=$(command -v tcpdump) || tcpdump=/usr/sbin/tcpdump; "
         "[ -x \"$tcpdump\" ] || " +
         exitWith(kNoCaptureProgram) +
         "; "
         "if [ \"$(id -u)\" = 0 ]; then run=; "
         // Asks sudo whether it would run this very command, without running anything: a rule
         // may allow tcpdump's capture command alone.
         "elif sudo -n -l \"$tcpdump\" -U -w - -i \"$iface\" -- ${filter:+\"$filter\"} "
         ">/dev/null 2>&1; then run='sudo -n'; "
         "else " +
         exitWith(kNoSudoRights) + "; fi; " + announce(kTcpdumpLine) +
         "exec 3<&0; "
         // After "--" a filter that starts with "-" is never read as options.
         "$run \"$tcpdump\" -U -w - -i \"$iface\" -- ${filter:+\"$filter\"} </dev/null & "
         "capture=$!; "
         "(while read -r _; do :; done; kill \"$capture\") <&3 2>/dev/null & watcher=$!; "
         "wait \"$capture\"; status=$?; kill \"$watcher\" 2>/dev/null; "
         "[ \"$status\" -eq 0 ] || [ \"$status\" -eq 143 ] || " +
         exitWith(kTcpdumpFailed);
}

QString hostName(const RemoteTarget& target) {
  const QString destination = sshDestination(target.host).destination;
  const qsizetype at = destination.lastIndexOf('@');
  return at < 0 ? destination : destination.mid(at + 1);
}

// Lines of the host's standard error that tell of no failure: tcpdump's start and its counts.
bool toldInPassing(const QString& line) {
  return line.startsWith("tcpdump: listening on ") || line.startsWith("listening on ") ||
         line.endsWith(" packets captured") || line.endsWith(" packets received by filter");
}

}  // namespace

SshDestination sshDestination(const QString& host) {
  QString rest = host;
  const bool url = rest.startsWith("ssh://");
  if (url) {
    rest.remove(0, 6);
    if (rest.endsWith('/')) {
      rest.chop(1);
    }
  }
  const qsizetype at = rest.lastIndexOf('@');
  const QString user = at < 0 ? QString() : rest.left(at + 1);
  QString address = rest.mid(at + 1);
  QString port;
  if (address.startsWith('[')) {
    // [ADDRESS] or [ADDRESS]:PORT, for an IPv6 address with a port.
    const qsizetype close = address.indexOf(']');
    if (close > 0 && (close + 1 == address.size() || address.at(close + 1) == ':')) {
      port = address.mid(close + 2);
      address = address.mid(1, close - 1);
    }
  } else if (address.count(':') == 1) {
    // HOST:PORT; with more colons, it is an IPv6 address alone.
    port = address.section(':', 1);
    address = address.section(':', 0, 0);
  }
  return {user + address, port};
}

std::string shellQuoted(std::string_view word) {
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

std::vector<QByteArray> sshCommand(const RemoteTarget& target) {
  std::vector<QByteArray> command = {"ssh", "-T",
                                     "-o",  "ConnectTimeout=10",
                                     "-o",  "ServerAliveInterval=15",
                                     "-o",  "ServerAliveCountMax=3",
                                     "-o",  "LogLevel=ERROR"};
  if (target.batchMode) {
    command.insert(command.end(), {"-o", "BatchMode=yes"});
  } else {
    // Questions go to the askpass program, also on a desktop without DISPLAY (Wayland).
    command.insert(command.begin(), {"env", "SSH_ASKPASS_REQUIRE=prefer"});
  }
  const SshDestination destination = sshDestination(target.host);
  if (!destination.port.isEmpty()) {
    command.insert(command.end(), {"-p", destination.port.toLocal8Bit()});
  }
  // After "--" a host that starts with "-" is still a host, never an option.
  command.insert(command.end(), {"--", destination.destination.toLocal8Bit()});
  const std::string remote = "sh -c " + shellQuoted(remoteScript()) + " wirequill-remote " +
                             shellQuoted(target.device.toStdString()) + " " +
                             shellQuoted(target.interfaceName.toStdString()) + " " +
                             shellQuoted(target.filter.toStdString()) + " " +
                             shellQuoted(target.installedHelper.toStdString());
  command.push_back(QByteArray::fromStdString(remote));
  return command;
}

RemoteStream announcedStream(std::string_view errorLine) {
  for (const auto& [line, stream] : {std::pair(kHelperChunksLine, RemoteStream::kHelperChunks),
                                     std::pair(kHelperPcapLine, RemoteStream::kHelperPcap),
                                     std::pair(kTcpdumpLine, RemoteStream::kTcpdump)}) {
    if (errorLine == line) {
      return stream;
    }
  }
  return RemoteStream::kNone;
}

std::optional<std::string> leftOutConnection(std::string_view errorLine) {
  if (!errorLine.starts_with(kLeftOutPrefix)) {
    return std::nullopt;
  }
  return std::string(errorLine.substr(kLeftOutPrefix.size()));
}

QString remoteFailureMessage(const RemoteTarget& target, int exitStatus,
                             const QStringList& errorLines) {
  const QString host = hostName(target);
  QString said;
  for (const QString& line : errorLines) {
    if (!toldInPassing(line.trimmed())) {
      said = line.trimmed();  // the last line that tells something
    }
  }
  if (said.startsWith("ssh: ")) {
    said.remove(0, 5);
  }
  const QString stopped = QString("Capture on %1 stopped: ").arg(host);
  switch (exitStatus) {
    case 0:
      return {};
    case kNoCaptureProgram:
      return stopped + "it has neither the Wirequill capture helper nor tcpdump.";
    case kNoSudoRights:
      return stopped +
             "no right to capture there: give its helper file capabilities, or allow "
             "tcpdump with sudo without a password.";
    case kNoSuchInterface:
      return stopped +
             QString("it has no network interface named \"%1\".").arg(target.interfaceName);
    case kTcpdumpFailed:
      return stopped + "tcpdump failed: " + said;
    case kSshFailed:
      break;
    default:
      return stopped + QString("ssh ended with status %1. %2").arg(exitStatus).arg(said).trimmed();
  }
  if (said.contains("Permission denied")) {
    return QString("%1 refused the key (%2). Set up a key for it: ssh-keygen, then ssh-copy-id %3.")
        .arg(host, said, target.host);
  }
  if (errorLines.join('\n').contains("REMOTE HOST IDENTIFICATION HAS CHANGED")) {
    return QString(
               "The host key of %1 has changed since it was accepted here (ssh: \"WARNING: "
               "REMOTE HOST IDENTIFICATION HAS CHANGED!\"): someone may be listening in. Ask "
               "its administrator; only if the change is known, remove the old key with: "
               "ssh-keygen -R %1")
        .arg(host);
  }
  if (said.contains("Host key verification failed")) {
    return QString("The host key of %1 is not known here. Check and accept it once with: ssh %2")
        .arg(host, target.host);
  }
  if (said.contains("Could not resolve") || said.contains("Connection refused") ||
      said.contains("timed out") || said.contains("No route to host") ||
      said.contains("Network is unreachable")) {
    return QString("Cannot reach %1: %2").arg(host, said);
  }
  return stopped + (said.isEmpty() ? QString("ssh failed.") : said);
}

}  // namespace wq

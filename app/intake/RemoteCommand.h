// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What capture on another machine runs there, through OpenSSH, and what its endings mean.
//
// ssh runs a short POSIX shell script on HOST. It starts the Wirequill helper there when the
// helper may capture (as root, with file capabilities, or under a password-free `sudo -n` rule),
// asking it for a pcap stream (`--pcap`), or for chunks when it is an older helper without it;
// else `tcpdump -U -w -` as root or under `sudo -n`. Before its stream starts, it names the kind
// on its standard error (a stream line), so that the application knows what comes back on ssh's
// standard output. Its arguments travel quoted: no interface name or
// filter text is ever read as shell code there.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wq {

struct RemoteTarget {
  QString host;           // [USER@]HOST as ssh takes it
  QString device;         // the remote helper's device; a path under /dev/bpf
  QString interfaceName;  // on HOST
  QString filter;         // a capture filter expression, or empty
  // Never prompt: a host key or password that needs asking fails at once (headless runs, and
  // windows without an askpass program).
  bool batchMode = true;
  // Where the host's helper is when it is not on the PATH there: where the package installs it.
  QString installedHelper = "/usr/libexec/wirequill/netsiphon";
};

// What the remote script said it streams back: the helper's chunks or pcap stream, tcpdump's pcap
// stream.
enum class RemoteStream { kNone, kHelperChunks, kHelperPcap, kTcpdump };

// Where ssh connects: [USER@]HOST, and the port when one is given. A target may be written
// [USER@]HOST, [USER@]HOST:PORT, [USER@][IPV6]:PORT or ssh://[USER@]HOST[:PORT]; an IPv6 address
// without brackets has no port.
struct SshDestination {
  QString destination;
  QString port;  // empty: ssh's own choice
  bool operator==(const SshDestination&) const = default;
};
SshDestination sshDestination(const QString& host);

// Quotes a word for a POSIX shell: the shell reads it back as exactly that one word.
std::string shellQuoted(std::string_view word);

// The command line that starts ssh for the target (its first word is found on the PATH).
std::vector<QByteArray> sshCommand(const RemoteTarget& target);

// The kind of stream a line of the remote standard error announces, if it is a stream line.
RemoteStream announcedStream(std::string_view errorLine);

// The ssh connection that the capture on HOST leaves out ("ADDRESS port PORT to ADDRESS port
// PORT"), if the line tells of it.
std::optional<std::string> leftOutConnection(std::string_view errorLine);

// One line that tells why capture on HOST ended or never started, from the exit status of ssh
// (its own failures are 255; the script's are its own) and the other lines of its standard
// error. Empty when neither tells of a failure.
QString remoteFailureMessage(const RemoteTarget& target, int exitStatus,
                             const QStringList& errorLines);

}  // namespace wq

// SPDX-License-Identifier: GPL-3.0-or-later
// wirequill monitoring live and headless inside a network namespace, through the capture helper,
// while the test sends traffic across a veth pair or over the namespace's own loopback. Traffic
// goes only between the namespaces' own addresses, and each run lasts a few seconds. Needs root;
// skipped otherwise.
#include <gtest/gtest.h>

#include <pwd.h>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <filesystem>
#include <functional>
#include <map>

#include "app/intake/RemoteCommand.h"
#include "tests/app/AppTestSupport.h"
#include "tracking/view/NodeText.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;

constexpr milliseconds kPatience(10'000);

// An address of either family as an IPv6 socket takes it: an IPv4 one mapped, its packets IPv4.
sockaddr_in6 endpoint(const std::string& address, std::uint16_t port) {
  sockaddr_in6 made{};
  made.sin6_family = AF_INET6;
  made.sin6_port = htons(port);
  const bool v4 = address.find(':') == std::string::npos;
  inet_pton(AF_INET6, ((v4 ? "::ffff:" : "") + address).c_str(), &made.sin6_addr);
  return made;
}

void boundWaits(int socket) {
  const timeval patience{5, 0};
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
}

// One HTTP/1.0 exchange: a server in `serverSpace` answers the request of a client in
// `clientSpace` with `body`, and the client reads the response to its end. The client's port, or
// 0 when the exchange failed.
std::uint16_t httpExchange(const std::string& serverSpace, const std::string& clientSpace,
                           const std::string& address, std::uint16_t port,
                           const std::string& body) {
  sockaddr_in6 server = endpoint(address, port), local{};
  const auto* at = reinterpret_cast<const sockaddr*>(&server);
  const Descriptor listener = socketIn(serverSpace, SOCK_STREAM, AF_INET6);
  const Descriptor client = socketIn(clientSpace, SOCK_STREAM, AF_INET6);
  boundWaits(listener.get());
  boundWaits(client.get());
  if (bind(listener.get(), at, sizeof server) != 0 || listen(listener.get(), 1) != 0) {
    return 0;
  }
  std::thread serving([&] {
    const Descriptor accepted(accept(listener.get(), nullptr, nullptr));
    boundWaits(accepted.get());
    std::string request(1024, '\0');
    (void)!recv(accepted.get(), request.data(), request.size(), 0);
    // Blocking: all of it is sent, unless the wait runs out and the exchange fails.
    const std::string response = "HTTP/1.0 200 OK\r\n\r\n" + body;
    (void)!send(accepted.get(), response.data(), response.size(), MSG_NOSIGNAL);
  });
  std::size_t received = 0;
  if (connect(client.get(), at, sizeof server) == 0) {
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    (void)!send(client.get(), request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    for (ssize_t length; (length = recv(client.get(), buffer, sizeof buffer, 0)) > 0;) {
      received += static_cast<std::size_t>(length);
    }
  }
  serving.join();
  socklen_t length = sizeof local;
  getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length);
  return received == 19 + body.size() ? ntohs(local.sin6_port) : 0;
}

// wirequill without a window in network namespace `space`, `arguments` split as a shell would.
void startHeadless(QProcess& program, const std::string& space, const std::string& arguments) {
  program.start("ip", QStringList{"netns", "exec", QString::fromStdString(space), WIREQUILL_PROGRAM,
                                  "--no-window"} +
                          QProcess::splitCommand(QString::fromStdString(arguments)));
}

// The exit code of a run of `seconds` once it has ended (-1 if it did not), and its standard
// error.
std::pair<int, std::string> ending(QProcess& program, int seconds) {
  const bool ended = program.waitForFinished(seconds * 1000 + int(kPatience.count()));
  return {ended ? program.exitCode() : -1, program.readAllStandardError().toStdString()};
}

// Printable text that differs from one body to the next.
std::string bodyOf(std::size_t length, char first) {
  std::string body(length, ' ');
  for (std::size_t i = 0; i < length; ++i) {
    body[i] = static_cast<char>(first + (i * 7 + i / 26) % 26);
  }
  return body;
}

// wirequill without a window in namespace `space`, capturing on `interfaceName` for `seconds`,
// while `traffic` runs, from the start of the capture to well inside the run: its standard error
// and its report, once it ended well.
std::pair<std::string, std::string> monitored(const std::string& space,
                                              const std::string& interfaceName, int seconds,
                                              const std::function<void()>& traffic) {
  const ScratchDirectory scratch;
  isolateEnvironment(scratch);
  QProcess program;
  startHeadless(program, space,
                "-i " + interfaceName + " --duration " + std::to_string(seconds) + " --report " +
                    scratch.file("live.report"));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_GT(capturingHelper(program.processId(), kPatience), 0);
  traffic();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(seconds - 1))
      << "the traffic took too long to finish well inside the run";
  const auto [status, log] = ending(program, seconds);
  EXPECT_EQ(status, 0) << log;
  return {log, readFile(scratch.file("live.report"))};
}

// Whole frames of any size, in both families: over the namespace's loopback (MTU 65536) and over
// veth with its offloads on, TCP segments of tens of kilobytes are everyday traffic. A 16 kB
// response shows every byte in its node; a 100 kB one overflows its node and leaves nothing
// spliced behind. Over veth, an ICMPv6 echo makes its node too.
TEST(LiveMonitor, WholeFramesOfAnySizeInBothFamilies) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  const VethPair pair(true);
  ASSERT_TRUE(pair.ready()) << pair.failure();
  struct Run {
    std::string interfaceName, clientSpace, address4, address6, client4, client6;
  };
  const Run runs[] = {{"lo", pair.namespaceA, "127.0.0.1", "::1", "127.0.0.1", "::1"},
                      {pair.interfaceA, pair.namespaceB, pair.addressA, pair.address6A,
                       pair.addressB, pair.address6B}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.interfaceName);
    const bool overVeth = run.clientSpace == pair.namespaceB;
    std::vector<std::pair<std::string, std::string>> responses;  // the node's lines, the body
    const auto [log, report] = monitored(pair.namespaceA, run.interfaceName, 5, [&] {
      std::uint16_t port = 8080;
      for (const auto& [server, client] :
           {std::pair(run.address4, run.client4), std::pair(run.address6, run.client6)}) {
        for (const std::size_t length : {16'000, 100'000}) {
          const std::string body = bodyOf(length, length < 24'000 ? 'a' : 'A');
          const std::uint16_t clientPort =
              httpExchange(pair.namespaceA, run.clientSpace, server, port, body);
          ASSERT_NE(clientPort, 0) << server;
          responses.emplace_back("Source Port: " + std::to_string(port++) +
                                     "\nDestination IP: " + client +
                                     "\nDestination Port: " + std::to_string(clientPort) + "\n",
                                 body);
        }
      }
      ASSERT_TRUE(!overVeth || runQuietly("ip netns exec " + pair.namespaceB +
                                          " ping -6 -c 1 -W 2 " + pair.address6A));
    });
    std::string joined = report;  // the payload texts without their line breaks
    std::erase(joined, '\n');
    EXPECT_EQ(report.find("not captured"), std::string::npos);
    EXPECT_EQ(responses.size(), 4u);
    for (const auto& [response, body] : responses) {
      const bool large = body.size() > 24'000;  // above MaxPacketSize: the node overflowed
      EXPECT_EQ(report.find(response) == std::string::npos, large) << response;
      EXPECT_EQ(joined.find(large ? body.substr(0, 40) : body) == std::string::npos, large)
          << response;
    }
    EXPECT_TRUE(!overVeth || report.find("Protocol: ICMPv6\n\nSource IP: " + pair.address6B +
                                         "\nSource Port: 0\nDestination IP: " + pair.address6A +
                                         "\n") != std::string::npos);
  }
}

// The text a report shows of a node's payload, after its byte count.
std::string payloadBlock(const std::string& payload) {
  std::string text = "Byte count: " + std::to_string(payload.size()) + "\n\nRaw Data:\n\n";
  appendPayloadText(
      text, std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()));
  return text + "\n\n---";
}

// A 20 kB download from a server through a router, whose nftables rule drops every fourth data
// segment the server sends, retransmissions included: the sender learns of each loss only from
// the client, so segments come again later, after others and cut otherwise. Captured between the
// router and the client, each node reads exactly what its end sent: the response with its
// headers, and the request. Segments are MTU-sized (no offloads) and carry Linux's time stamp
// options. The run ends by telling how many packets the capture lost.
TEST(LiveMonitor, ADownloadWithLostSegmentsReadsAsSent) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  // The pair joins the server (A) and the router (B); a second pair joins the router and the
  // client, on a subnet of its own.
  const VethPair pair;
  ASSERT_TRUE(pair.ready()) << pair.failure();
  const std::string router = pair.namespaceB, client = pair.namespaceB + "c";
  const std::string toClient = "wqv" + std::to_string(getpid()) + "r";
  const std::string clientEnd = "wqv" + std::to_string(getpid()) + "c";
  const std::string subnet = "10.202." + std::to_string(getpid() % 250 + 1) + ".";
  struct ClientSpace {
    std::string name;
    ~ClientSpace() { runQuietly("ip netns del " + name); }
  } clientSpace{client};
  std::vector<std::string> commands = {
      "ip netns add " + client,
      "ip link add " + toClient + " netns " + router + " type veth peer name " + clientEnd +
          " netns " + client,
      "ip -n " + router + " addr add " + subnet + "1/24 dev " + toClient,
      "ip -n " + client + " addr add " + subnet + "2/24 dev " + clientEnd,
      "ip -n " + router + " link set " + toClient + " up",
      "ip -n " + client + " link set " + clientEnd + " up",
      "ip -n " + client + " link set lo up",
      "ip netns exec " + router + " sysctl -qw net.ipv4.ip_forward=1",
      "ip -n " + pair.namespaceA + " route add " + subnet + "0/24 via " + pair.addressB,
      "ip -n " + client + " route add default via " + subnet + "1",
      "echo 'table inet wqloss { chain forward { type filter hook forward priority 0; policy "
      "accept; tcp sport 8080 tcp flags & (syn | fin) == 0 ip length > 100 numgen inc mod 4 == 1 "
      "counter drop; }; }' | ip netns exec " +
          router + " nft -f -"};
  for (const auto& [space, link] : {std::pair(pair.namespaceA, pair.interfaceA),
                                    {router, "wqv" + std::to_string(getpid()) + "b"},
                                    {router, toClient},
                                    {client, clientEnd}}) {
    commands.push_back("ip netns exec " + space + " ethtool -K " + link +
                       " gro off tso off gso off");
  }
  for (const std::string& command : commands) {
    ASSERT_TRUE(runQuietly(command)) << command;
  }
  const std::string body = bodyOf(20'000, 'a');
  const auto [complaints, report] = monitored(router, toClient, 8, [&] {
    ASSERT_NE(httpExchange(pair.namespaceA, client, pair.addressA, 8080, body), 0);
  });
  EXPECT_EQ(
      outputOf("ip", {"netns", "exec", QString::fromStdString(router), "nft", "list", "ruleset"})
          .find("counter packets 0 "),
      std::string::npos)
      << "no segment was dropped";
  // The run tells at its end what the capture lost, from the helper's counts.
  EXPECT_TRUE(QString::fromStdString(complaints)
                  .contains(QRegularExpression("^wirequill: [\\d,]+ packets? dropped by the "
                                               "kernel since capture started$",
                                               QRegularExpression::MultilineOption)))
      << complaints;
  EXPECT_NE(report.find("Source Port: 8080\n"), std::string::npos);
  EXPECT_NE(report.find(payloadBlock("HTTP/1.0 200 OK\r\n\r\n" + body)), std::string::npos)
      << report;
  EXPECT_NE(report.find(payloadBlock("GET / HTTP/1.0\r\n\r\n")), std::string::npos);
  EXPECT_EQ(report.find("not captured"), std::string::npos);
}

// The bytes an interface in a network namespace has sent and received.
long long linkBytes(const std::string& space, const std::string& interfaceName) {
  const QString statistics = QString::fromStdString("/sys/class/net/" + interfaceName);
  std::istringstream counts(
      outputOf("ip", {"netns", "exec", QString::fromStdString(space), "cat",
                      statistics + "/statistics/tx_bytes", statistics + "/statistics/rx_bytes"}));
  long long sent = 0, received = 0;
  counts >> sent >> received;
  return sent + received;
}

// The processes in a network namespace, by their program names.
std::vector<std::pair<pid_t, std::string>> processesIn(const std::string& space) {
  std::vector<std::pair<pid_t, std::string>> found;
  std::istringstream pids(outputOf("ip", {"netns", "pids", QString::fromStdString(space)}));
  for (pid_t pid; pids >> pid;) {
    const std::string name = procFile(pid, "comm");
    if (!name.empty() && !processEnded(pid)) {  // else it has just ended
      found.emplace_back(pid, name.substr(0, name.size() - 1));
    }
  }
  return found;
}

// An OpenSSH server in one namespace, for one test: its own host key, a key pair made here, known
// hosts and settings in the scratch folder, and `remotePath` as the PATH of its sessions. Clients
// reach it through the `ssh` in clientPath, which offers one key alone: the one made for them, or
// one the server never heard of.
struct SshServer {
  SshServer(const std::string& at, const std::string& space, const std::string& address,
            const std::string& remotePath, bool knownKey)
      : folder(at) {
    for (const std::string key : {"host", "user", "stranger"}) {
      ready = ready && runQuietly("ssh-keygen -q -t ed25519 -N '' -f " + folder + "/" + key);
    }
    std::ofstream(folder + "/authorized_keys") << readFile(folder + "/user.pub");
    std::ofstream(folder + "/known_hosts") << address << " " << readFile(folder + "/host.pub");
    std::ofstream(folder + "/sshd_config")
        << "ListenAddress " << address << "\nHostKey " << folder << "/host\nAuthorizedKeysFile "
        << folder << "/authorized_keys\nStrictModes no\nUsePAM no\nPidFile " << folder
        << "/sshd.pid\nSetEnv PATH=" << remotePath << "\n";
    mkdir(clientPath.c_str(), 0700);
    writeScript(clientPath + "/ssh", "exec /usr/bin/ssh -F none -o IdentitiesOnly=yes -i " +
                                         folder + (knownKey ? "/user" : "/stranger") +
                                         " -o UserKnownHostsFile=" + folder +
                                         "/known_hosts \"$@\"");
    std::filesystem::create_directories("/run/sshd");  // its privilege separation folder
    // The host's sessions see a libexec folder of their own, empty: a helper installed on this
    // machine by the package is never the host's, whose programs are those of remotePath alone.
    const std::string noLibexec = folder + "/no-libexec";
    std::filesystem::create_directories(noLibexec);
    ready = ready && runQuietly("ip netns exec " + space +
                                " sh -c 'if [ -d /usr/libexec/wirequill ]; then mount --bind " +
                                noLibexec + " /usr/libexec/wirequill; fi; exec /usr/sbin/sshd -f " +
                                folder + "/sshd_config -E " + folder + "/sshd.log'");
    ready = ready && pollUntil([&] { return !readFile(folder + "/sshd.pid").empty(); }, kPatience);
    pid = ready ? std::stoi(readFile(folder + "/sshd.pid")) : -1;
  }
  ~SshServer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
    }
  }
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  // The environment of a client: its ssh is the one in clientPath.
  QProcessEnvironment client() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH",
                       QString::fromStdString(clientPath) + ":" + environment.value("PATH"));
    return environment;
  }

  std::string folder;
  std::string clientPath = folder + "/client";
  bool ready = true;
  pid_t pid = -1;
};

// Capture on another host: wirequill in one namespace watches the loopback of the other through
// ssh, with the host's capture helper or with tcpdump alone, while the test sends a ping and an
// HTTP exchange there. Each failure says what went wrong in one line, quitting
// leaves nothing running on either side, and no interface name runs a command on the host.
TEST(LiveMonitor, CapturesOnAnotherHostOverSsh) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "an SSH server in network namespaces needs root";
  }
  const VethPair pair;
  ASSERT_TRUE(pair.ready()) << pair.failure();
  ScratchDirectory scratch;
  isolateEnvironment(scratch);
  // An interface tcpdump cannot capture on: it is down.
  ASSERT_TRUE(
      runQuietly("ip -n " + pair.namespaceB + " link add wqdown0 type veth peer name wqdown1"));
  const std::string touched = scratch.file("touched");
  const std::string onlyShell = scratch.subdirectory("only-shell");
  std::filesystem::create_symlink("/bin/sh", onlyShell + "/sh");
  const std::string sshLink = "wqv" + std::to_string(getpid()) + "b";  // the host's end
  const std::string bin = "/usr/bin:/bin", system = "/usr/sbin:" + bin;
  const std::string helperFolder = std::filesystem::path(WIREQUILL_PROGRAM).parent_path();
  // A helper from before pcap streams: it ends with its usage line when asked for one.
  const std::string olderHelper = scratch.subdirectory("older-helper");
  writeScript(olderHelper + "/netsiphon",
              "case $1 in --can-capture-pcap|--pcap) exit 255;; esac\n"
              "exec " +
                  helperFolder + "/netsiphon \"$@\"");
  struct Run {
    std::string name;
    std::string remotePath;  // where the host's programs are; empty: no server there
    bool knownKey;
    std::string interfaceName;
    std::string expected;  // in the log: the stream used, or the failure
  };
  const Run runs[] = {
      {"helper", helperFolder + ":" + system, true, "lo", "through its capture helper"},
      {"tcpdump", system, true, "lo", "through tcpdump"},
      {"older helper", olderHelper + ":" + system, true, "lo", "through its capture helper"},
      {"helper on ssh's own link", helperFolder + ":" + system, true, sshLink,
       "through its capture helper"},
      {"tcpdump on ssh's own link", system, true, sshLink, "through tcpdump"},
      {"stranger", bin, false, "lo", "refused the key"},
      {"no such interface", bin, true, "nosuch0", "has no network interface named \"nosuch0\""},
      {"tcpdump refuses the interface", system, true, "wqdown0",
       "tcpdump failed: tcpdump: wqdown0: That device is not up"},
      {"hostile name", bin, true, "lo;touch " + touched, "has no network interface named"},
      {"nothing to capture with", onlyShell, true, "lo",
       "neither the Wirequill capture helper nor tcpdump"},
      {"no server there", "", true, "lo", "Cannot reach"}};
  constexpr int kDatagrams = 1500;
  std::map<std::string, long long> streamBytes;  // what crossed ssh's link while each ran
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    const int index = static_cast<int>(&run - runs);
    const SshServer server(scratch.subdirectory("ssh" + std::to_string(index)), pair.namespaceB,
                           pair.addressB, run.remotePath, run.knownKey);
    ASSERT_TRUE(server.ready) << readFile(server.folder + "/sshd.log");
    const bool capturing = run.expected.starts_with("through");
    const std::string reportPath = scratch.file(std::to_string(index) + ".report");
    QProcess program;
    program.setProcessEnvironment(server.client());
    startHeadless(program, pair.namespaceA,
                  "--host root@" + (run.remotePath.empty() ? pair.addressA : pair.addressB) +
                      " -i \"" + run.interfaceName + "\" --duration 5 --report " + reportPath);
    long long linkBytesAtStart = 0;
    if (capturing) {
      pid_t capture = -1;
      // Not the helper's quick check of its rights (--can-capture), which stays root.
      ASSERT_TRUE(pollUntil(
          [&] {
            for (const auto& [pid, name] : processesIn(pair.namespaceB)) {
              const std::string arguments = procFile(pid, "cmdline");
              if ((name == "netsiphon" || name == "tcpdump") && !arguments.empty() &&
                  arguments.find("--can-capture") == std::string::npos) {
                capture = pid;
              }
            }
            return capture > 0;
          },
          kPatience));
      ASSERT_TRUE(waitUntilUnprivileged(capture, kPatience));
      linkBytesAtStart = linkBytes(pair.namespaceB, sshLink);
      // Over the link ssh uses, or over the host's loopback.
      const bool onLink = run.interfaceName == sshLink;
      const std::string to = onLink ? pair.addressB : "127.0.0.1";
      const std::string from = onLink ? pair.namespaceA : pair.namespaceB;
      ASSERT_TRUE(runQuietly("ip netns exec " + from + " ping -c 1 -W 2 " + to));
      // A port of its own: the last run's may still wait out its close.
      const auto port = static_cast<std::uint16_t>(8080 + index);
      ASSERT_NE(httpExchange(pair.namespaceB, from, to, port, bodyOf(3000, 'a')), 0);
      ASSERT_TRUE(onLink || sendDatagrams(from, from, to, port, kDatagrams, milliseconds(1)));
    }
    const auto [status, log] = ending(program, 5);
    EXPECT_NE(log.find(run.expected), std::string::npos) << log;
    // A failure is told once, as the run's complaint.
    EXPECT_TRUE(capturing || log.find(run.expected) == log.rfind(run.expected)) << log;
    EXPECT_EQ(status, capturing ? 0 : 1) << log;
    if (capturing) {
      // The capture leaves its own connection out, and says so: captured, each of its packets
      // would make more of them, without end. What crosses the link stays near what was made.
      EXPECT_NE(log.find("leaves out its own ssh connection, " + pair.addressA + " port "),
                std::string::npos)
          << log;
      streamBytes[run.name] = linkBytes(pair.namespaceB, sshLink) - linkBytesAtStart;
      EXPECT_LT(streamBytes[run.name], 1'000'000);
      const std::string report = readFile(reportPath);
      for (const std::string& expected :
           {std::string("Protocol: ICMP\n"), bodyOf(3000, 'a').substr(0, 60)}) {
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
      }
      if (run.interfaceName == "lo") {  // every datagram listed
        EXPECT_EQ(QString::fromStdString(report).count("Protocol: UDP\n"), kDatagrams);
      }
    }
    EXPECT_FALSE(std::filesystem::exists(touched));
    // Nothing is left running: on the host only the server's listener, here nothing at all.
    EXPECT_TRUE(pollUntil(
        [&] {
          const auto left = processesIn(pair.namespaceB);
          return processesIn(pair.namespaceA).empty() && left.size() == 1 &&
                 left.front().first == server.pid;
        },
        kPatience));
  }
  // The helper's pcap stream costs about what tcpdump's does; an older helper's chunks, each sent
  // 10 ms after its first datagram, cost several times as much.
  EXPECT_LT(streamBytes["helper"], streamBytes["tcpdump"] * 3 / 2);
  EXPECT_GT(streamBytes["older helper"], streamBytes["tcpdump"] * 3);
}

// A program run in network namespace `space`, as `user` (its name; root when empty).
QStringList inSpace(const std::string& space, const std::string& user, const QStringList& command) {
  QStringList line{"netns", "exec", QString::fromStdString(space)};
  if (!user.empty()) {
    const QString name = QString::fromStdString(user);
    const passwd* entry = getpwnam(user.c_str());
    line << "setpriv"
         << "--reuid=" + name << "--regid=" + QString::number(entry ? entry->pw_gid : 65534)
         << "--clear-groups";
  }
  return line + command;
}

// Sends `count` one-byte datagrams `pause` seconds apart from a socket of its own to
// `address`:`port`, in `space` as `user`.
void startUdpSender(QProcess& sender, const std::string& space, const std::string& user,
                    const std::string& address, int port, int count, double pause) {
  static const char* const kSender =
      "import os, socket, sys, time\n"
      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
      "s.bind(('0.0.0.0', 0))\n"
      "print(os.getpid(), s.getsockname()[1], flush=True)\n"
      "for i in range(int(sys.argv[3])):\n"
      "    s.sendto(b'x', (sys.argv[1], int(sys.argv[2])))\n"
      "    time.sleep(float(sys.argv[4]))\n";
  sender.start("ip",
               inSpace(space, user,
                       {"/usr/bin/python3", "-c", kSender, QString::fromStdString(address),
                        QString::number(port), QString::number(count), QString::number(pause)}));
}

// A sender's pid and port, as it tells them before sending.
std::pair<pid_t, int> toldPidAndPort(QProcess& sender) {
  std::pair<pid_t, int> told{-1, -1};
  // The line may come in pieces, and the sender may end before it is read.
  while (!sender.canReadLine() && sender.waitForReadyRead(int(kPatience.count()))) {
  }
  std::istringstream(sender.readLine().toStdString()) >> told.first >> told.second;
  return told;
}

// Each node block of a report with programs: its protocol, ports and the Program line's text.
struct ReportedNode {
  std::string protocol;
  int sport = 0, dport = 0;
  std::string program;
};
std::vector<ReportedNode> reportedNodes(const std::string& report) {
  static const QRegularExpression block(
      "Protocol: (\\S+)\n\nSource IP: [^\n]*\nSource Port: (\\d+)\n[^\n]*\nDestination Port: "
      "(\\d+)\n(?:.|\n)*?\nProgram: ([^\n]*)\n\n---");
  std::vector<ReportedNode> nodes;
  for (auto match = block.globalMatch(QString::fromStdString(report)); match.hasNext();) {
    const QRegularExpressionMatch found = match.next();
    nodes.push_back({found.captured(1).toStdString(), found.captured(2).toInt(),
                     found.captured(3).toInt(), found.captured(4).toStdString()});
  }
  return nodes;
}

// The programs behind the nodes, named while capture runs: a Python UDP sender; curl and the HTTP
// server it asks, both ends over loopback; a receiver of datagrams from the other namespace,
// whose sender there is not named; short-lived senders, each unknown or itself, never another
// program; and, seen by a Wirequill that is not root, another user's sender by its user alone.
TEST(LiveMonitor, NamesTheProgramBehindEachNode) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  const VethPair pair;
  ASSERT_TRUE(pair.ready()) << pair.failure();
  ScratchDirectory scratch;
  isolateEnvironment(scratch);
  const std::string space = pair.namespaceA;
  const QRegularExpression python("^python3[.0-9]* \\(pid (\\d+), user \\w+");
  // The pids that `pattern` finds in `text`, joined by '|'.
  const auto pidsIn = [](const std::string& text, const QRegularExpression& pattern) {
    const QRegularExpressionMatch found = pattern.match(QString::fromStdString(text));
    return found.captured(1) + (found.lastCapturedIndex() >= 2 ? "|" + found.captured(2) : "");
  };
  const auto pidIn = [&](const std::string& text, const QRegularExpression& pattern) {
    return pidsIn(text, pattern).toInt();
  };

  // As root, on every interface of the namespace.
  QProcess program;
  startHeadless(program, space,
                "-i any --duration 7 --programs --report " + scratch.file("root.report"));
  ASSERT_GT(capturingHelper(program.processId(), kPatience), 0);
  QProcess sender;
  startUdpSender(sender, space, "", "127.0.0.1", 9, 5, 0.05);
  const auto [senderPid, senderPort] = toldPidAndPort(sender);
  // curl and a server that answers after half a second.
  QProcess server, client, receiver, remote;
  const int httpPort = 8000 + getpid() % 1000;
  server.start("ip",
               inSpace(space, "",
                       {"/usr/bin/python3", "-c",
                        "import http.server, sys, time\n"
                        "class Slow(http.server.BaseHTTPRequestHandler):\n"
                        "    def do_GET(self):\n"
                        "        time.sleep(0.5)\n"
                        "        self.send_response(200)\n"
                        "        self.end_headers()\n"
                        "server = http.server.HTTPServer(('127.0.0.1', int(sys.argv[1])), Slow)\n"
                        "print('serving', flush=True)\n"
                        "server.serve_forever()\n",
                        QString::number(httpPort)}));
  ASSERT_TRUE(server.waitForReadyRead(int(kPatience.count())));
  client.start("ip", inSpace(space, "",
                             {"curl", "-s", "-o", "/dev/null",
                              QString("http://127.0.0.1:%1/").arg(httpPort)}));
  ASSERT_TRUE(client.waitForStarted());
  const pid_t clientPid = client.processId(), serverPid = server.processId();
  // A receiver here of datagrams from the other namespace.
  const auto receiverPort = 7000 + getpid() % 1000;
  receiver.start("ip", inSpace(space, "",
                               {"/usr/bin/python3", "-c",
                                "import os, socket\n"
                                "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                "s.bind(('0.0.0.0', " +
                                    QString::number(receiverPort) +
                                    "))\nprint(os.getpid(), flush=True)\nwhile True: s.recv(9)"}));
  ASSERT_TRUE(receiver.waitForReadyRead(int(kPatience.count())));  // bound
  const pid_t receiverPid = receiver.readLine().trimmed().toInt();
  startUdpSender(remote, pair.namespaceB, "", pair.addressA, receiverPort, 3, 0.05);
  const int remotePort = toldPidAndPort(remote).second;
  for (QProcess* process : {&sender, &client, &remote}) {
    process->waitForFinished(int(kPatience.count()));
  }
  // Short-lived senders, one at a time: five exit as soon as they have sent, five 5 ms later.
  std::map<int, std::pair<pid_t, bool>> shortLived;  // port -> pid, and whether it waited
  for (int i = 0; i < 10; ++i) {
    QProcess once;
    startUdpSender(once, space, "", "127.0.0.1", 9, 1, i < 5 ? 0 : 0.005);
    const auto [pid, port] = toldPidAndPort(once);
    shortLived[port] = {pid, i >= 5};
    once.waitForFinished(int(kPatience.count()));
    std::this_thread::sleep_for(milliseconds(50));
  }
  const auto [status, log] = ending(program, 7);
  ASSERT_EQ(status, 0) << log;
  for (QProcess* process : {&server, &receiver}) {
    process->kill();
    process->waitForFinished();
  }

  const std::vector<ReportedNode> nodes = reportedNodes(readFile(scratch.file("root.report")));
  const QRegularExpression clientToServer(
      "^curl \\(pid (\\d+), user root[^)]*\\) -> python3[.0-9]* \\(pid (\\d+), user root");
  const QRegularExpression serverToClient(
      "^python3[.0-9]* \\(pid (\\d+), user root[^)]*\\) -> curl \\(pid (\\d+), user root");
  int named[2] = {}, seen = 0, checked = 0;  // of those that exit at once, and later
  for (const ReportedNode& node : nodes) {
    SCOPED_TRACE(node.protocol + " " + std::to_string(node.sport) + " -> " +
                 std::to_string(node.dport) + ": " + node.program);
    if (node.protocol == "UDP" && node.sport == senderPort) {
      EXPECT_EQ(pidIn(node.program, python), senderPid);
      EXPECT_EQ(node.program.find(" -> "), std::string::npos);  // nothing listens on port 9
      ++checked;
    } else if (node.protocol == "TCP" && node.dport == httpPort) {
      EXPECT_EQ(pidsIn(node.program, clientToServer),
                QString("%1|%2").arg(clientPid).arg(serverPid));
      ++checked;
    } else if (node.protocol == "TCP" && node.sport == httpPort) {
      EXPECT_EQ(pidsIn(node.program, serverToClient),
                QString("%1|%2").arg(serverPid).arg(clientPid));
      ++checked;
    } else if (node.protocol == "UDP" && node.sport == remotePort) {
      // Sent from the other namespace: only the receiving end is a socket here.
      EXPECT_EQ(pidIn(node.program, python), receiverPid);
      EXPECT_EQ(node.program.find(" -> "), std::string::npos);
      ++checked;
    } else if (node.protocol == "UDP" && shortLived.contains(node.sport)) {
      ++seen;
      if (!node.program.starts_with("unknown")) {
        EXPECT_EQ(pidIn(node.program, python), shortLived[node.sport].first);
        ++named[shortLived[node.sport].second];
      }
    }
  }
  EXPECT_GE(checked, 5 + 1 + 1 + 3);
  EXPECT_GE(seen, 10);
  std::printf("Short-lived senders named: %d of 5 that exit at once, %d of 5 that wait 5 ms\n",
              named[0], named[1]);

  // Not root: its own user's processes are named; another user's by the user alone.
  const std::string bin = scratch.subdirectory("bin");
  const std::string helperFolder = std::filesystem::path(WIREQUILL_PROGRAM).parent_path();
  for (const char* name : {"wirequill", "netsiphon"}) {
    std::filesystem::copy_file(helperFolder + "/" + name, bin + "/" + name);
  }
  // Owned by the user first: a change of owner takes file capabilities away.
  ASSERT_TRUE(runQuietly("chown -R daemon " + scratch.path + " && chmod 755 " + bin));
  ASSERT_TRUE(runQuietly("setcap cap_net_raw,cap_net_admin+ep " + bin + "/netsiphon"));
  QProcess unprivileged;
  unprivileged.start("ip", inSpace(space, "daemon",
                                   {QString::fromStdString(bin + "/wirequill"), "--no-window", "-i",
                                    "lo", "--duration", "4", "--programs", "--report",
                                    QString::fromStdString(scratch.file("daemon.report"))}));
  // The helper lets its capabilities go once its capture is open.
  const pid_t helper = waitForChild(unprivileged.processId(), "netsiphon", kPatience);
  ASSERT_TRUE(helper > 0 && pollUntil(
                                [&] {
                                  return statusField(helper, "CapEff").find("0000000000000000") !=
                                         std::string::npos;
                                },
                                kPatience));
  std::map<int, std::string> ownerOf;  // port -> user
  std::map<int, pid_t> pidOf;
  for (const char* user : {"daemon", "nobody", "root"}) {
    QProcess userSender;
    startUdpSender(userSender, space, user, "127.0.0.1", 9, 3, 0.05);
    const auto [pid, port] = toldPidAndPort(userSender);
    ownerOf[port] = user;
    pidOf[port] = pid;
    userSender.waitForFinished(int(kPatience.count()));
  }
  const auto [unprivilegedStatus, unprivilegedLog] = ending(unprivileged, 4);
  ASSERT_EQ(unprivilegedStatus, 0) << unprivilegedLog;
  checked = 0;
  for (const ReportedNode& node : reportedNodes(readFile(scratch.file("daemon.report")))) {
    if (node.protocol != "UDP" || !ownerOf.contains(node.sport)) {
      continue;
    }
    SCOPED_TRACE(node.program);
    const std::string& user = ownerOf[node.sport];
    if (user == "daemon") {
      EXPECT_EQ(pidIn(node.program, python), pidOf[node.sport]);
    } else {
      EXPECT_EQ(node.program, "unknown (user " + user + ")");
    }
    ++checked;
  }
  EXPECT_EQ(checked, 9);
}

// The remote shell reads every argument back as it was sent, whatever it holds; run here by sh
// as the host's login shell would run it, with stand-ins that record their arguments, for the
// helper, and for tcpdump through sudo. Targets with ports; the one line that tells why capture
// there ended.
TEST(RemoteCommand, ArgumentsReachTheHostAsTheyAre) {
  ScratchDirectory scratch;
  const std::string filter = "port 53 and '$(touch " + scratch.file("x") + ")' `id` \"\\\n;";
  // The host's helper is where the package installs it there, here a folder of the test's own.
  const std::string libexec = scratch.subdirectory("libexec");
  const RemoteTarget target{"user@host:2222",
                            "/dev/bpf0",
                            "lo",
                            QString::fromStdString(filter),
                            true,
                            QString::fromStdString(libexec + "/netsiphon")};
  const std::vector<QByteArray> command = sshCommand(target);
  ASSERT_GE(command.size(), 5u);  // a host is never taken for an option
  EXPECT_EQ(std::vector(command.end() - 5, command.end() - 1),
            (std::vector<QByteArray>{"-p", "2222", "--", "user@host"}));
  EXPECT_NE(std::ranges::find(command, "BatchMode=yes"), command.end());
  // A window with an askpass program lets ssh ask there, never in batch mode.
  RemoteTarget asking = target;
  asking.batchMode = false;
  const std::vector<QByteArray> askingCommand = sshCommand(asking);
  EXPECT_EQ(askingCommand[1], "SSH_ASKPASS_REQUIRE=prefer");
  EXPECT_EQ(std::ranges::find(askingCommand, "BatchMode=yes"), askingCommand.end());
  // The script ssh would run, run by sh with `bin` before the system's programs: its standard
  // error, once it ended well.
  const std::string bin = scratch.subdirectory("bin");
  const auto runOnHost = [&](const std::vector<QByteArray>& command) {
    QProcess shell;
    QProcessEnvironment environment;
    environment.insert("PATH", QString::fromStdString(bin) + ":/usr/bin:/bin");
    shell.setProcessEnvironment(environment);
    shell.start("sh", {"-c", QString::fromLocal8Bit(command.back())});
    const bool ended = shell.waitForFinished(10'000);
    const std::string said = shell.readAllStandardError().trimmed().toStdString();
    EXPECT_TRUE(ended && shell.exitCode() == 0) << said;
    return said;
  };
  // A helper is asked for a pcap stream; an older one, which ends with its usage line when asked
  // whether it can, for chunks as before.
  const std::tuple<std::string, RemoteStream, std::string> helpers[] = {
      {"--can-capture-pcap", RemoteStream::kHelperPcap, "--pcap\n"},
      {"--can-capture", RemoteStream::kHelperChunks, ""}};
  for (const auto& [yes, stream, first] : helpers) {
    writeScript(libexec + "/netsiphon", "[ \"$1\" = " + yes +
                                            " ] && exit 0\ncase $1 in --can*) exit 255;; esac\n"
                                            "printf '%s\\n' \"$@\" > " +
                                            scratch.file("arguments"));
    EXPECT_EQ(announcedStream(runOnHost(command)), stream);
    EXPECT_EQ(readFile(scratch.file("arguments")), first + "/dev/bpf0\nlo\n" + filter + "\n");
    EXPECT_FALSE(std::filesystem::exists(scratch.file("x")));
  }

  // Without the helper, as a user whom sudo lets run tcpdump's capture command alone: sudo is
  // asked about that very command, and the filter follows "--", even one that starts with "-".
  std::filesystem::remove(libexec + "/netsiphon");
  writeScript(bin + "/id", "echo 1000");
  writeScript(bin + "/sudo",
              "echo \"$*\" >> " + scratch.file("sudo") + "; shift; [ \"$1\" = -l ] || exec \"$@\"");
  writeScript(bin + "/tcpdump", "printf '%s\\n' \"$@\" > " + scratch.file("tcpdump"));
  runOnHost(sshCommand({"host", "/dev/bpf0", "lo", "-icmp", true, target.installedHelper}));
  const std::string capture = bin + "/tcpdump -U -w - -i lo -- -icmp";
  EXPECT_EQ(readFile(scratch.file("sudo")), "-n -l " + capture + "\n-n " + capture + "\n");
  EXPECT_EQ(readFile(scratch.file("tcpdump")), "-U\n-w\n-\n-i\nlo\n--\n-icmp\n");

  // HOST:PORT, [IPV6]:PORT and ssh:// URLs reach ssh as a destination and a port.
  const std::tuple<QString, QString, QString> destinations[] = {
      {"web1", "web1", ""},
      {"admin@web1:2222", "admin@web1", "2222"},
      {"ssh://admin@web1:2222/", "admin@web1", "2222"},
      {"ssh://web1", "web1", ""},
      {"root@[fd00::2]:22", "root@fd00::2", "22"},
      {"root@fd00::2", "root@fd00::2", ""},
      {"-oProxyCommand=x", "-oProxyCommand=x", ""}};
  for (const auto& [host, destination, port] : destinations) {
    EXPECT_EQ(sshDestination(host), (SshDestination{destination, port})) << host.toStdString();
  }

  // What ssh and the host said, as one line: a changed host key as changed; a dropped connection
  // by ssh's own last words, not by tcpdump's counts after them.
  const std::pair<QStringList, QString> failures[] = {
      {{"@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@",
        "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @",
        "Host key verification failed."},
       "The host key of web1 has changed since it was accepted here"},
      {{"Host key verification failed."}, "The host key of web1 is not known here."},
      {{"tcpdump: listening on eth0, link-type EN10MB", "Timeout, server web1 not responding.",
        "1402 packets captured", "1402 packets received by filter"},
       "Capture on web1 stopped: Timeout, server web1 not responding."},
      {{"1402 packets captured"}, "Capture on web1 stopped: ssh failed."}};
  for (const auto& [lines, message] : failures) {  // ssh's own failures end it with 255
    EXPECT_TRUE(remoteFailureMessage({"admin@web1:2222", "/dev/bpf0", "eth0", "", true}, 255, lines)
                    .startsWith(message))
        << message.toStdString();
  }
}

}  // namespace
}  // namespace wq::apptest

// SPDX-License-Identifier: GPL-3.0-or-later
// Which program holds each local end of a flow: socket listings matched to ends, a /proc tree read
// for the holders, answers remembered for a while, and the lookup thread.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <semaphore>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/ScratchFiles.h"
#include "tests/tracking/ControllerRig.h"
#include "tracking/PlainPlatform.h"
#include "tracking/programs/ProgramLookup.h"
#include "tracking/programs/SystemSockets.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kViewer = 4000001;  // a uid without a user name
constexpr std::uint8_t T = ipproto::TCP;
constexpr std::uint8_t U = ipproto::UDP;

// "T 192.168.1.2 80 10.0.0.5 50000 103, ...": each socket's protocol, local address and port, peer
// address and port (or "*" for none), inode; then "bound" for a TCP socket that does not listen,
// "root" for one of uid 0.
std::vector<SocketEntry> sockets(const std::string& text) {
  std::vector<SocketEntry> entries;
  std::istringstream list(text);
  for (std::string one; std::getline(list, one, ',');) {
    std::istringstream in(one);
    std::string protocol, local, remote, word;
    SocketEntry socket;
    in >> protocol >> local >> socket.localPort >> remote;
    if (remote == "*") {
      remote = local.find(':') != local.npos ? "::" : "0.0.0.0";
    } else {
      in >> socket.remotePort;
    }
    in >> socket.inode;
    socket.protocol = protocol == "T" ? T : U;
    socket.local = ip(local);
    socket.remote = ip(remote);
    socket.state = socket.protocol == T && socket.remotePort == 0 ? kTcpListenState : 1;
    socket.uid = kViewer;
    while (in >> word) {
      socket.state = word == "bound" ? 7 : socket.state;
      socket.uid = word == "root" ? 0 : socket.uid;
    }
    entries.push_back(socket);
  }
  return entries;
}

// "T 10.0.0.5 50000 192.168.1.2 80": protocol (T, U, or another), source, destination.
ProgramQuery query(const std::string& text) {
  std::istringstream in(text);
  std::string protocol, source, destination;
  std::uint16_t sport = 0, dport = 0;
  in >> protocol >> source >> sport >> destination >> dport;
  const std::uint8_t number = protocol == "T" ? T : protocol == "U" ? U : 1;
  return {number, {ip(source), ip(destination), htons(sport), htons(dport)}};
}

std::string nameOf(const std::optional<LocalProgram>& program) {
  return program ? program->name : "-";
}

// What the fake listing shows, and how often it was asked; outlives the finder that owns the fake.
struct Listing {
  std::vector<SocketEntry> sockets;
  std::map<std::uint8_t, int> dumps;
  std::atomic<std::chrono::milliseconds> slowness{0ms};
  std::counting_semaphore<64> dumping{0};
};

class FakeSockets : public SocketSource {
 public:
  explicit FakeSockets(Listing& listing) : listing_(listing) {}
  std::vector<SocketEntry> sockets(std::uint8_t protocol) override {
    ++listing_.dumps[protocol];
    listing_.dumping.release();
    std::this_thread::sleep_for(listing_.slowness.load());
    std::vector<SocketEntry> sockets = listing_.sockets;
    std::erase_if(sockets, [&](const SocketEntry& socket) { return socket.protocol != protocol; });
    return sockets;
  }
  std::vector<IpAddress> localAddresses() override {
    return {ip("192.168.1.2"), ip("2001:db8::2")};
  }

 private:
  Listing& listing_;
};

struct Rig {
  explicit Rig(std::uint32_t viewer = kViewer)
      : finder(std::make_unique<ProgramFinder>(std::make_unique<FakeSockets>(listing), proc.path,
                                               clock, viewer)) {}
  // "pid comm [fd inode], ...": processes of the /proc tree, each holding a socket or none.
  void processes(const std::string& text, const std::string& exe = "/usr/bin/x") {
    std::istringstream list(text);
    for (std::string one; std::getline(list, one, ',');) {
      std::istringstream in(one);
      std::string pid, comm, fd, inode;
      in >> pid >> comm >> fd >> inode;
      std::filesystem::create_directories(proc.file(pid + "/fd"));
      std::ofstream(proc.file(pid + "/comm")) << comm << '\n';
      std::ofstream(proc.file(pid + "/cgroup")) << "0::/user.slice/s.scope\n";
      link(exe, proc.file(pid + "/exe"));
      if (!fd.empty()) {
        link("socket:[" + inode + "]", proc.file(pid + "/fd/" + fd));
      }
    }
  }
  static void link(const std::string& target, const std::string& path) {
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
  }
  NodePrograms find(const std::string& flow) {
    const ProgramQuery asked = query(flow);
    return finder->find({&asked, 1}).at(0);
  }

  ScratchDirectory proc;
  Listing listing;
  ManualClock clock;
  std::unique_ptr<ProgramFinder> finder;
};

const char* const kProcesses =
    "10 server 3 100, 11 client 4 101, 12 resolver 5 102, 13 worker 6 103, 14 stub 7 104";

TEST(ProgramFinder, MatchesEachEndToItsSocket) {
  struct Row {
    const char* what;
    std::string sockets;
    const char* query;
    const char* programs;  // source's, destination's
  };
  const std::string listener = "T 0.0.0.0 80 * 100";
  const Row rows[] = {
      {"connected", "T 192.168.1.2 40000 10.0.0.5 443 101", "T 192.168.1.2 40000 10.0.0.5 443",
       "client -"},
      {"wildcard listener", listener, "T 10.0.0.5 50000 192.168.1.2 80", "- server"},
      {"remote peer on a local server's port", listener + ", T 192.168.1.2 4001 10.0.0.5 80 101",
       "T 192.168.1.2 4001 10.0.0.5 80", "client -"},
      {"remote peer on a local UDP port", "U 0.0.0.0 53 * 102, U 192.168.1.2 4002 * 101",
       "U 192.168.1.2 4002 10.0.0.5 53", "client -"},
      {"connection before listener", listener + ", T 192.168.1.2 80 10.0.0.5 50000 103",
       "T 10.0.0.5 50000 192.168.1.2 80", "- worker"},
      {"another peer's connection", "T 192.168.1.2 80 10.0.0.6 50000 103",
       "T 10.0.0.5 50000 192.168.1.2 80", "- -"},
      {"bound address before wildcard", "U 0.0.0.0 53 * 102, U 127.0.0.53 53 * 104",
       "U 127.0.0.1 5000 127.0.0.53 53", "- stub"},
      {"both ends on loopback", "U 127.0.0.1 5000 * 101, U 0.0.0.0 53 * 102",
       "U 127.0.0.1 5000 127.0.0.53 53", "client resolver"},
      {"v4-mapped", "T ::ffff:192.168.1.2 8080 ::ffff:10.0.0.5 50000 103",
       "T 10.0.0.5 50000 192.168.1.2 8080", "- worker"},
      {"IPv6 wildcard takes IPv4", "T :: 22 * 100", "T 10.0.0.5 50000 192.168.1.2 22", "- server"},
      {"IPv4 wildcard leaves IPv6", "T 0.0.0.0 22 * 100", "T 2001:db8::9 50000 2001:db8::2 22",
       "- -"},
      {"unheld connection: listener", listener + ", T 172.17.0.1 80 10.0.0.5 50000 0",
       "T 10.0.0.5 50000 172.17.0.1 80", "- server"},
      {"closed connection: its end is here, its process gone", "T 192.168.1.2 80 10.0.0.5 50000 0",
       "T 10.0.0.5 50000 192.168.1.2 80", "- "},
      {"TCP socket not listening", "T 0.0.0.0 80 * 100 bound", "T 10.0.0.5 50000 192.168.1.2 80",
       "- -"},
      {"neither TCP nor UDP", listener, "ICMP 10.0.0.5 0 192.168.1.2 80", "- -"},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.processes(kProcesses);
    rig.listing.sockets = sockets(row.sockets);
    const NodePrograms found = rig.find(row.query);
    EXPECT_EQ(nameOf(found.source) + " " + nameOf(found.destination), row.programs) << row.what;
  }
}

// Each step changes processes and the listing, then looks the same flow up again: the program
// behind its destination as "name/pid/user/unit".
TEST(ProgramFinder, NamesAProgramOnlyWhileItHoldsTheSocket) {
  struct Step {
    std::chrono::milliseconds later;
    const char* processes;
    std::string socket;
    std::string program;
  };
  struct Scenario {
    const char* what;
    std::vector<Step> steps;
    std::uint32_t viewer = kViewer;
  };
  const std::string old = "U 0.0.0.0 5353 * 555";
  const std::string held = "oldprog/100/4000001/s.scope";
  const std::string other = "U 0.0.0.0 5353 * 888";
  const Scenario scenarios[] = {
      {"remembered for two seconds",
       {{0ms, "100 oldprog 3 555", old, held},
        {1999ms, "100 renamed 3 555", old, held},
        {1ms, "", old, "renamed/100/4000001/s.scope"}}},
      {"pid reused, port bound again",
       {{0ms, "100 oldprog 3 555", old, held},
        {0ms, "100 newprog 3 777, 200 third 5 888", other, "third/200/4000001/s.scope"}}},
      {"port bound again, old socket open",
       {{0ms, "100 oldprog 3 555", old, held},
        {0ms, "100 newprog 3 555, 200 third 5 888", other, "third/200/4000001/s.scope"}}},
      {"socket handed over, pid reused",
       {{0ms, "100 oldprog 3 555", old, held},
        {0ms, "100 newprog 3 777, 200 third 5 555", old, "third/200/4000001/s.scope"}}},
      {"another user's, then the port bound again",
       {{0ms, "", old + " root", "/0/root/"},
        {0ms, "100 oldprog 3 888", other, "oldprog/100/4000001/s.scope"}}},
      {"own, in a process only later",
       {{0ms, "", old, "/0/4000001/"}, {0ms, "100 oldprog 3 555", old, held}}},
      {"root's view, in no process", {{0ms, "", old, "/0/4000001/"}}, 0},
  };
  for (const Scenario& scenario : scenarios) {
    Rig rig(scenario.viewer);
    for (const Step& step : scenario.steps) {
      rig.clock.advance(step.later);
      rig.processes(step.processes);
      rig.listing.sockets = sockets(step.socket);
      const auto found = rig.find("U 10.0.0.5 5353 192.168.1.2 5353").destination;
      ASSERT_TRUE(found) << scenario.what;
      EXPECT_EQ(
          found->name + "/" + std::to_string(found->pid) + "/" + found->user + "/" + found->unit,
          step.program)
          << scenario.what;
    }
  }
}

TEST(ProgramFinder, ChecksTheHolderAgainAfterReadingItsName) {
  Rig rig;
  rig.processes("100 oldprog 3 555");
  rig.listing.sockets = sockets("U 0.0.0.0 5353 * 555");
  // The name is read from a pipe, which lets the process change meanwhile: it closes the socket
  // and its pid goes to another program.
  const std::string comm = rig.proc.file("100/comm");
  std::filesystem::remove(comm);
  ASSERT_EQ(mkfifo(comm.c_str(), 0600), 0);
  std::thread exec([&] {
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 5000; ++tries, std::this_thread::sleep_for(1ms)) {
      fd = ::open(comm.c_str(), O_WRONLY | O_NONBLOCK);  // succeeds once the finder reads
    }
    Rig::link("socket:[777]", rig.proc.file("100/fd/3"));
    EXPECT_EQ(write(fd, "newprog\n", 8), 8);
    close(fd);
  });
  const NodePrograms found = rig.find("U 10.0.0.5 5353 192.168.1.2 5353");
  exec.join();
  ASSERT_TRUE(found.destination);
  EXPECT_EQ(found.destination->name + "/" + std::to_string(found.destination->pid), "/0");
}

TEST(ProgramFinder, NamesFromCommExecutableAndCgroup) {
  const std::pair<std::string, std::string> names[] = {
      {"psql /usr/bin/psql", "psql"},
      {"chromium-browse /usr/lib/chromium/chromium-browser (deleted)", "chromium-browser"},
      {"chromium-browse /usr/bin/python3", "chromium-browse"},  // renamed itself
      {"fourteen-chars /usr/bin/fourteen-chars-long", "fourteen-chars"},
  };
  for (const auto& [process, expected] : names) {
    Rig rig;
    const std::size_t space = process.find(' ');
    rig.processes("7 " + process.substr(0, space), process.substr(space + 1));
    EXPECT_EQ(ProcessTable(rig.proc.path).describe(7).name, expected) << process;
  }
  const std::string id(64, 'a');
  const std::pair<std::string, CgroupPlace> places[] = {
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/vte-spawn-1.scope\n",
       {"user@1000.service", ""}},
      {"0::/user.slice/user-1000.slice/session-2.scope\n", {"session-2.scope", ""}},
      {"0::/system.slice/docker-" + id + ".scope\n", {"", "aaaaaaaaaaaa"}},
      {"0::/machine.slice/libpod-" + id + ".scope/container\n", {"", "aaaaaaaaaaaa"}},
      {"0::/machine.slice/libpod-conmon-" + id + ".scope\n",
       {"libpod-conmon-" + id + ".scope", ""}},
      {"12:pids:/docker/" + id + "\n1:name=systemd:/docker/" + id + "\n", {"", "aaaaaaaaaaaa"}},
      {"3:cpu:/user.slice/x.service\n1:name=systemd:/user.slice/session-3.scope\n0::/init.scope\n",
       {"init.scope", ""}},
      {"3:cpu:/user.slice/x.service\n1:name=systemd:/user.slice/session-3.scope\n",
       {"session-3.scope", ""}},
      {"12:pids:/docker/abc123\n", {"", ""}},
      {"0::/\n", {"", ""}},
  };
  for (const auto& [file, expected] : places) {
    EXPECT_EQ(cgroupPlace(file), expected) << file;
  }
}

TEST(ProgramFinder, ListsEachProtocolOncePerBatch) {
  Rig rig;
  rig.processes(kProcesses);
  rig.listing.sockets = sockets("T 0.0.0.0 80 * 100, U 0.0.0.0 53 * 102");
  const ProgramQuery batch[] = {
      query("T 10.0.0.5 50000 192.168.1.2 80"), query("ICMP 10.0.0.5 0 192.168.1.2 80"),
      query("U 10.0.0.5 50000 192.168.1.2 53"), query("T 10.0.0.6 50000 192.168.1.2 80")};
  std::string names;
  for (const NodePrograms& found : rig.finder->find(batch)) {
    names += nameOf(found.destination) + " ";
  }
  EXPECT_EQ(names, "server - resolver server ");
  using Dumps = std::map<std::uint8_t, int>;
  EXPECT_EQ(rig.listing.dumps, (Dumps{{T, 1}, {U, 1}}));
  rig.finder->find(std::span(batch).subspan(1, 2));
  EXPECT_EQ(rig.listing.dumps, (Dumps{{T, 1}, {U, 2}}));
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(rig.finder->find(batch, stopped.get_token()).size(), 4u);
  EXPECT_EQ(rig.listing.dumps, (Dumps{{T, 1}, {U, 2}}));
}

using Bytes = std::vector<std::uint8_t>;

// A netlink message of `type`, its length said by `length` when not 0.
template <typename Body>
Bytes message(std::uint16_t type, const Body& body, std::uint32_t sequence = 1,
              std::uint32_t length = 0) {
  const auto said = static_cast<std::uint32_t>(length ? length : NLMSG_LENGTH(sizeof body));
  const nlmsghdr header{said, type, 0, sequence, 0};
  Bytes bytes(NLMSG_SPACE(sizeof body));
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &body, sizeof body);
  return bytes;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ProgramFinder, ReadsTheKernelsListingDefensively) {
  inet_diag_msg v4{}, v6{}, local{};
  v4.idiag_family = AF_INET;
  v6.idiag_family = AF_INET6;
  local.idiag_family = AF_UNIX;
  inet_pton(AF_INET6, "2001:db8::2", v6.id.idiag_src);
  v6.id.idiag_sport = htons(22);
  v6.idiag_inode = 101;
  v6.idiag_state = kTcpListenState;
  const auto diag = [](const inet_diag_msg& body, std::uint32_t sequence = 1) {
    return message(SOCK_DIAG_BY_FAMILY, body, sequence);
  };
  const Bytes done = message(NLMSG_DONE, 0);
  const auto cutShort = [](Bytes bytes) {
    bytes.erase(bytes.end() - 8, bytes.end());
    return bytes;
  };
  const char shortBody[20] = {};
  struct Row {
    const char* what;
    Bytes datagram;
    DumpProgress progress;
    std::size_t sockets;
  };
  const Row rows[] = {
      {"two, then done", diag(v4) + diag(v6) + done, DumpProgress::kDone, 2},
      {"more to come", diag(v4), DumpProgress::kMore, 1},
      {"error", diag(v4) + message(NLMSG_ERROR, nlmsgerr{-EPERM, {}}), DumpProgress::kFailed, 1},
      {"message cut short", cutShort(diag(v4)), DumpProgress::kFailed, 0},
      {"length below a header", message(NLMSG_DONE, 0, 1, 8), DumpProgress::kFailed, 0},
      {"stray bytes", diag(v4) + Bytes(4), DumpProgress::kFailed, 1},
      {"socket message too short", message(SOCK_DIAG_BY_FAMILY, shortBody), DumpProgress::kMore, 0},
      {"another request's", diag(v4, 2), DumpProgress::kMore, 0},
      {"another family", diag(local), DumpProgress::kMore, 0},
  };
  for (const Row& row : rows) {
    std::vector<SocketEntry> sockets;
    EXPECT_EQ(readDumpDatagram(row.datagram, 1, T, sockets), row.progress) << row.what;
    EXPECT_EQ(sockets.size(), row.sockets) << row.what;
  }
  std::vector<SocketEntry> sockets;
  readDumpDatagram(diag(v6), 1, T, sockets);
  EXPECT_EQ(sockets.at(0).local, ip("2001:db8::2"));
  EXPECT_EQ(sockets[0].localPort, 22);
  EXPECT_EQ(sockets[0].inode, 101u);
  EXPECT_EQ(sockets[0].state, kTcpListenState);
}

bool readable(int fd) {
  pollfd watch{fd, POLLIN, 0};
  return poll(&watch, 1, 0) == 1;
}

TEST(ProgramLookup, AnswersThroughItsDescriptor) {
  Rig rig;
  rig.processes(kProcesses);
  rig.listing.sockets = sockets("T 0.0.0.0 80 * 100, U 0.0.0.0 53 * 102");
  rig.listing.slowness = 50ms;  // so that settling waits
  ProgramLookup lookup(std::move(rig.finder));
  for (const char* flow : {"T 10.0.0.5 5000 192.168.1.2 80", "U 10.0.0.5 5000 192.168.1.2 53",
                           "T 10.0.0.5 5000 192.168.1.2 80"}) {
    lookup.ask(query(flow));
  }
  ASSERT_TRUE(lookup.settle(10s));
  EXPECT_TRUE(readable(lookup.answersDescriptor()));
  std::set<std::string> answers;  // the same query twice when asked after a lookup began
  for (const ProgramAnswer& answer : lookup.takeAnswers()) {
    answers.insert(std::to_string(answer.query.protocol) + nameOf(answer.programs.destination));
  }
  EXPECT_EQ(answers, (std::set<std::string>{"6server", "17resolver"}));
  EXPECT_FALSE(readable(lookup.answersDescriptor()));
}

TEST(ProgramLookup, StopsWithoutFinishingItsWork) {
  Rig rig;
  rig.listing.slowness = 150ms;
  auto lookup = std::make_unique<ProgramLookup>(std::move(rig.finder));
  lookup->ask(query("T 10.0.0.5 50000 192.168.1.2 80"));
  rig.listing.dumping.acquire();  // the first lookup is under way: these two make the next
  lookup->ask(query("T 10.0.0.6 50000 192.168.1.2 80"));
  lookup->ask(query("U 10.0.0.5 50000 192.168.1.2 53"));
  EXPECT_FALSE(lookup->settle(0ms));
  rig.listing.dumping.acquire();  // the next one lists TCP
  lookup.reset();
  EXPECT_EQ(rig.listing.dumps, (std::map<std::uint8_t, int>{{T, 2}}));
}

}  // namespace
}  // namespace wq::testing

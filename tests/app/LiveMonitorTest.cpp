// wirequill monitoring live and headless inside a network namespace, through the capture helper,
// while the test sends UDP datagrams across a veth pair. Traffic goes only between the
// two namespaces' own addresses, and the run lasts a few seconds. Needs root; skipped otherwise.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>

#include "tests/app/AppTestSupport.h"
#include "tests/support/NetworkNamespaces.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;

constexpr milliseconds kPatience(10'000);
constexpr int kDurationSeconds = 5;

TEST(LiveMonitor, ReportListsTheNodesWithTheirPayload) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  const VethPair pair;
  ASSERT_TRUE(pair.ready()) << pair.failure();
  ScratchDirectory scratch;
  isolateEnvironment(scratch);
  const std::string& a = pair.addressA;
  const std::string reportPath = scratch.file("live.report");
  const Descriptor receiver = socketIn(pair.namespaceA, SOCK_DGRAM);
  const sockaddr_in to = socketAddress(a, 9999);
  ASSERT_EQ(bind(receiver.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);

  QProcess program;
  program.start(
      "ip", {"netns", "exec", QString::fromStdString(pair.namespaceA), WIREQUILL_PROGRAM,
             "--no-window", "-i", QString::fromStdString(pair.interfaceA), "--duration",
             QString::number(kDurationSeconds), "--report", QString::fromStdString(reportPath)});
  const auto started = std::chrono::steady_clock::now();
  const pid_t helper = waitForChild(program.processId(), "netsiphon", kPatience);
  ASSERT_GT(helper, 0) << program.readAllStandardError().toStdString();
  ASSERT_TRUE(waitUntilUnprivileged(helper, kPatience));

  // From b to a: the same datagram twice.
  const Descriptor sender = socketIn(pair.namespaceB, SOCK_DGRAM);
  const std::string text = "wirequill live datagram";
  for (int sent = 0; sent < 2; ++sent) {
    ASSERT_EQ(sendto(sender.get(), text.data(), text.size(), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(text.size()));
  }
  ASSERT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(kDurationSeconds - 2))
      << "the traffic took too long to finish well inside the run";

  ASSERT_TRUE(program.waitForFinished(kDurationSeconds * 1000 + kPatience.count()));
  ASSERT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
  const QString report = QString::fromStdString(readFile(reportPath));
  // Each datagram is a node of its own.
  EXPECT_EQ(report.count(QString::fromStdString("Destination IP: " + a +
                                                "\nDestination Port: 9999\n\nByte count: 23\n\n" +
                                                "Raw Data:\n\n" + text)),
            2);
  EXPECT_EQ(report.count(QString(71, '-')), 2) << report.toStdString();
}

}  // namespace
}  // namespace wq::apptest

// The node texts: payload text, detail pane, panel fields and table rows, byte for byte (TZ=UTC).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/NodeText.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

std::string payloadText(std::string_view bytes) {
  std::string text;
  appendPayloadText(text,
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  return text;
}

TEST(PayloadText, PrintableBytesLineBreaksAndWrapping) {
  EXPECT_EQ(payloadText("GET / HTTP/1.0\r\n\r\n"), "GET / HTTP/1.0\n\n");
  const std::string line76(76, 'a');
  EXPECT_EQ(payloadText(line76), line76 + "\n");
  EXPECT_EQ(payloadText(line76 + "b"), line76 + "\nb");
  EXPECT_EQ(payloadText(line76 + "\r"), line76 + "\n\n");
  EXPECT_EQ(payloadText("\x80\xff\t\n\x01\x7f"), "");
  EXPECT_EQ(payloadText(" ~"), " ~");
  // Bytes left out do not move the column.
  EXPECT_EQ(payloadText(std::string(40, 'a') + "\n\t\xff" + std::string(40, 'b')),
            std::string(40, 'a') + std::string(36, 'b') + "\n" + std::string(4, 'b'));
}

// The rule as plainly as it can be said, one byte at a time.
std::string referencePayloadText(const Bytes& bytes) {
  std::string text;
  int column = 0;
  for (const std::uint8_t byte : bytes) {
    if (byte == '\r') {
      text += '\n';
      column = 0;
    } else if (byte >= 0x20 && byte <= 0x7E) {
      text += static_cast<char>(byte);
      if (++column == 76) {
        text += '\n';
        column = 0;
      }
    }
  }
  return text;
}

TEST(PayloadText, AgreesWithTheRuleForMixedPayloadsOfEveryLength) {
  // Runs of text, binary and carriage returns, so that words of every kind meet line ends at
  // every column; lengths cover every remainder of eight.
  std::mt19937 random(3);
  for (int round = 0; round < 3000; ++round) {
    Bytes payload(random() % 400);
    const int textPercent = static_cast<int>(random() % 101);
    for (std::uint8_t& byte : payload) {
      const int draw = static_cast<int>(random() % 100);
      byte = draw < textPercent ? static_cast<std::uint8_t>(0x20 + random() % 95)
             : draw % 17 == 0   ? '\r'
                                : static_cast<std::uint8_t>(random());
    }
    ASSERT_EQ(payloadText(
                  std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size())),
              referencePayloadText(payload))
        << "round " << round;
  }
}

TEST(NodeText, DetailWithoutAProtocolLine) {
  // A protocol without a name has no protocol line.
  WQMConnection odd(kStartTime, 10);
  odd.setProtocol(47);
  MemoryLog log;
  EXPECT_EQ(detailText(odd.facts(), log),
            "Start Time: 14:03:20\nLast Hit: 14:03:20\n\n"
            "Source IP: 0.0.0.0\nSource Port: 0\nDestination IP: 0.0.0.0\nDestination Port: 0\n\n"
            "Byte count: 0\n\n");
}

TEST(NodeText, PanelFieldsAndTableRow) {
  MemoryLog log;
  WQMNodeBox box(log);
  EXPECT_EQ(box.sourceIPField(), "");  // as the layout leaves it until a node is shown

  WQMConnection node(kStartTime - 5h + 1min + 43s, 24000);  // 09:05:03
  node.setProtocol(6);
  const std::uint8_t source[] = {192, 168, 0, 1};
  const std::uint8_t destination[] = {255, 255, 255, 255};
  node.setsaddr(source);
  node.setdaddr(destination);
  node.setsport(0x5000);  // the bytes 00 50 in network order
  node.setdport(0xFFFF);
  box.showNode(node);
  EXPECT_EQ(panelText(box), "TCP Packet|192.168.0.1|255.255.255.255|80|65535|09:05:03|");
  EXPECT_EQ(node.description(log),
            "Time: 09:05:03 Hosts: 192.168.0.1, Port: 80->255.255.255.255, Port: 65535\n");

  node.setProtocol(47);  // no label: the protocol field keeps its text, the rest change
  node.setLastHit(kStartTime + 7h + 1min + 43s);
  node.setsport(htons(40000));
  box.showNode(node);
  EXPECT_EQ(panelText(box), "TCP Packet|192.168.0.1|255.255.255.255|40000|65535|21:05:03|");
  EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace wq::testing

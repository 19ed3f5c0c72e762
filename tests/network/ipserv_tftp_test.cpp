// kvipserv's firmware upload, block by block over a scripted socket: silence costs no time
// there. The upload over real sockets is in the namespace suite.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <fstream>

#include "fake_link.h"
#include "module_fixture.h"
#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"
#include "temp_dir.h"

namespace nettest {
namespace {

namespace ip = qdnet::ipserv;
namespace tftp = qdnet::ipserv::tftp;

constexpr const char* kAwaiting = "Awaiting a TFTP request...\n";
constexpr const char* kQuiet = "The module has been quiescent for 5 seconds.\n"
                               "Assuming something is wrong...\n";
constexpr const char* kStarting = "Starting to upload the firmware...\n";
constexpr const char* kDone = "Firmware successfully uploaded.\n";

Bytes packet(unsigned op, unsigned block) {
  return {static_cast<std::uint8_t>(op >> 8), static_cast<std::uint8_t>(op),
          static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)};
}

Bytes read_request(const std::string& name) {
  Bytes b{0, tftp::kRead};
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(0);
  const std::string mode = "octet";
  b.insert(b.end(), mode.begin(), mode.end());
  b.push_back(0);
  return b;
}

unsigned block_of(const Bytes& p) {
  return static_cast<unsigned>(p[2] << 8 | p[3]);
}

class TftpUpload : public ::testing::Test {
protected:
  // A firmware file of n bytes, each byte its offset's low byte plus one.
  void make_file(std::size_t n) {
    content_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      content_[i] = static_cast<std::uint8_t>(i + 1);
    }
    std::ofstream(file_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(content_.data()), static_cast<std::streamsize>(n));
  }
  int run() { return ip::tftp_upload(link_, file_, out_.file()); }
  // Acknowledges each DATA block as it comes.
  void acknowledge_all() {
    link_.respond = [](const FakeLink& l) {
      return l.sent.empty() ? silence() : datagram(packet(tftp::kAck, block_of(l.sent.back())));
    };
  }

  TempDir dir_;
  std::string file_ = dir_ / "LANV60.prm";
  Bytes content_;
  FakeLink link_;
  MemStream out_;
};

TEST_F(TftpUpload, SendsTheFileInBlocksAndEndsOnTheSecondEmptyRead) {
  for (const std::size_t size : {0u, 100u, 512u, 700u, 1024u, 1539u}) {
    SCOPED_TRACE(size);
    link_ = FakeLink{};
    make_file(size);
    link_.turns.push_back(datagram(read_request(file_)));
    acknowledge_all();
    MemStream out;
    EXPECT_EQ(ip::tftp_upload(link_, file_, out.file()), 0);
    EXPECT_EQ(out.text(), std::string(kAwaiting) + kStarting + kDone);
    EXPECT_TRUE(link_.closed);
    EXPECT_EQ(link_.connects.size(), 1u);

    // Blocks 1..k, k the first block from 2 on that holds nothing.
    const std::size_t k = std::max<std::size_t>(2, (size + 511) / 512 + 1);
    ASSERT_EQ(link_.sent.size(), k);
    Bytes got;
    for (std::size_t i = 0; i < k; ++i) {
      const Bytes& p = link_.sent[i];
      ASSERT_GE(p.size(), 4u);
      EXPECT_EQ(p[1], tftp::kData);
      EXPECT_EQ(block_of(p), i + 1);
      const std::size_t want = std::min<std::size_t>(512, size - std::min(size, i * 512));
      EXPECT_EQ(p.size(), 4 + want) << "block " << i + 1;
      got.insert(got.end(), p.begin() + 4, p.end());
    }
    EXPECT_EQ(got, content_);
    EXPECT_TRUE(std::all_of(link_.waits.begin(), link_.waits.end(), [](int s) { return s == 5; }));
  }
}

TEST_F(TftpUpload, ARepeatedAckSendsTheSameBlockAgain) {
  make_file(1200);
  link_.turns = {datagram(read_request(file_)), datagram(packet(tftp::kAck, 1)),
                 datagram(packet(tftp::kAck, 1)), silence()};
  EXPECT_EQ(run(), 0);
  ASSERT_EQ(link_.sent.size(), 3u);
  EXPECT_EQ(block_of(link_.sent[1]), 2u);
  EXPECT_EQ(link_.sent[2], link_.sent[1]);
  EXPECT_EQ(out_.text(), std::string(kAwaiting) + kStarting + kQuiet);
}

TEST_F(TftpUpload, AnUnacknowledgedEmptyBlockEndsInSilence) {
  make_file(700);
  link_.turns = {datagram(read_request(file_)), datagram(packet(tftp::kAck, 1)),
                 datagram(packet(tftp::kAck, 2)), silence()};
  EXPECT_EQ(run(), 0);
  ASSERT_EQ(link_.sent.size(), 3u);
  EXPECT_EQ(link_.sent[2], packet(tftp::kData, 3));
  EXPECT_EQ(out_.text(), std::string(kAwaiting) + kStarting + kQuiet);
  EXPECT_TRUE(link_.closed);
}

TEST_F(TftpUpload, EndsWithoutSendingOnOtherRequests) {
  make_file(10);
  struct Case {
    std::vector<Turn> turns;
    std::string said;
  } const cases[] = {
      {{silence()}, kQuiet},
      {{datagram(packet(tftp::kWrite, 0))}, "Received an unexpected TFTP request (2).\n"},
      {{datagram(packet(tftp::kData, 1))}, "Received an unexpected TFTP request (3).\n"},
      {{datagram(packet(0, 0))}, "Received an unexpected TFTP request (0).\n"},
      {{datagram(packet(6, 0))}, "Received an unexpected TFTP request (6).\n"},
      {{datagram({0})}, "Received an unexpected TFTP request (0).\n"},
      {{datagram(packet(tftp::kError, 0))}, "The module reported a TFTP error.\n"},
      {{datagram(packet(tftp::kAck, 1))}, ""}, // nothing open yet: ends quietly
      {{datagram(read_request("/etc/passwd")), silence()},
       "(Refusing a TFTP request for \"/etc/passwd\".)\n" + std::string(kQuiet)},
      {{Turn{1, {}, ECONNREFUSED, {}}, silence()},
       "recvfrom: Connection refused\n" + std::string(kQuiet)},
  };
  for (const Case& c : cases) {
    FakeLink link;
    link.turns.assign(c.turns.begin(), c.turns.end());
    MemStream out;
    EXPECT_EQ(ip::tftp_upload(link, file_, out.file()), 0);
    EXPECT_EQ(out.text(), kAwaiting + c.said);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(link.connects.empty());
    EXPECT_TRUE(link.closed);
    EXPECT_TRUE(link.turns.empty());
  }
}

// A request for another name gets an ERROR packet, and neither it nor what its sender
// sends next (tftp-hpa acknowledges the ERROR) puts off the end of the wait.
TEST_F(TftpUpload, RequestsForOtherFilesAreRefusedAndDoNotPutOffTheEnd) {
  make_file(10);
  const sockaddr_in stranger = qdnet::ipv4_address(htonl(0x7f000009), htons(4321));
  Turn probe = datagram(read_request("../x\"\\\x01\xff"), stranger);
  probe.at = link_.clock + 3;
  link_.turns = {probe, datagram(packet(tftp::kAck, 1), stranger), silence()};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(out_.text(), std::string(kAwaiting) +
                             "(Refusing a TFTP request for \"../x\\\"\\\\\\001\\377\".)\n" +
                             kQuiet);
  EXPECT_EQ(link_.waits, (std::vector<int>{5, 2, 2}));
  ASSERT_EQ(link_.sent_to.size(), 1u);
  const std::string violation = "Access violation";
  Bytes error = {0, tftp::kError, 0, 2};
  error.insert(error.end(), violation.begin(), violation.end());
  error.push_back(0);
  EXPECT_EQ(link_.sent_to[0].datagram, error);
  EXPECT_EQ(link_.sent_to[0].to.sin_addr.s_addr, stranger.sin_addr.s_addr);
  EXPECT_EQ(link_.sent_to[0].to.sin_port, stranger.sin_port);
  EXPECT_TRUE(link_.sent.empty());
  EXPECT_TRUE(link_.connects.empty());
}

TEST_F(TftpUpload, FailuresOfTheFileAndTheSocket) {
  make_file(10);
  link_.turns = {datagram(read_request(file_))};
  link_.connect_err = ECONNREFUSED;
  EXPECT_EQ(run(), 1) << "a socket that cannot be connected ends with 1";
  EXPECT_EQ(out_.text(), std::string(kAwaiting) + "connect: Connection refused\n");
  EXPECT_TRUE(link_.sent.empty());

  FakeLink short_send;
  short_send.turns = {datagram(read_request(file_))};
  short_send.send_short = 3;
  MemStream out2;
  EXPECT_EQ(ip::tftp_upload(short_send, file_, out2.file()), 0);
  EXPECT_EQ(out2.text().rfind(std::string(kAwaiting) + kStarting + "send: ", 0), 0u);
  EXPECT_TRUE(short_send.closed);

  ::unlink(file_.c_str());
  FakeLink gone;
  gone.turns = {datagram(read_request(file_))};
  MemStream out3;
  EXPECT_EQ(ip::tftp_upload(gone, file_, out3.file()), 0);
  EXPECT_EQ(out3.text(), std::string(kAwaiting) + "open: No such file or directory\n");
}

} // namespace
} // namespace nettest

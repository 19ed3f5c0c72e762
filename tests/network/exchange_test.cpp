// The module exchange shared by the network programs: the unlock answer, the exact-length
// reader, and the exchange against the emulated module with its faults, as each reset tool
// reports them.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "fas.h"
#include "module_fixture.h"
#include "qdnet/socket_util.h"
#include "qdnet/vrn_exchange.h"
#include "qdnet/vrn_messages.h"

namespace nettest {
namespace {

using qdemu::AnswerFault;
using qdnet::VrnEvent;
using Bytes = std::vector<std::uint8_t>;

TEST(Bitmash, KnownChallenges) {
  // Worked out by hand from the published steps, apart from either implementation.
  struct {
    std::array<unsigned char, 6> challenge;
    std::array<unsigned char, 3> answer;
  } const cases[] = {
      {{0, 0, 0, 0, 0, 0}, {0, 0, 0}},
      {{1, 2, 3, 4, 5, 6}, {0x08, 0x9c, 0xa6}},
      {{0xde, 0xad, 0xbe, 0xef, 0x01, 0x80}, {0xb1, 0x96, 0xe0}},
      {{0x80, 0, 0, 0, 0, 0}, {0x40, 0x00, 0x40}},
  };
  for (const auto& c : cases) {
    auto p = c.challenge;
    std::array<unsigned char, 3> answer{};
    qdnet::bitmash(p.data(), answer.data());
    EXPECT_EQ(answer, c.answer);
    if (c.challenge != std::array<unsigned char, 6>{}) {
      EXPECT_NE(p, c.challenge) << "the challenge is worked on in place";
    }
  }
}

// A reader that hands out scripted results: a count of bytes (taken from a running
// pattern), 0 for end of stream, or -errno.
struct ScriptedReader {
  std::deque<int> script;
  std::vector<std::size_t> asked;
  unsigned char next = 1;
  ssize_t operator()(int, void* buf, std::size_t n) {
    asked.push_back(n);
    const int r = script.front();
    script.pop_front();
    if (r < 0) {
      errno = -r;
      return -1;
    }
    auto* b = static_cast<unsigned char*>(buf);
    for (int i = 0; i < r; ++i) {
      b[i] = next++;
    }
    return r;
  }
};

TEST(SockRead, CollectsShortReadsAndStopsAtTheEnd) {
  struct Case {
    const char* what;
    int n;
    std::deque<int> script;
    int result;
    std::vector<std::size_t> asked;
    int kept; // bytes in the buffer afterwards
    int err;
  } const cases[] = {
      {"whole", 8, {8}, 0, {8}, 8, 0},
      {"split", 8, {3, 5}, 0, {8, 5}, 8, 0},
      {"byte by byte", 4, {1, 1, 1, 1}, 0, {4, 3, 2, 1}, 4, 0},
      {"end of stream midway", 8, {3, 0}, -1, {8, 5}, 3, 0},
      {"error midway", 8, {2, -ECONNRESET}, -1, {8, 6}, 2, ECONNRESET},
      {"nothing wanted", 0, {}, 0, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedReader r;
    r.script = c.script;
    std::array<unsigned char, 16> buf{};
    errno = 0;
    const int result = qdnet::sock_read_with(std::ref(r), 5, buf.data(), c.n);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(r.asked, c.asked);
    if (c.err != 0) {
      EXPECT_EQ(errno, c.err);
    }
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(buf[i], i < c.kept ? i + 1 : 0) << "byte " << i;
    }
  }
}

TEST(SockRead, EndOfStreamOnASocketKeepsWhatCame) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const unsigned char part[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(::write(sv[1], part, 5), 5);
  ::shutdown(sv[1], SHUT_WR);
  unsigned char buf[8] = {};
  EXPECT_EQ(qdnet::sock_read(sv[0], buf, 8), -1);
  EXPECT_EQ(0, std::memcmp(buf, part, 5));
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(InquiryData, StringsEndAtTheirNulOrTheData) {
  auto data = [](std::string_view strings) {
    Bytes d(16, 0x41);
    d.insert(d.end(), strings.begin(), strings.end());
    return d;
  };
  struct Case {
    std::string strings;
    std::size_t kept;
    const char *vendor, *model, *firmware;
  } const cases[] = {
      {std::string("Orvane\0Lanvara2S-230A\0V6.0\0", 27), 43, "Orvane", "Lanvara2S-230A", "V6.0"},
      {std::string("Orvane\0Lan\0V6", 13), 29, "Orvane", "Lan", "V6"},
      {std::string("Orvane\0Lanvara2S-230A\0V6.0\0", 27), 20, "Orva", "", ""},
      {"", 10, "", "", ""},
  };
  for (const Case& c : cases) {
    const Bytes d = data(c.strings);
    const qdnet::VrnInquiry inq = qdnet::parse_inquiry(d.data(), std::min(c.kept, d.size()), 99);
    EXPECT_EQ(inq.vendor, c.vendor);
    EXPECT_EQ(inq.model, c.model);
    EXPECT_EQ(inq.firmware, c.firmware);
    EXPECT_TRUE(inq.shortened);
  }
}

// An answer header with the given leading bytes.
Bytes header(std::initializer_list<std::uint8_t> head) {
  Bytes b(head);
  b.resize(8, 0);
  return b;
}

// An inquiry answer announcing `length` bytes, with `present` of them (strings first).
Bytes inquiry_answer(std::size_t length, std::size_t present, std::uint8_t fill = 0) {
  Bytes b = header({FAS_UNIT_INQUIRY, 0x11, 0x22, 0x33, 0x44, 0x55});
  fas_put16(&b[6], static_cast<unsigned>(length));
  Bytes data(16, fill);
  const std::string s("Orvane\0Lanvara8S-115A\0V6.0\0", 27);
  data.insert(data.end(), s.begin(), s.end());
  data.resize(present, 'x');
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

class Exchange : public ModuleTest {
protected:
  // Runs the exchange on the module, bounded so that a broken module fails the test.
  int exchange(bool reset, qdnet::VrnInquiry* inq = nullptr, qdnet::VrnReporter report = nullptr) {
    qdnet::VrnExchangeOptions o;
    o.address = module_addr();
    o.port = module_->port();
    o.reset = reset;
    o.timeout_ms = static_cast<int>(kLimit.count());
    events_.clear();
    return qdnet::vrn_tcp_exchange(
        o,
        [&](VrnEvent e, const qdnet::VrnEventInfo& info) {
          events_.push_back(e);
          if (report) {
            report(e, info);
          }
        },
        inq);
  }
  std::vector<VrnEvent> events_;
};

TEST_F(Exchange, ResetsTheModule) {
  start_module();
  qdnet::VrnInquiry inq;
  EXPECT_EQ(exchange(true, &inq), 0);
  EXPECT_EQ(events_,
            (std::vector<VrnEvent>{VrnEvent::connected, VrnEvent::unlock_ok, VrnEvent::inquiry_ok,
                                   VrnEvent::data_ok, VrnEvent::reset_ok}));
  EXPECT_EQ(inq.vendor, "Orvane");
  EXPECT_EQ(inq.model, "Lanvara8S-115A");
  EXPECT_EQ(inq.firmware, "V6.0");
  EXPECT_FALSE(inq.shortened);
  await([](const auto& s) { return s.resets == 1 && !s.connected; }, "reset and closed");
}

TEST_F(Exchange, KeepsTheConnectionForTheFasStream) {
  start_module();
  const int fd = exchange(false);
  ASSERT_GE(fd, 0);
  const Bytes poll = header({FAS_UNIT_POLL});
  ASSERT_EQ(::write(fd, poll.data(), poll.size()), 8);
  unsigned char answer[8];
  ASSERT_EQ(qdnet::sock_read(fd, answer, 8), 0);
  EXPECT_EQ(answer[0], FAS_UNIT_POLL);
  EXPECT_EQ(answer[2], FAS_ST_OK);
  ::close(fd);
  EXPECT_EQ(module_->stats().resets, 0u);
}

TEST_F(Exchange, AnswersInSmallSegmentsAreCollected) {
  start_module();
  module_->set_split(3);
  qdnet::VrnInquiry inq;
  EXPECT_EQ(exchange(true, &inq), 0);
  EXPECT_EQ(inq.model, "Lanvara8S-115A");
  // unlock 8, inquiry 8 + 43, reset 8 bytes, three at a time
  await([](const auto& s) { return s.resets == 1 && s.bytes_out == 8 + 51 + 8; }, "all sent");
  EXPECT_EQ(module_->stats().writes, 3u + 17u + 3u);
}

TEST_F(Exchange, AWrongAnswerClosesTheConnection) {
  start_module();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in to = qdnet::ipv4_address(module_addr(), htons(module_->port()));
  ASSERT_EQ(qdnet::connect_with_timeout(fd, to, static_cast<int>(kLimit.count())), 0);
  ASSERT_EQ(qdnet::set_io_timeout(fd, static_cast<int>(kLimit.count())), 0);
  unsigned char req[8] = {FAS_UNIT_UNLOCK};
  ASSERT_EQ(::write(fd, req, 8), 8);
  unsigned char ans[8];
  ASSERT_EQ(qdnet::sock_read(fd, ans, 8), 0);
  unsigned char inquiry[8] = {FAS_UNIT_INQUIRY};
  qdnet::bitmash(&ans[2], &inquiry[2]);
  inquiry[3] ^= 0x01;
  ASSERT_EQ(::write(fd, inquiry, 8), 8);
  EXPECT_EQ(::read(fd, ans, 8), 0) << "closed without an answer";
  ::close(fd);
  await([](const auto& s) { return s.unlock_failures == 1 && s.closed_by_module == 1; },
        "closed for the failed unlock");
}

// Each failing step, and what each reset tool says about it.
TEST_F(Exchange, FailuresAsEachToolReportsThem) {
  struct Case {
    const char* what;
    std::uint8_t opcode;
    AnswerFault fault;
    Bytes bytes;
    VrnEvent event;
    const char* reset_tool; // its line starts so (perror-style lines end with errno's text)
    const char* ipserv;
  } const cases[] = {
      {"unlock opcode", FAS_UNIT_UNLOCK, AnswerFault::replace, header({9}),
       VrnEvent::unlock_bad_opcode,
       "unlock response code error: ", "Bad unlock response received from Lanvara module.\n"},
      {"unlock cut off",
       FAS_UNIT_UNLOCK,
       AnswerFault::drop_connection,
       {FAS_UNIT_UNLOCK, 0},
       VrnEvent::unlock_read_failed,
       "sock_read on VRN failed: ",
       "read: "},
      {"inquiry opcode", FAS_UNIT_INQUIRY, AnswerFault::replace, header({0x30}),
       VrnEvent::inquiry_bad_opcode, "inquiry response code error. op=30\n",
       "Bad inquiry response received from Lanvara module.\n"},
      {"inquiry cut off",
       FAS_UNIT_INQUIRY,
       AnswerFault::drop_connection,
       {},
       VrnEvent::inquiry_read_failed,
       "sock_read VRN inquiry failed: ",
       "read: "},
      {"inquiry data cut short", FAS_UNIT_INQUIRY, AnswerFault::drop_connection,
       inquiry_answer(40, 10), VrnEvent::data_read_failed, "sock_read: ", "read: "},
      {"reset refused", FAS_UNIT_RESET, AnswerFault::replace, header({9, 0, 7}),
       VrnEvent::reset_bad_opcode, "reset response code error. op=9,stat=0x7\n",
       "Bad reset response received from Lanvara module.\n"
       "You will need to upgrade the firmware in the module to version 6.0\n"
       "or later before you can reset it remotely.\n"},
      {"reset cut off",
       FAS_UNIT_RESET,
       AnswerFault::drop_connection,
       {},
       VrnEvent::reset_read_failed,
       "sock_read VRN reset failed: ",
       "read: "},
  };
  start_module();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool ipserv : {false, true}) {
      module_->clear_faults();
      module_->on_answer(c.opcode, c.fault, c.bytes);
      MemStream out;
      const qdnet::VrnReporter report =
          ipserv ? qdnet::ipserv_reporter(out.file()) : qdnet::reset_tool_reporter(out.file());
      EXPECT_EQ(exchange(true, nullptr, report), -1);
      ASSERT_FALSE(events_.empty());
      EXPECT_EQ(events_.back(), c.event);
      const std::string want = ipserv ? c.ipserv : c.reset_tool;
      const std::string said = out.text();
      EXPECT_EQ(said.substr(0, want.size()), want);
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'),
                std::count(want.begin(), want.end(), '\n') + (want.back() == '\n' ? 0 : 1));
    }
  }
}

TEST_F(Exchange, UnexaminedHeaderBytesAndAnEmptyInquiryAreServed) {
  start_module();
  // Bytes 1-5 of the inquiry header set, no inquiry data.
  module_->on_answer(FAS_UNIT_INQUIRY, AnswerFault::replace,
                     header({FAS_UNIT_INQUIRY, 1, 2, 3, 4, 5, 0, 0}));
  qdnet::VrnInquiry inq;
  EXPECT_EQ(exchange(true, &inq), 0);
  EXPECT_EQ(inq.length, 0u);
  EXPECT_EQ(inq.vendor, "");
  await([](const auto& s) { return s.resets == 1; }, "reset after an empty inquiry");
}

TEST_F(Exchange, InquiryDataPastTheBufferIsReadAndLeftOut) {
  start_module();
  module_->on_answer(FAS_UNIT_INQUIRY, AnswerFault::replace, inquiry_answer(100, 100));
  qdnet::VrnInquiry inq;
  EXPECT_EQ(exchange(true, &inq), 0) << "the stream stays in step for the reset";
  EXPECT_TRUE(inq.shortened);
  EXPECT_EQ(inq.length, 100u);
  EXPECT_EQ(inq.model, "Lanvara8S-115A");
  await([](const auto& s) { return s.resets == 1; }, "reset");
}

TEST_F(Exchange, ResetAnswerCountsOnItsOpcodeAlone) {
  // Firmware before 6.0 refuses the reset with ERR_BAD_CMD, under the reset's opcode.
  start_module(0, "V5.2");
  EXPECT_EQ(exchange(true), 0);
  EXPECT_EQ(events_.back(), VrnEvent::reset_ok);
  EXPECT_EQ(module_->stats().resets, 0u);
}

TEST_F(Exchange, ASilentModuleEndsTheExchangeOnlyWithATimeOut) {
  start_module();
  module_->set_silent(true);
  qdnet::VrnExchangeOptions o;
  o.address = module_addr();
  o.port = module_->port();
  o.timeout_ms = 100;
  std::vector<VrnEvent> events;
  int err = 0;
  EXPECT_EQ(qdnet::vrn_tcp_exchange(o,
                                    [&](VrnEvent e, const qdnet::VrnEventInfo&) {
                                      events.push_back(e);
                                      err = errno;
                                    }),
            -1);
  EXPECT_EQ(events.back(), VrnEvent::unlock_read_failed);
  EXPECT_TRUE(err == EAGAIN || err == EWOULDBLOCK) << std::strerror(err);
}

TEST_F(Exchange, ANewConnectionReplacesTheOldOne) {
  start_module();
  const int first = exchange(false);
  ASSERT_GE(first, 0);
  const int second = exchange(false);
  ASSERT_GE(second, 0);
  unsigned char b[8];
  ASSERT_EQ(qdnet::set_io_timeout(first, static_cast<int>(kLimit.count())), 0);
  EXPECT_EQ(::read(first, b, 8), 0) << "the first connection was closed";
  const Bytes poll = header({FAS_UNIT_POLL});
  ASSERT_EQ(::write(second, poll.data(), 8), 8);
  EXPECT_EQ(qdnet::sock_read(second, b, 8), 0);
  EXPECT_EQ(b[0], FAS_UNIT_POLL);
  ::close(first);
  ::close(second);
  EXPECT_EQ(module_->stats().connections, 2u);
}

} // namespace
} // namespace nettest

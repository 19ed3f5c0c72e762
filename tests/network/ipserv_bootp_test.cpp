// kvipserv's BOOTP side over a scripted socket: which requests it takes, the reply's bytes,
// where the reply goes, and what the operator is told while waiting and after replying.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <numeric>

#include "fake_link.h"
#include "module_fixture.h"
#include "qdnet/ipserv.h"

namespace nettest {
namespace {

namespace ip = qdnet::ipserv;
namespace bp = qdnet::ipserv::bootp;

const ip::HwAddr kHw{0x02, 0x6A, 0x11, 0x00, 0x03, 0x63};
const std::uint16_t kBootps = htons(67);
const std::uint16_t kBootpc = htons(68);

in_addr_t addr(const char* text) {
  return ::inet_addr(text);
}

void put_addr(Bytes& m, std::size_t at, in_addr_t a) {
  std::memcpy(&m[at], &a, 4);
}

// A request as a module sends it: 300 bytes, a running pattern where nothing is set; a
// shorter one is cut from it.
Bytes request(std::size_t size = 300) {
  Bytes m(std::max<std::size_t>(size, 300));
  std::iota(m.begin(), m.end(), std::uint8_t{7});
  m[bp::kOp] = 1;
  m[1] = 1;
  m[bp::kHlen] = 6;
  put_addr(m, bp::kCiaddr, 0);
  put_addr(m, bp::kYiaddr, 0);
  put_addr(m, bp::kGiaddr, 0);
  std::copy(kHw.begin(), kHw.end(), m.begin() + bp::kChaddr);
  const std::uint8_t magic[4] = {99, 130, 83, 99};
  std::copy(magic, magic + 4, m.begin() + 236);
  m.resize(size);
  return m;
}

ip::Config config(std::vector<std::uint8_t> options = {}) {
  ip::Config c;
  c.hwaddr = kHw;
  c.served = addr("127.9.200.10");
  c.served_text = "127.9.200.10";
  c.options = std::move(options);
  return c;
}

TEST(BootpRequest, OnlyAFullRequestFromTheModuleIsTaken) {
  auto with = [](std::function<void(Bytes&)> change, std::size_t size = 300) {
    Bytes m = request(size);
    change(m);
    return m;
  };
  struct Case {
    Bytes msg;
    ip::RequestCheck want;
  } const cases[] = {
      {request(), ip::RequestCheck::accepted},
      {request(548), ip::RequestCheck::accepted},
      {request(299), ip::RequestCheck::short_packet},
      {with([](Bytes& m) { m[bp::kOp] = 2; }), ip::RequestCheck::not_request},
      {with([](Bytes& m) { m[bp::kHlen] = 7; }), ip::RequestCheck::bad_hlen},
      {with([](Bytes& m) { m[bp::kChaddr + 5] ^= 1; }), ip::RequestCheck::other_hwaddr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ip::check_request(c.msg, kHw), c.want);
  }
}

TEST(BootpReply, GoesToTheModuleItsGatewayOrItsNewAddress) {
  const in_addr_t served = addr("127.9.200.10");
  struct Case {
    const char* ciaddr;
    const char* giaddr;
    ip::Destination want;
  } const cases[] = {
      {"127.9.200.33", "0.0.0.0", {addr("127.9.200.33"), kBootpc, false, false}},
      {"127.9.200.33", "127.9.1.1", {addr("127.9.200.33"), kBootpc, false, false}},
      {"0.0.0.0", "127.9.1.1", {addr("127.9.1.1"), kBootps, true, false}},
      {"0.0.0.0", "0.0.0.0", {served, kBootpc, false, true}},
  };
  for (const Case& c : cases) {
    Bytes m = request();
    put_addr(m, bp::kCiaddr, addr(c.ciaddr));
    put_addr(m, bp::kGiaddr, addr(c.giaddr));
    const ip::Destination d = ip::reply_destination(m, served, kBootps, kBootpc);
    EXPECT_EQ(d.addr, c.want.addr);
    EXPECT_EQ(d.port, c.want.port);
    EXPECT_EQ(d.via_gateway, c.want.via_gateway);
    EXPECT_EQ(d.needs_arp, c.want.needs_arp);
  }
}

// The reply is the request with only the named fields changed.
void expect_only_changed(const Bytes& req, const Bytes& reply, std::size_t len,
                         std::vector<std::pair<std::size_t, std::size_t>> changed) {
  for (std::size_t i = 0; i < len; ++i) {
    const bool named = std::any_of(changed.begin(), changed.end(),
                                   [&](auto r) { return i >= r.first && i < r.second; });
    if (!named) {
      EXPECT_EQ(reply[i], req[i]) << "byte " << i;
    }
  }
}

TEST(BootpReply, WithoutVendorEntriesIs241Bytes) {
  const Bytes req = request();
  Bytes msg = req;
  msg.resize(ip::kRequestBuffer);
  const std::size_t len = ip::build_reply(msg, config(), std::nullopt);
  EXPECT_EQ(len, 241u);
  EXPECT_EQ(msg[bp::kOp], 2);
  in_addr_t yi;
  std::memcpy(&yi, &msg[bp::kYiaddr], 4);
  EXPECT_EQ(yi, addr("127.9.200.10"));
  EXPECT_EQ(msg[240], bp::kEnd);
  // siaddr stays as requested when this host's address is unknown
  expect_only_changed(req, msg, len, {{bp::kOp, 1}, {bp::kYiaddr, 20}, {240, 241}});
}

TEST(BootpReply, VendorEntriesMakeItNPlus243Bytes) {
  const std::vector<std::uint8_t> options{1, 4, 127, 1, 2, 3, 3, 1, 1};
  ip::Config cfg = config(options);
  cfg.firmware = "fw/LANV60.prm";
  const Bytes req = request();
  Bytes msg = req;
  msg.resize(ip::kRequestBuffer);
  const std::size_t len = ip::build_reply(msg, cfg, addr("127.0.1.1"));
  ASSERT_EQ(len, options.size() + 243);
  EXPECT_EQ(msg[240], bp::kVendorOption);
  EXPECT_EQ(msg[241], options.size());
  EXPECT_TRUE(std::equal(options.begin(), options.end(), msg.begin() + 242));
  EXPECT_EQ(msg[242 + options.size()], bp::kEnd);
  in_addr_t si;
  std::memcpy(&si, &msg[bp::kSiaddr], 4);
  EXPECT_EQ(si, addr("127.0.1.1"));
  EXPECT_STREQ(reinterpret_cast<const char*>(&msg[bp::kFile]), "fw/LANV60.prm");
  expect_only_changed(req, msg, len,
                      {{bp::kOp, 1},
                       {bp::kYiaddr, 24},
                       {bp::kFile, bp::kFile + cfg.firmware.size() + 1},
                       {240, len}});
}

TEST(BootpWait, TellsTheOperatorHowTheWaitGoes) {
  FakeLink link;
  for (int i = 0; i < 15; ++i) {
    link.turns.push_back(silence());
  }
  Bytes other = request();
  other[bp::kChaddr + 5] = 0x64;
  Bytes op2 = request();
  op2[bp::kOp] = 2;
  Bytes hlen = request();
  hlen[bp::kHlen] = 7;
  link.turns.push_back(datagram(request(120)));
  link.turns.push_back(datagram(op2));
  link.turns.push_back(datagram(hlen));
  link.turns.push_back(datagram(other));
  link.turns.push_back(Turn{1, {}, ECONNREFUSED, {}});
  link.turns.push_back(silence());
  link.turns.push_back(datagram(request()));
  MemStream out;
  std::vector<std::uint8_t> buf(ip::kRequestBuffer);
  EXPECT_EQ(ip::await_request(link, config(), buf.data(), out.file()), 300u);

  std::string want;
  for (int turn = 0; turn < 15; ++turn) {
    if (turn == 6) { // 30 seconds have passed
      want += "Don't give up hope!\n";
    }
    if (turn == 14) { // more than 65
      want += "If you are trying to serve an Lanvara module, \n"
              "a BOOTP request should have been received by now.\n"
              "A problem may exist.\n";
    }
    want += "None yet...\n";
  }
  want += "(Ignoring a short packet.)";
  want += "Bad hardware-address length (7)\n";
  want += "(Ignoring a BOOTP request from 02:6A:11:00:03:64.)\n";
  want += "recvfrom: Connection refused\n";
  want += "None yet...\n";
  want += "Got one--responding...\n";
  EXPECT_EQ(out.text(), want);
  EXPECT_TRUE(std::all_of(link.waits.begin(), link.waits.end(), [](int s) { return s == 5; }));
  EXPECT_TRUE(link.turns.empty());
}

class BootpSend : public ::testing::Test {
protected:
  std::optional<int> send(const ip::Config& cfg, Bytes req = request()) {
    req.resize(ip::kRequestBuffer);
    buf_ = req;
    return ip::send_reply(link_, buf_.data(), cfg, kBootps, kBootpc, addr("127.0.1.1"),
                          out_.file());
  }
  FakeLink link_;
  MemStream out_;
  Bytes buf_;
};

TEST_F(BootpSend, AModuleWithoutAnAddressGetsAnArpEntryFirst) {
  EXPECT_EQ(send(config()), 0);
  ASSERT_EQ(link_.arps.size(), 1u);
  EXPECT_EQ(link_.arps[0].addr, addr("127.9.200.10"));
  EXPECT_EQ(link_.arps[0].hw, Bytes(kHw.begin(), kHw.end()));
  ASSERT_EQ(link_.connects.size(), 1u);
  EXPECT_EQ(link_.connects[0].sin_addr.s_addr, addr("127.9.200.10"));
  EXPECT_EQ(link_.connects[0].sin_port, kBootpc);
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_EQ(link_.sent[0].size(), 241u);
  EXPECT_EQ(out_.text(), "Address successfully served.\n");
}

TEST_F(BootpSend, ARelayedRequestIsAnsweredThroughTheGateway) {
  Bytes req = request();
  put_addr(req, bp::kGiaddr, addr("127.9.1.1"));
  EXPECT_EQ(send(config(), req), 0);
  EXPECT_TRUE(link_.arps.empty());
  ASSERT_EQ(link_.connects.size(), 1u);
  EXPECT_EQ(link_.connects[0].sin_addr.s_addr, addr("127.9.1.1"));
  EXPECT_EQ(link_.connects[0].sin_port, kBootps);
  EXPECT_EQ(out_.text(), "(Responding via the gateway at 127.9.1.1...)\n"
                         "Address successfully served.\n");
}

TEST_F(BootpSend, FailuresBeforeTheSendAreReportedAndPassed) {
  link_.arp_err = EINVAL;
  link_.connect_err = ENETUNREACH;
  EXPECT_EQ(send(config()), 0);
  EXPECT_EQ(link_.sent.size(), 1u);
  const std::string said = out_.text();
  EXPECT_EQ(said.rfind("ioctl(SIOCSARP): Invalid argument\n"
                       "NOTE: The operating system reported a problem when kvipserv\n",
                       0),
            0u)
      << said;
  EXPECT_NE(said.find("If not, reboot this host and try again.\n"
                      "connect: Network is unreachable\n"
                      "Address successfully served.\n"),
            std::string::npos)
      << said;
}

TEST_F(BootpSend, AFailedSendEndsWithOne) {
  link_.send_err = EMSGSIZE;
  EXPECT_EQ(send(config()), 1);
  EXPECT_EQ(out_.text(), "send: Message too long\n");
}

TEST_F(BootpSend, TheOperatorIsToldWhatTheModuleDoesNext) {
  ip::Config erase = config({3, 1, 2});
  erase.erase = true;
  EXPECT_EQ(send(erase), 0);
  MemStream box;
  ip::print_erase_box(box.file());
  EXPECT_EQ(out_.text(), box.text()) << "no success line after the erase box";

  MemStream out2;
  ip::Config store = config({3, 1, 1});
  store.store = true;
  store.firmware = "fw.prm";
  Bytes req = request();
  req.resize(ip::kRequestBuffer);
  EXPECT_EQ(ip::send_reply(link_, req.data(), store, kBootps, kBootpc, std::nullopt, out2.file()),
            std::nullopt)
      << "the upload follows";
  MemStream store_box;
  ip::print_store_box(store_box.file());
  EXPECT_EQ(out2.text(), store_box.text() + "Address successfully served.\n");
}

} // namespace
} // namespace nettest

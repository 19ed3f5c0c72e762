// kvipserv end to end: the program in one namespace of a pair made for the test, a fake
// module in the other (its BOOTP and TFTP client side written here, its TCP side the
// emulated module). Needs root, iproute2 and a system that lets namespaces be made; skipped
// otherwise.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <net/if.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "child_process.h"
#include "module_fixture.h"
#include "netns_pair.h"
#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"
#include "qdnet/vrn_exchange.h"
#include "qdtest/child_guard.h"
#include "qdtest/child_wait.h"
#include "qdtest/program_copy.h"
#include "temp_dir.h"

namespace nettest {
namespace {

namespace ip = qdnet::ipserv;
namespace bp = qdnet::ipserv::bootp;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kReady = "(This may take up to a minute.)\n";

class IpservInNamespaces : public ::testing::Test {
protected:
  void SetUp() override {
    if (const std::string why = NetnsPair::unavailable(); !why.empty()) {
      GTEST_SKIP() << why;
    }
  }
  // Call as ASSERT_NO_FATAL_FAILURE(start()): a failure here ends only this function.
  void start(bool arp_b = false) {
    pair_ = std::make_unique<NetnsPair>(arp_b);
    ASSERT_TRUE(pair_->ok());
    const auto m = pair_->mac_b();
    char t[18];
    std::snprintf(t, sizeof t, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    hw_text_ = t;
  }
  std::unique_ptr<Child> kvipserv(std::vector<std::string> args) {
    ChildSpec spec(KVIPSERV_PATH, std::move(args));
    spec.netns = pair_->a();
    spec.cwd = dir_.path();
    return std::make_unique<Child>(spec);
  }
  // A UDP socket of the fake module, in B, bound to `port` on B's interface.
  int module_socket(std::uint16_t port) {
    int fd = -1;
    pair_->in(pair_->b(), [&] {
      fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      const int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
      ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, pair_->dev_b().c_str(),
                   static_cast<socklen_t>(pair_->dev_b().size()));
      const sockaddr_in at = qdnet::ipv4_address(htonl(INADDR_ANY), htons(port));
      EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0)
          << std::strerror(errno);
    });
    fds_.push_back(fd);
    return fd;
  }
  // The module's BOOTP request, broadcast from port 68.
  void send_request(int fd) {
    Bytes m(300, 0);
    m[bp::kOp] = 1;
    m[1] = 1;
    m[bp::kHlen] = 6;
    m[4] = 0x5a; // xid
    const auto mac = pair_->mac_b();
    std::copy(mac.begin(), mac.end(), m.begin() + bp::kChaddr);
    const std::uint8_t magic[4] = {99, 130, 83, 99};
    std::copy(magic, magic + 4, m.begin() + 236);
    request_ = m;
    const sockaddr_in to = qdnet::ipv4_address(htonl(INADDR_BROADCAST), htons(67));
    ASSERT_EQ(
        ::sendto(fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 300)
        << std::strerror(errno);
  }
  // One datagram within the limit.
  Bytes receive(int fd, sockaddr_in* from) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kLimit.count())) != 1) {
      ADD_FAILURE() << "nothing arrived";
      return {};
    }
    Bytes buf(1600);
    socklen_t len = sizeof *from;
    const ssize_t n =
        ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(from), &len);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
  }
  in_addr_t field(const Bytes& m, std::size_t at) {
    in_addr_t v;
    std::memcpy(&v, &m[at], 4);
    return v;
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  TempDir dir_;
  std::unique_ptr<NetnsPair> pair_;
  std::string hw_text_;
  Bytes request_;
  std::vector<int> fds_;
};

// Root with ip may still be refused namespaces (a container without the capability, a
// chroot): the check finds out by trying, so that the tests skip rather than fail.
TEST(NetnsAvailability, RootWithoutTheCapabilityIsToldWhy) {
  if (::geteuid() != 0 || !NetnsPair::unavailable().empty()) {
    GTEST_SKIP() << "needs root and network namespaces, to take the capability away";
  }
  const pid_t parent = ::getpid();
  const pid_t pid = qdtest::fork_child();
  ASSERT_GE(pid, 0) << std::strerror(errno);
  if (pid == 0) {
    qdtest::stay_with(parent);
    // Programs this process runs, ip among them, no longer get CAP_SYS_ADMIN.
    if (::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) != 0) {
      ::_exit(2);
    }
    const std::string why = NetnsPair::unavailable();
    ::_exit(why.starts_with("no network namespace can be made here: ") ? 0 : 1);
  }
  EXPECT_EQ(qdtest::wait_child(pid), 0);
}

TEST_F(IpservInNamespaces, ServesTheAddressTheOptionsAndTheFirmware) {
  ASSERT_NO_FATAL_FAILURE(start());
  Bytes image(1300);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 7);
  }
  std::ofstream(dir_ / "fw.prm", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  auto server = kvipserv(
      {"-store", "-host", NetnsPair::kAddrA, "-firmware", "fw.prm", hw_text_, NetnsPair::kAddrB});
  ASSERT_TRUE(server->await_out(kReady));

  const int bootpc = module_socket(68);
  send_request(bootpc);
  sockaddr_in from{};
  const Bytes reply = receive(bootpc, &from);
  const Bytes options{3, 1, 1, 1, 4, 127, 99, 0, 1}; // in command-line order
  ASSERT_EQ(reply.size(), options.size() + 243) << server->out();
  EXPECT_EQ(from.sin_port, htons(67));
  EXPECT_EQ(from.sin_addr.s_addr, ::inet_addr(NetnsPair::kAddrA));
  EXPECT_EQ(reply[bp::kOp], 2);
  EXPECT_EQ(field(reply, bp::kYiaddr), ::inet_addr(NetnsPair::kAddrB));
  std::optional<in_addr_t> own;
  pair_->in(pair_->a(), [&] { own = ip::own_host_address(); });
  EXPECT_EQ(field(reply, bp::kSiaddr), own.value_or(0));
  EXPECT_STREQ(reinterpret_cast<const char*>(&reply[bp::kFile]), "fw.prm");
  EXPECT_EQ(reply[240], 43);
  EXPECT_EQ(reply[241], options.size());
  EXPECT_TRUE(std::equal(options.begin(), options.end(), reply.begin() + 242));
  EXPECT_EQ(reply.back(), 255);
  EXPECT_TRUE(std::equal(request_.begin() + 1, request_.begin() + 12, reply.begin() + 1));
  // The module answers no ARP: the reply came through the entry kvipserv made.
  char mac[18];
  const auto m = pair_->mac_b();
  std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  EXPECT_NE(pair_->neighbour_a(NetnsPair::kAddrB).find(mac), std::string::npos);

  ASSERT_TRUE(server->await_out("Awaiting a TFTP request...\n"));
  const int tftp = module_socket(0);
  Bytes rrq{0, 1};
  const std::string name = "fw.prm";
  rrq.insert(rrq.end(), name.begin(), name.end());
  rrq.insert(rrq.end(), {0, 'o', 'c', 't', 'e', 't', 0});
  const sockaddr_in server_at = qdnet::ipv4_address(::inet_addr(NetnsPair::kAddrA), htons(69));
  ASSERT_EQ(::sendto(tftp, rrq.data(), rrq.size(), 0, reinterpret_cast<const sockaddr*>(&server_at),
                     sizeof server_at),
            static_cast<ssize_t>(rrq.size()));
  Bytes got;
  for (unsigned block = 1;; ++block) {
    sockaddr_in data_from{};
    const Bytes data = receive(tftp, &data_from);
    ASSERT_GE(data.size(), 4u);
    EXPECT_EQ(data_from.sin_port, htons(69));
    ASSERT_EQ(data[1], 3);
    ASSERT_EQ(static_cast<unsigned>(data[2] << 8 | data[3]), block);
    got.insert(got.end(), data.begin() + 4, data.end());
    const Bytes ack{0, 4, data[2], data[3]};
    ASSERT_EQ(::sendto(tftp, ack.data(), 4, 0, reinterpret_cast<const sockaddr*>(&data_from),
                       sizeof data_from),
              4);
    if (data.size() == 4 && block > 1) {
      break;
    }
  }
  EXPECT_EQ(got, image);
  EXPECT_EQ(server->wait(), 0);
  const std::string& out = server->out();
  for (const char* line :
       {"Got one--responding...\n", "Address successfully served.\n",
        "Starting to upload the firmware...\n", "Firmware successfully uploaded.\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
  }
  EXPECT_EQ(out.find("SIOCSARP"), std::string::npos) << out;
  MemStream box;
  ip::print_store_box(box.file());
  EXPECT_NE(out.find(box.text() + "Address successfully served.\n"), std::string::npos) << out;
}

TEST_F(IpservInNamespaces, ResetsTheModuleBeforeWaiting) {
  ASSERT_NO_FATAL_FAILURE(start(true));
  qdemu::LockedEngineHost host;
  qdemu::LanvaraOptions o;
  o.address = NetnsPair::kAddrB;
  o.port = qdnet::kVrnPort;
  qdemu::LanvaraModule module(host, o);
  int err = -1;
  pair_->in(pair_->b(), [&] { err = module.start(); });
  ASSERT_EQ(err, 0) << std::strerror(err);

  auto server = kvipserv({"-reset", hw_text_, NetnsPair::kAddrB});
  ASSERT_TRUE(server->await_out(kReady));
  EXPECT_EQ(server->out(), "Resetting the Lanvara module...\n"
                           "Awaiting a BOOTP request from HW address " +
                               std::string(ip::hwaddr2str(pair_->mac_b().data())) + "...\n" +
                               kReady);
  EXPECT_TRUE(module.wait_for([](const auto& s) { return s.resets == 1; }, kLimit));

  const int bootpc = module_socket(68);
  send_request(bootpc);
  sockaddr_in from{};
  const Bytes reply = receive(bootpc, &from);
  EXPECT_EQ(reply.size(), 241u);
  EXPECT_EQ(reply.back(), 255);
  EXPECT_EQ(server->wait(), 0);
  EXPECT_EQ(server->out().substr(server->out().find(kReady) + std::strlen(kReady)),
            "Got one--responding...\nAddress successfully served.\n");
}

TEST_F(IpservInNamespaces, AFailedResetIsReportedAndTheWaitGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(true));
  auto server = kvipserv({"-reset", hw_text_, NetnsPair::kAddrB});
  ASSERT_TRUE(server->await_out(kReady));
  EXPECT_EQ(server->out().rfind("Resetting the Lanvara module...\n"
                                "connect: Connection refused\n"
                                "Remote reset failed.  You will have to manually power cycle "
                                "the module.\n"
                                "Awaiting a BOOTP request",
                                0),
            0u)
      << server->out();
}

TEST_F(IpservInNamespaces, ThePortMustBeFreeAndItsOwnerPrivileged) {
  ASSERT_NO_FATAL_FAILURE(start());
  int held = -1;
  pair_->in(pair_->a(), [&] {
    held = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in at = qdnet::ipv4_address(htonl(INADDR_ANY), htons(67));
    ASSERT_EQ(::bind(held, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  });
  fds_.push_back(held);
  auto busy = kvipserv({hw_text_, NetnsPair::kAddrB});
  EXPECT_EQ(busy->wait(), 1);
  EXPECT_EQ(busy->out(), "bind: Address already in use\n"
                         "Most likely there is a BOOTP server already running on this system.\n");
  ::close(held);
  fds_.pop_back();

  const qdtest::ProgramCopy copy(KVIPSERV_PATH, 65534);
  ChildSpec spec(copy.path(), {hw_text_, NetnsPair::kAddrB});
  spec.netns = pair_->a();
  spec.uid = 65534;
  std::string out, err;
  EXPECT_EQ(run_child(spec, &out, &err), 1);
  EXPECT_EQ(out, "bind: Permission denied\n"
                 "You will need root access to run this command on this system.\n");
}

} // namespace
} // namespace nettest

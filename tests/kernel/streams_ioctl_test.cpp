// Stream head ioctls over the toy driver: I_STR, transparent ioctls with the copy exchange,
// the terminal ioctls and the flow requests.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kemu/usermem.h"
#include "ksys/termios.h"
#include "ksys/usercopy.h"
#include "streams_toy.h"

namespace {

using kemu::IoResult;
using kemu::StreamFile;
using toy::ack;
using toy::bytes_of;
using toy::nak;
using toy::StreamsTest;

using IoctlTest = StreamsTest;
using Bytes = std::vector<unsigned char>;

Bytes bytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

strioctl make_str(int cmd, void* dp, int len, int timeout = 0) {
  strioctl s{};
  s.ic_cmd = cmd;
  s.ic_timout = timeout;
  s.ic_len = len;
  s.ic_dp = static_cast<char*>(dp);
  return s;
}

TEST_F(IoctlTest, IStrAcknowledgementCopiesBackAtMostTheCallersLength) {
  struct Case {
    std::string reply;
    std::string want_buf;
    int want_len;
  };
  const Case cases[] = {
      {"XYZ", "XYZdef", 3},
      {"0123456789", "012345", 6},
      {"", "abcdef", 0},
  };
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  for (const Case& c : cases) {
    drv.on_ioctl = [&](queue_t* wq, mblk_t* mp) { ack(wq, mp, 7, c.reply.data(), c.reply.size()); };
    char buf[] = "abcdef";
    strioctl s = make_str(0x4242, buf, 6);
    IoResult r = kemu::as_user([&] { return f.ioctl(I_STR, &s); }, toy::user_cred(42));
    EXPECT_EQ(r.value, 7) << c.reply;
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(std::string(buf), c.want_buf);
    EXPECT_EQ(s.ic_len, c.want_len);
    ASSERT_FALSE(drv.ioctls.empty());
    EXPECT_EQ(drv.ioctls.back().cmd, 0x4242);
    EXPECT_EQ(drv.ioctls.back().count, 6u);
    EXPECT_EQ(drv.ioctls.back().data, bytes("abcdef"));
    EXPECT_EQ(drv.ioctls.back().uid, 42u) << "the caller's credentials, not the opener's";
  }
  close(f);
}

TEST_F(IoctlTest, IStrRefusalGivesTheDriversErrno) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) { nak(wq, mp, ENXIO); };
  int v = 0;
  strioctl s = make_str(1, &v, sizeof v);
  IoResult r = ioctl(f, I_STR, &s);
  EXPECT_EQ(r.value, -1);
  EXPECT_EQ(r.error, ENXIO);
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) { nak(wq, mp, 0); };
  EXPECT_EQ(ioctl(f, I_STR, &s).error, EINVAL) << "a refusal without an errno";
  s.ic_len = -1;
  EXPECT_EQ(ioctl(f, I_STR, &s).error, EINVAL);
  s = make_str(1, nullptr, 4);
  EXPECT_EQ(ioctl(f, I_STR, &s).error, EFAULT);
  EXPECT_EQ(ioctl(f, I_STR, nullptr).error, EFAULT);
  close(f);
}

TEST_F(IoctlTest, IStrTimesOutOnTheVirtualClock) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  mblk_t* held = nullptr;
  queue_t* held_q = nullptr;
  drv.on_ioctl = [&](queue_t* wq, mblk_t* mp) {
    held = mp;
    held_q = wq;
  };
  struct Case {
    int timout;
    clock_t ticks;
  };
  for (Case c : {Case{2, 2 * hz}, Case{0, STR_DEFAULT_TIMEOUT * hz}}) {
    strioctl s = make_str(9, nullptr, 0, c.timout);
    clock_t start = k.lbolt();
    IoResult r = ioctl(f, I_STR, &s);
    EXPECT_EQ(r.error, ETIME);
    EXPECT_EQ(k.lbolt() - start, c.ticks);
    // The answer that comes too late is dropped.
    k.call([&] { ack(held_q, held, 0); });
  }

  // No limit: still waiting long past the default, done when the answer comes.
  strioctl s = make_str(9, nullptr, 0, -1);
  IoResult r;
  auto t = k.spawn([&] { r = f.ioctl(I_STR, &s); });
  k.advance(2 * STR_DEFAULT_TIMEOUT * hz);
  EXPECT_FALSE(t->done());
  k.call([&] { ack(held_q, held, 3); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(r.value, 3);
  close(f);
}

TEST_F(IoctlTest, OneIoctlAtATimeAndASignalEndsTheWait) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::vector<std::pair<queue_t*, mblk_t*>> held;
  drv.on_ioctl = [&](queue_t* wq, mblk_t* mp) { held.emplace_back(wq, mp); };
  IoResult r1, r2;
  strioctl s1 = make_str(1, nullptr, 0, -1), s2 = make_str(2, nullptr, 0, -1);
  auto t1 = k.spawn([&] { r1 = f.ioctl(I_STR, &s1); });
  auto t2 = k.spawn([&] { r2 = f.ioctl(I_STR, &s2); });
  k.settle();
  EXPECT_EQ(drv.ioctls.size(), 1u) << "the second waits for the first";
  k.post_signal(*t1);
  ASSERT_TRUE(t1->join());
  EXPECT_EQ(r1.error, EINTR);
  k.settle();
  ASSERT_EQ(drv.ioctls.size(), 2u);
  EXPECT_EQ(drv.ioctls[1].cmd, 2);
  k.call([&] {
    ack(held[0].first, held[0].second, 11); // the abandoned one: dropped
    ack(held[1].first, held[1].second, 22);
  });
  ASSERT_TRUE(t2->join());
  EXPECT_EQ(r2.value, 22);
  close(f);
}

// User memory with a few named regions, as a host serving another process would have.
class TableMemory final : public kemu::UserMemory {
public:
  std::map<std::uintptr_t, Bytes> regions;
  int copyin(std::uintptr_t uaddr, void* dst, std::size_t n) override {
    auto it = regions.find(uaddr);
    if (it == regions.end() || it->second.size() < n) {
      return EFAULT;
    }
    std::memcpy(dst, it->second.data(), n);
    return 0;
  }
  int copyout(const void* src, std::uintptr_t uaddr, std::size_t n) override {
    auto it = regions.find(uaddr);
    if (it == regions.end() || it->second.size() < n) {
      return EFAULT;
    }
    std::memcpy(it->second.data(), src, n);
    return 0;
  }
};

// A transparent ioctl served the way drivers do: copy in 4 bytes (code 1) or copy out 4
// bytes (code 2), then acknowledge with the value seen.
void transparent_driver(toy::Toy& drv, std::vector<long>& rvals) {
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) {
    iocblk* io = toy::ioc(mp);
    ASSERT_EQ(io->ioc_count, TRANSPARENT);
    caddr_t addr = nullptr;
    std::memcpy(&addr, mp->b_cont->b_rptr, sizeof addr);
    int cmd = io->ioc_cmd;
    auto* cq = reinterpret_cast<copyreq*>(mp->b_rptr);
    cq->cq_addr = addr;
    cq->cq_size = 4;
    cq->cq_flag = 0;
    cq->cq_private = nullptr;
    freemsg(mp->b_cont);
    mp->b_cont = nullptr;
    if (cmd == 2) {
      int out = 0x0a0b0c0d;
      mp->b_cont = allocb(4, BPRI_MED);
      std::memcpy(mp->b_cont->b_wptr, &out, 4);
      mp->b_cont->b_wptr += 4;
    }
    mp->b_datap->db_type = cmd == 2 ? M_COPYOUT : M_COPYIN;
    mp->b_wptr = mp->b_rptr + sizeof(copyreq);
    qreply(wq, mp);
  };
  drv.on_iocdata = [&rvals](queue_t* wq, mblk_t* mp) {
    auto* cp = reinterpret_cast<copyresp*>(mp->b_rptr);
    rvals.push_back(reinterpret_cast<long>(cp->cp_rval));
    if (cp->cp_rval != nullptr) {
      nak(wq, mp, EINVAL); // answered all the same; the head must drop it
      return;
    }
    int v = 0;
    if (mp->b_cont != nullptr) {
      std::memcpy(&v, mp->b_cont->b_rptr, sizeof v);
    }
    mp->b_datap->db_type = M_IOCTL;
    ack(wq, mp, v == 0 ? 1 : v);
  };
}

TEST_F(IoctlTest, TransparentIoctlsCopyInAndOutThroughTheCallersMemory) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  std::vector<long> rvals;
  transparent_driver(drv, rvals);

  int in = 1234, out = 0;
  EXPECT_EQ(ioctl(f, 1, &in).value, 1234) << "copied in";
  EXPECT_EQ(ioctl(f, 2, &out).value, 1);
  EXPECT_EQ(out, 0x0a0b0c0d) << "copied out";
  EXPECT_EQ(ioctl(f, 1, nullptr).error, EFAULT);
  EXPECT_EQ(ioctl(f, 2, nullptr).error, EFAULT);
  EXPECT_EQ(rvals, (std::vector<long>{0, 0, 1, 1})) << "the driver learns of failed copies";

  // Through a memory of the host's kind: addresses are handles, not pointers.
  TableMemory mem;
  int v = 77;
  mem.regions[0x1000] =
      Bytes(reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + 4);
  mem.regions[0x2000] = Bytes(4, 0);
  auto in_table = [&](int cmd, std::intptr_t addr) {
    return kemu::as_user([&] {
      kemu::UserMemoryScope scope(mem);
      return f.ioctl(cmd, addr);
    });
  };
  EXPECT_EQ(in_table(1, 0x1000).value, 77);
  EXPECT_EQ(in_table(2, 0x2000).value, 1);
  int got = 0;
  std::memcpy(&got, mem.regions[0x2000].data(), 4);
  EXPECT_EQ(got, 0x0a0b0c0d);
  EXPECT_EQ(in_table(1, 0x3000).error, EFAULT);
  close(f);
}

TEST_F(IoctlTest, KernelCopyoutUsesTheCallersMemory) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) {
    std::intptr_t addr = 0;
    std::memcpy(&addr, mp->b_cont->b_rptr, sizeof addr);
    const char text[] = "trace";
    ack(wq, mp, copyout(text, reinterpret_cast<void*>(addr), sizeof text));
  };
  TableMemory mem;
  mem.regions[0x40] = Bytes(6, 0);
  IoResult ok, bad;
  kemu::as_user([&] {
    kemu::UserMemoryScope scope(mem);
    ok = f.ioctl(5, 0x40);
    bad = f.ioctl(5, 0x80);
  });
  EXPECT_EQ(ok.value, 0);
  EXPECT_EQ(bad.value, -1) << "copyout reports the fault";
  EXPECT_EQ(std::string(mem.regions[0x40].begin(), mem.regions[0x40].end() - 1), "trace");
  close(f);
}

TEST_F(IoctlTest, TcflshAndTcxoncBecomeFlowMessages) {
  struct Case {
    int cmd;
    int arg;
    unsigned char type; // what reaches the driver
    unsigned char flush;
  };
  const Case cases[] = {
      {TCFLSH, TCIFLUSH, M_FLUSH, FLUSHR},   {TCFLSH, TCOFLUSH, M_FLUSH, FLUSHW},
      {TCFLSH, TCIOFLUSH, M_FLUSH, FLUSHRW}, {TCXONC, TCOOFF, M_STOP, 0},
      {TCXONC, TCOON, M_START, 0},           {TCXONC, TCIOFF, M_STOPI, 0},
      {TCXONC, TCION, M_STARTI, 0},
  };
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  for (const Case& c : cases) {
    drv.ctl.clear();
    drv.flush_flags.clear();
    EXPECT_EQ(ioctl(f, c.cmd, c.arg).value, 0);
    if (c.type == M_FLUSH) {
      EXPECT_EQ(drv.flush_flags, (std::vector<unsigned char>{c.flush})) << c.arg;
    } else {
      EXPECT_EQ(drv.ctl, (std::vector<unsigned char>{c.type})) << c.arg;
    }
  }
  EXPECT_EQ(ioctl(f, TCFLSH, 3).error, EINVAL);
  EXPECT_EQ(ioctl(f, TCXONC, 4).error, EINVAL);
  EXPECT_TRUE(drv.ioctls.empty()) << "no M_IOCTL for either";
  close(f);
}

TEST_F(IoctlTest, TerminalIoctlsTravelWithTheirRecords) {
  struct Case {
    int cmd;
    std::size_t in;  // bytes copied in from the argument and sent down
    std::size_t out; // bytes the answer copies back to the argument
  };
  const Case cases[] = {
      {TCGETS, 0, 36},    {TCSETS, 36, 0},    {TCSETSW, 36, 0},     {TCSETSF, 36, 0},
      {TCGETA, 0, 18},    {TCSETA, 18, 0},    {TCSETAW, 18, 0},     {TCSETAF, 18, 0},
      {TIOCGWINSZ, 0, 8}, {TIOCSWINSZ, 8, 0}, {TIOCGSOFTCAR, 0, 4}, {TIOCSSOFTCAR, 4, 0},
      {TIOCSTI, 1, 0},    {TIOCEXCL, 0, 0},   {TIOCNXCL, 0, 0},
  };
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  Bytes reply(64, 0x5a);
  drv.on_ioctl = [&](queue_t* wq, mblk_t* mp) {
    // Answer a read request with more than its record: only the record is copied back.
    ack(wq, mp, 0, reply.data(), toy::ioc(mp)->ioc_count == 0 ? 40 : 0);
  };
  for (const Case& c : cases) {
    Bytes arg(48, 0x11);
    for (std::size_t i = 0; i < arg.size(); ++i) {
      arg[i] = static_cast<unsigned char>(i);
    }
    Bytes before = arg;
    IoResult r = ioctl(f, c.cmd, arg.data());
    ASSERT_EQ(r.error, 0) << std::hex << c.cmd;
    const toy::Ioctl& seen = drv.ioctls.back();
    EXPECT_EQ(seen.cmd, c.cmd);
    EXPECT_EQ(seen.count, c.in) << std::hex << c.cmd;
    EXPECT_EQ(seen.data, Bytes(before.begin(), before.begin() + static_cast<long>(c.in)));
    for (std::size_t i = 0; i < arg.size(); ++i) {
      EXPECT_EQ(arg[i], i < c.out ? 0x5a : before[i]) << std::hex << c.cmd << " byte " << i;
    }
  }

  // TCSBRK carries its value, anything else goes down transparent with the argument.
  EXPECT_EQ(ioctl(f, TCSBRK, 1).error, 0);
  int one = 1;
  EXPECT_EQ(drv.ioctls.back().data, Bytes(reinterpret_cast<unsigned char*>(&one),
                                          reinterpret_cast<unsigned char*>(&one) + 4));
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) { ack(wq, mp, 0); };
  EXPECT_EQ(ioctl(f, TIOCMGET, 0x1234).error, 0);
  EXPECT_EQ(drv.ioctls.back().count, TRANSPARENT);
  std::intptr_t a = 0x1234;
  EXPECT_EQ(drv.ioctls.back().data, Bytes(reinterpret_cast<unsigned char*>(&a),
                                          reinterpret_cast<unsigned char*>(&a) + sizeof a));
  EXPECT_EQ(ioctl(f, TCSETS, nullptr).error, EFAULT) << "the record cannot be read";
  close(f);
}

TEST_F(IoctlTest, IoctlsFailOnAHungUpStream) {
  StreamFile f;
  ASSERT_EQ(open(f, 1), 0);
  drv.on_ioctl = [](queue_t* wq, mblk_t* mp) { ack(wq, mp, 0); };
  drv.send_ctl_up(1, M_HANGUP);
  termios t{};
  EXPECT_EQ(ioctl(f, TCGETS, &t).error, EIO);
  EXPECT_TRUE(drv.ioctls.empty());
  EXPECT_EQ(ioctl(f, I_POP, 0).error, EINVAL) << "module requests still work";
  close(f);
}

} // namespace

// The toy driver and the fixture of the STREAMS tests.
#include "streams_toy.h"

#include <cerrno>
#include <cstring>

namespace toy {

Toy* Toy::current = nullptr;

namespace {

minor_t minor_of(queue_t* q) {
  return static_cast<minor_t>(reinterpret_cast<std::uintptr_t>(q->q_ptr));
}

void gate_wait(Toy* t) {
  mutex_enter(&t->m);
  while (!t->gate) {
    cv_wait(&t->cv, &t->m);
  }
  mutex_exit(&t->m);
}

int toy_open(queue_t* q, dev_t* devp, int /*oflag*/, int sflag, cred_t* cr) {
  Toy* t = Toy::current;
  minor_t mn = getminor(*devp);
  t->events.push_back("open " + std::to_string(mn) + " sflag=" + std::to_string(sflag) +
                      " uid=" + std::to_string(cr->cr_uid));
  if (t->gate_open) {
    gate_wait(t);
    t->events.push_back("open " + std::to_string(mn) + " done");
  }
  if (t->open_error != 0) {
    return t->open_error;
  }
  q->q_ptr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(mn));
  WR(q)->q_ptr = q->q_ptr;
  t->rq[mn] = q;
  qprocson(q);
  return 0;
}

int toy_close(queue_t* q, int /*flag*/, cred_t* /*cr*/) {
  Toy* t = Toy::current;
  minor_t mn = minor_of(q);
  t->events.push_back("close " + std::to_string(mn));
  if (t->gate_close) {
    gate_wait(t);
    t->events.push_back("close " + std::to_string(mn) + " done");
  }
  qprocsoff(q);
  t->rq.erase(mn);
  return 0;
}

int toy_wput(queue_t* q, mblk_t* mp) {
  Toy* t = Toy::current;
  switch (mp->b_datap->db_type) {
  case M_DATA:
    if (t->hold_writes) {
      putq(q, mp);
      return 0;
    }
    for (unsigned char c : bytes_of(mp)) {
      t->written.push_back(static_cast<char>(c));
    }
    t->write_sizes.push_back(msgdsize(mp));
    freemsg(mp);
    return 0;
  case M_IOCTL: {
    iocblk* io = ioc(mp);
    t->ioctls.push_back(
        {io->ioc_cmd, io->ioc_count,
         mp->b_cont != nullptr ? bytes_of(mp->b_cont) : std::vector<unsigned char>{},
         io->ioc_cr != nullptr ? io->ioc_cr->cr_uid : static_cast<uid_t>(-1)});
    if (t->on_ioctl) {
      t->on_ioctl(q, mp);
    } else {
      nak(q, mp, EINVAL);
    }
    return 0;
  }
  case M_IOCDATA:
    if (t->on_iocdata) {
      t->on_iocdata(q, mp);
    } else {
      freemsg(mp);
    }
    return 0;
  case M_FLUSH:
    t->flush_flags.push_back(*mp->b_rptr);
    if ((*mp->b_rptr & FLUSHW) != 0) {
      flushq(q, FLUSHDATA);
      *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
    }
    if ((*mp->b_rptr & FLUSHR) != 0) {
      flushq(RD(q), FLUSHDATA);
      qreply(q, mp);
    } else {
      freemsg(mp);
    }
    return 0;
  default:
    t->ctl.push_back(mp->b_datap->db_type);
    freemsg(mp);
    return 0;
  }
}

int toy_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

// Forwards what the stream above can take, as a tty driver's read service does.
int toy_rsrv(queue_t* q) {
  ++Toy::current->service_runs;
  while (mblk_t* mp = getq(q)) {
    if (mp->b_datap->db_type >= QPCTL || canputnext(q) != 0) {
      putnext(q, mp);
    } else {
      putbq(q, mp);
      break;
    }
  }
  return 0;
}

} // namespace

Toy::Toy() {
  current = this;
  rinit_ = {toy_rput, toy_rsrv, toy_open, toy_close, nullptr, &minfo, nullptr};
  winit_ = {toy_wput, nullptr, nullptr, nullptr, nullptr, &minfo, nullptr};
  tab = {&rinit_, &winit_, nullptr, nullptr};
  mutex_init(&m, "toy", MUTEX_DRIVER, nullptr);
  cv_init(&cv, "toy_cv", CV_DRIVER, nullptr);
}

Toy::~Toy() {
  current = nullptr;
}

void Toy::release_gate() {
  kemu::Kernel::current().call([this] {
    mutex_enter(&m);
    gate = true;
    cv_broadcast(&cv);
    mutex_exit(&m);
  });
}

void Toy::send_up(minor_t minor, std::string_view data) {
  mblk_t* mp = allocb(data.size(), BPRI_MED);
  ASSERT_NE(mp, nullptr);
  std::memcpy(mp->b_wptr, data.data(), data.size());
  mp->b_wptr += data.size();
  putq(rq.at(minor), mp);
}

void Toy::send_ctl_up(minor_t minor, unsigned char type, int param) {
  queue_t* q = rq.at(minor);
  kemu::Kernel::current().call([&] {
    if (param < 0) {
      EXPECT_EQ(putnextctl(q, type), 1);
    } else {
      EXPECT_EQ(putnextctl1(q, type, param), 1);
    }
  });
}

std::string Toy::drain_writes(minor_t minor, std::size_t n) {
  std::string out;
  queue_t* wq = WR(rq.at(minor));
  kemu::Kernel::current().call([&] {
    while (out.size() < n) {
      mblk_t* mp = getq(wq);
      if (mp == nullptr) {
        break;
      }
      for (unsigned char c : bytes_of(mp)) {
        out.push_back(static_cast<char>(c));
      }
      freemsg(mp);
    }
  });
  return out;
}

iocblk* ioc(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

void ack(queue_t* wq, mblk_t* mp, int rval, const void* data, std::size_t n) {
  mp->b_datap->db_type = M_IOCACK;
  ioc(mp)->ioc_rval = rval;
  ioc(mp)->ioc_error = 0;
  ioc(mp)->ioc_count = static_cast<unsigned>(n);
  freemsg(mp->b_cont);
  mp->b_cont = nullptr;
  if (data != nullptr) {
    mp->b_cont = allocb(n, BPRI_MED);
    std::memcpy(mp->b_cont->b_wptr, data, n);
    mp->b_cont->b_wptr += n;
  }
  qreply(wq, mp);
}

void nak(queue_t* wq, mblk_t* mp, int error) {
  mp->b_datap->db_type = M_IOCNAK;
  ioc(mp)->ioc_error = error;
  ioc(mp)->ioc_rval = -1;
  ioc(mp)->ioc_count = 0;
  qreply(wq, mp);
}

std::vector<unsigned char> bytes_of(const mblk_t* mp) {
  std::vector<unsigned char> out;
  for (; mp != nullptr; mp = mp->b_cont) {
    out.insert(out.end(), mp->b_rptr, mp->b_wptr);
  }
  return out;
}

cred_t user_cred(uid_t uid) {
  return cred_t{uid, 10, uid, 10};
}

void StreamsTest::SetUp() {
  kemu::clear_streams_faults();
  kemu::clear_autopush();
  blocks_at_start = kemu::streams_outstanding_blocks();
}

void StreamsTest::TearDown() {
  k.settle();
  EXPECT_EQ(kemu::streams_open_count(), 0u) << "a test left a stream open";
  kemu::discard_all_streams();
  kemu::clear_streams_faults();
  kemu::clear_autopush();
  EXPECT_EQ(kemu::streams_outstanding_blocks(), blocks_at_start) << "messages leaked";
  for (const auto& r : k.take_reports()) {
    ADD_FAILURE() << "kernel report: " << r.what;
  }
}

int StreamsTest::open(kemu::StreamFile& f, minor_t minor, int flags, uid_t uid) {
  return kemu::as_user([&] { return kemu::stream_open(&drv.tab, dev(minor), flags, nullptr, f); },
                       user_cred(uid));
}

void StreamsTest::close(kemu::StreamFile& f) {
  EXPECT_EQ(kemu::as_user([&] { return f.close(); }), 0);
}

kemu::IoResult StreamsTest::read(kemu::StreamFile& f, std::string& out, std::size_t n) {
  std::string buf(n, '\0');
  auto r = kemu::as_user([&] { return f.read(std::as_writable_bytes(std::span(buf))); });
  out = r.ok() ? buf.substr(0, static_cast<std::size_t>(r.value)) : std::string();
  return r;
}

kemu::IoResult StreamsTest::write(kemu::StreamFile& f, std::string_view s) {
  return kemu::as_user([&] { return f.write(s); });
}

kemu::IoResult StreamsTest::ioctl(kemu::StreamFile& f, int cmd, std::intptr_t arg) {
  return kemu::as_user([&] { return f.ioctl(cmd, arg); });
}

} // namespace toy

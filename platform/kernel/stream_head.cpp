// Stream heads: one stream per device number, its open and close, what arrives from below,
// and the read, write and poll of an open.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>

#include "kemu/streams.h"
#include "ksys/cred.h"
#include "stream_head_internal.h"
#include "streams_modules.h"

namespace kemu {
namespace {

std::map<dev_t, std::unique_ptr<Stream>>& streams() {
  static std::map<dev_t, std::unique_ptr<Stream>> s;
  return s;
}

Stream* stream_of(queue_t* q) {
  return q->q_pair->stream;
}

// ---- What arrives at the head from below ----------------------------------------------------

void apply_setopts(Stream* st, const mblk_t* mp) {
  stroptions so{};
  std::memcpy(&so, mp->b_rptr,
              std::min(sizeof so, static_cast<std::size_t>(mp->b_wptr - mp->b_rptr)));
  queue_t* rq = st->rq();
  if ((so.so_flags & SO_READOPT) != 0) {
    st->readopt = so.so_readopt & RMODEMASK;
  }
  if ((so.so_flags & SO_MINPSZ) != 0) {
    rq->q_minpsz = so.so_minpsz;
  }
  if ((so.so_flags & SO_MAXPSZ) != 0) {
    rq->q_maxpsz = so.so_maxpsz;
  }
  if ((so.so_flags & SO_HIWAT) != 0) {
    rq->q_hiwat = so.so_hiwat;
  }
  if ((so.so_flags & SO_LOWAT) != 0) {
    rq->q_lowat = so.so_lowat;
  }
  if ((so.so_flags & (SO_HIWAT | SO_LOWAT)) != 0) {
    // New marks apply to what is already queued.
    if (rq->q_count >= rq->q_hiwat) {
      rq->q_flag |= QFULL;
    } else {
      queue_count_sub(rq, 0);
    }
  }
  if ((so.so_flags & SO_MREADON) != 0) {
    st->mreadon = true;
  }
  if ((so.so_flags & SO_MREADOFF) != 0) {
    st->mreadon = false;
  }
  if ((so.so_flags & SO_NDELON) != 0) {
    st->ndelon = true;
  }
  if ((so.so_flags & SO_NDELOFF) != 0) {
    st->ndelon = false;
  }
  if ((so.so_flags & SO_ISTTY) != 0) {
    st->istty = true;
  }
  if ((so.so_flags & SO_ISNTTY) != 0) {
    st->istty = false;
  }
}

void head_flush_read(Stream* st) {
  flushq(st->rq(), FLUSHALL);
}

int head_rput(queue_t* q, mblk_t* mp) {
  Stream* st = stream_of(q);
  mutex_enter(&st->lock);
  switch (mp->b_datap->db_type) {
  case M_DATA:
    if (st->rerror != 0) {
      freemsg(mp); // reads fail until the error is cleared
      break;
    }
    putq(q, mp);
    mutex_exit(&st->lock);
    stream_wake(st);
    return 0;
  case M_SETOPTS:
    apply_setopts(st, mp);
    freemsg(mp);
    break;
  case M_FLUSH: {
    unsigned char how = mp->b_wptr > mp->b_rptr ? *mp->b_rptr : 0;
    if ((how & FLUSHR) != 0) {
      head_flush_read(st);
    }
    mutex_exit(&st->lock);
    if ((how & FLUSHW) != 0) {
      // The head's write side holds nothing; the rest of the stream below flushes its own.
      *mp->b_rptr = static_cast<unsigned char>(how & ~FLUSHR);
      putnext(st->wq(), mp);
    } else {
      freemsg(mp);
    }
    stream_wake(st);
    return 0;
  }
  case M_HANGUP:
    st->hangup = true;
    freemsg(mp);
    mutex_exit(&st->lock);
    stream_wake(st);
    return 0;
  case M_UNHANGUP:
    st->hangup = false;
    freemsg(mp);
    mutex_exit(&st->lock);
    stream_wake(st);
    return 0;
  case M_ERROR: {
    auto n = mp->b_wptr - mp->b_rptr;
    if (n >= 1) {
      st->rerror = mp->b_rptr[0];
      st->werror = n >= 2 ? mp->b_rptr[1] : mp->b_rptr[0];
    }
    freemsg(mp);
    if (st->rerror != 0) {
      head_flush_read(st);
    }
    mutex_exit(&st->lock);
    stream_wake(st);
    return 0;
  }
  case M_IOCACK:
  case M_IOCNAK:
  case M_COPYIN:
  case M_COPYOUT: {
    auto* ioc = reinterpret_cast<iocblk*>(mp->b_rptr);
    bool ours = st->ioc_busy && st->ioc_reply == nullptr &&
                static_cast<std::size_t>(mp->b_wptr - mp->b_rptr) >= sizeof(iocblk) &&
                ioc->ioc_id == st->ioc_id;
    if (ours) {
      st->ioc_reply = mp;
      cv_broadcast(&st->cv);
    } else {
      freemsg(mp);
    }
    break;
  }
  default:
    // M_BREAK, M_CTL, M_PROTO and the rest mean nothing to a program reading the stream.
    freemsg(mp);
    break;
  }
  mutex_exit(&st->lock);
  return 0;
}

int head_wput(queue_t* /*q*/, mblk_t* mp) {
  freemsg(mp);
  return 0;
}

module_info head_rinfo = {0, "strrhead", 0, INFPSZ, kHeadHiwat, kHeadLowat};
module_info head_winfo = {0, "strwhead", 0, INFPSZ, 0, 0};
qinit head_rinit = {head_rput, nullptr, nullptr, nullptr, nullptr, &head_rinfo, nullptr};
qinit head_winit = {head_wput, nullptr, nullptr, nullptr, nullptr, &head_winfo, nullptr};

// ---- Building and tearing down ----------------------------------------------------------------

std::unique_ptr<QueuePair> new_pair(Stream* st, qinit* r, qinit* w) {
  auto qp = std::make_unique<QueuePair>();
  init_queue_pair(*qp, r, w);
  qp->stream = st;
  return qp;
}

void free_pair(std::unique_ptr<QueuePair>& qp) {
  if (qp) {
    drain_queue_pair(*qp);
    qp.reset();
  }
}

void free_queues(Stream* st) {
  for (auto& m : st->modules) {
    free_pair(m);
  }
  st->modules.clear();
  free_pair(st->driver);
  free_pair(st->head);
  if (st->ioc_reply != nullptr) {
    freemsg(st->ioc_reply);
    st->ioc_reply = nullptr;
  }
}

void reset_head_state(Stream* st) {
  st->hangup = false;
  st->rerror = 0;
  st->werror = 0;
  st->istty = false;
  st->readopt = RNORM;
  st->ndelon = true;
  st->mreadon = false;
}

void destroy_if_unused(Stream* st) {
  if (st->refs != 0 || st->busy || st->driver_open) {
    return;
  }
  free_queues(st);
  cv_destroy(&st->cv);
  mutex_destroy(&st->lock);
  streams().erase(st->dev);
}

void set_busy(Stream* st, bool on) {
  mutex_enter(&st->lock);
  st->busy = on;
  if (!on) {
    cv_broadcast(&st->cv);
  }
  mutex_exit(&st->lock);
}

void close_driver(Stream* st, int flags, cred_t* cr) {
  queue_t* drq = &st->driver->q[0];
  if (drq->q_qinfo->qi_qclose != nullptr) {
    drq->q_qinfo->qi_qclose(drq, flags, cr);
  }
}

// Pops every module and closes the driver; the stream's queues go with them.
void last_close(Stream* st, int flags, cred_t* cr) {
  set_busy(st, true);
  while (!st->modules.empty()) {
    stream_pop(st, flags, cr);
  }
  close_driver(st, flags, cr);
  st->driver_open = false;
  free_queues(st);
  set_busy(st, false);
  destroy_if_unused(st);
}

int first_open(Stream* st, int flags, cred_t* cr) {
  reset_head_state(st);
  st->head = new_pair(st, &head_rinit, &head_winit);
  st->head->q[0].q_flag |= QHEAD;
  st->head->q[1].q_flag |= QHEAD;
  st->driver = new_pair(st, st->driver_tab->st_rdinit, st->driver_tab->st_wrinit);
  stream_relink(st);

  dev_t dev = st->dev;
  queue_t* drq = &st->driver->q[0];
  int err = drq->q_qinfo->qi_qopen(drq, &dev, flags, 0, cr);
  if (err != 0) {
    free_queues(st);
    return err;
  }
  st->driver_open = true;

  for (const std::string& name : autopush_for(st->dev)) {
    streamtab* tab = find_module(name);
    err = tab == nullptr ? EINVAL : stream_push(st, tab, name, flags, cr);
    if (err != 0) {
      while (!st->modules.empty()) {
        stream_pop(st, flags, cr);
      }
      close_driver(st, flags, cr);
      st->driver_open = false;
      free_queues(st);
      return err;
    }
  }
  return 0;
}

int reopen(Stream* st, int flags, cred_t* cr) {
  dev_t dev = st->dev;
  for (auto& m : st->modules) {
    queue_t* rq = &m->q[0];
    if (int err = rq->q_qinfo->qi_qopen(rq, &dev, flags, MODOPEN, cr); err != 0) {
      return err;
    }
  }
  queue_t* drq = &st->driver->q[0];
  return drq->q_qinfo->qi_qopen(drq, &dev, flags, 0, cr);
}

// ---- Reading ------------------------------------------------------------------------------------

// Copies from the head of the read queue under the stream's read option. Returns the bytes
// copied; *eof when a zero-length message was consumed.
std::size_t take_data(Stream* st, std::span<std::byte> buf) {
  queue_t* q = st->rq();
  std::size_t done = 0;
  std::size_t taken = 0; // bytes leaving q_count
  while (mblk_t* mp = q->q_first) {
    std::size_t size = msg_bytes(mp);
    if (size == 0) {
      if (done == 0) {
        queue_unlink(q, mp);
        freemsg(mp);
      }
      break;
    }
    for (mblk_t* b = mp; b != nullptr && done < buf.size(); b = b->b_cont) {
      auto avail = static_cast<std::size_t>(b->b_wptr - b->b_rptr);
      std::size_t k = std::min(avail, buf.size() - done);
      std::memcpy(buf.data() + done, b->b_rptr, k);
      b->b_rptr += k;
      done += k;
      taken += k;
    }
    std::size_t left = msg_bytes(mp);
    if (left == 0 || st->readopt == RMSGD) {
      queue_unlink(q, mp);
      taken += left;
      freemsg(mp);
    }
    if (st->readopt != RNORM || done == buf.size()) {
      break;
    }
  }
  queue_count_sub(q, taken);
  return done;
}

void send_read_request(Stream* st, std::size_t count) {
  mblk_t* mp = alloc_block(sizeof(std::size_t), false);
  mp->b_datap->db_type = M_READ;
  std::memcpy(mp->b_wptr, &count, sizeof count);
  mp->b_wptr += sizeof count;
  putnext(st->wq(), mp);
}

std::size_t write_chunk_limit(Stream* st) {
  std::size_t limit = kWriteCeiling;
  for (queue_t* q = st->wq()->q_next; q != nullptr; q = q->q_next) {
    if (q->q_maxpsz > 0) {
      limit = std::min(limit, static_cast<std::size_t>(q->q_maxpsz));
    }
  }
  return limit;
}

} // namespace

// ---- Shared with the ioctl file
// -------------------------------------------------------------------

void head_write_enabled(queue_t* head_wq) {
  stream_wake(stream_of(head_wq));
}

void stream_wake(Stream* st) {
  cv_broadcast(&st->cv);
  for (OpenFile* f : st->files) {
    if (f->notify) {
      f->notify();
    }
  }
}

void stream_relink(Stream* st) {
  std::vector<QueuePair*> chain{st->head.get()};
  for (auto& m : st->modules) {
    chain.push_back(m.get());
  }
  chain.push_back(st->driver.get());
  for (QueuePair* qp : chain) {
    for (queue_t& q : qp->q) {
      q.q_next = nullptr;
      q.q_back = nullptr;
    }
  }
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    link_pairs(*chain[i], *chain[i + 1]);
  }
}

int stream_push(Stream* st, streamtab* tab, std::string_view name, int flags, cred_t* cr) {
  if (tab->st_rdinit == nullptr || tab->st_wrinit == nullptr ||
      tab->st_rdinit->qi_qopen == nullptr) {
    return EINVAL;
  }
  st->modules.insert(st->modules.begin(), new_pair(st, tab->st_rdinit, tab->st_wrinit));
  st->modules.front()->name = std::string(name);
  stream_relink(st);
  dev_t dev = st->dev;
  queue_t* rq = &st->modules.front()->q[0];
  int err = rq->q_qinfo->qi_qopen(rq, &dev, flags, MODOPEN, cr);
  if (err != 0) {
    free_pair(st->modules.front());
    st->modules.erase(st->modules.begin());
    stream_relink(st);
  }
  return err;
}

void stream_pop(Stream* st, int flags, cred_t* cr) {
  queue_t* rq = &st->modules.front()->q[0];
  if (rq->q_qinfo->qi_qclose != nullptr) {
    rq->q_qinfo->qi_qclose(rq, flags, cr);
  }
  free_pair(st->modules.front());
  st->modules.erase(st->modules.begin());
  stream_relink(st);
}

// ---- Opening ------------------------------------------------------------------------------------

int stream_open(streamtab* tab, dev_t dev, int flags, const cred_t* cred, StreamFile& out) {
  if (tab == nullptr || tab->st_rdinit == nullptr || tab->st_wrinit == nullptr ||
      tab->st_rdinit->qi_qopen == nullptr) {
    return ENXIO;
  }
  cred_t cr = cred != nullptr ? *cred : *ddi_get_cred();
  auto& all = streams();
  auto it = all.find(dev);
  if (it == all.end()) {
    auto st = std::make_unique<Stream>();
    st->dev = dev;
    st->driver_tab = tab;
    mutex_init(&st->lock, "sthead", MUTEX_DRIVER, nullptr);
    cv_init(&st->cv, "sthead_cv", CV_DRIVER, nullptr);
    it = all.emplace(dev, std::move(st)).first;
  }
  Stream* st = it->second.get();
  if (st->driver_tab != tab) {
    return ENXIO; // the number belongs to another driver
  }

  ++st->refs;
  mutex_enter(&st->lock);
  while (st->busy) {
    if (cv_wait_sig(&st->cv, &st->lock) == 0) {
      mutex_exit(&st->lock);
      --st->refs;
      destroy_if_unused(st);
      return EINTR;
    }
  }
  st->busy = true;
  mutex_exit(&st->lock);

  int err = st->driver_open ? reopen(st, flags, &cr) : first_open(st, flags, &cr);
  set_busy(st, false);
  if (err != 0) {
    if (--st->refs == 0 && st->driver_open) {
      last_close(st, flags, &cr);
    } else {
      destroy_if_unused(st);
    }
    return err;
  }

  auto f = std::make_shared<OpenFile>();
  f->stream = st;
  f->dev = dev;
  f->flags = flags;
  st->files.push_back(f.get());
  if (out.f_ && out.f_->stream != nullptr) {
    out.close();
  }
  out.f_ = std::move(f);
  return 0;
}

std::size_t streams_open_count() {
  return static_cast<std::size_t>(std::count_if(
      streams().begin(), streams().end(), [](const auto& kv) { return kv.second->refs > 0; }));
}

std::size_t discard_all_streams() {
  auto& all = streams();
  std::size_t n = all.size();
  for (auto& [dev, st] : all) {
    for (OpenFile* f : st->files) {
      f->stream = nullptr;
    }
    free_queues(st.get());
  }
  all.clear();
  return n;
}

// ---- StreamFile ---------------------------------------------------------------------------------

StreamFile::StreamFile() = default;
StreamFile::~StreamFile() = default;
StreamFile::StreamFile(StreamFile&&) noexcept = default;
StreamFile& StreamFile::operator=(StreamFile&&) noexcept = default;

bool StreamFile::is_open() const {
  return f_ && f_->stream != nullptr;
}
dev_t StreamFile::dev() const {
  return f_ ? f_->dev : 0;
}
int StreamFile::flags() const {
  return f_ ? f_->flags : 0;
}

void StreamFile::set_flags(int flags) {
  if (f_) {
    constexpr int kMutable = FNDELAY | FNONBLOCK;
    f_->flags = (f_->flags & ~kMutable) | (flags & kMutable);
  }
}

void StreamFile::set_notify(std::function<void()> fn) {
  if (f_) {
    f_->notify = std::move(fn);
  }
}

int StreamFile::close() {
  if (!is_open()) {
    return EBADF;
  }
  Stream* st = f_->stream;
  std::erase(st->files, f_.get());
  f_->stream = nullptr;
  if (--st->refs == 0) {
    last_close(st, f_->flags, ddi_get_cred());
  }
  return 0;
}

IoResult StreamFile::read(std::span<std::byte> buf) {
  if (!is_open() || (f_->flags & FREAD) == 0) {
    return {-1, EBADF};
  }
  Stream* st = f_->stream;
  IoResult r;
  mutex_enter(&st->lock);
  for (;;) {
    if (st->rerror != 0) {
      r = {-1, st->rerror};
      break;
    }
    if (st->rq()->q_first != nullptr) {
      r.value = static_cast<long>(take_data(st, buf));
      break;
    }
    if (st->hangup) {
      break; // end of file
    }
    if ((f_->flags & FNONBLOCK) != 0) {
      r = {-1, EAGAIN};
      break;
    }
    if ((f_->flags & FNDELAY) != 0) {
      if (!st->ndelon) {
        r = {-1, EAGAIN};
      }
      break;
    }
    if (st->mreadon) {
      mutex_exit(&st->lock);
      send_read_request(st, buf.size());
      mutex_enter(&st->lock);
      if (st->rq()->q_first != nullptr || st->hangup || st->rerror != 0) {
        continue;
      }
    }
    if (cv_wait_sig(&st->cv, &st->lock) == 0) {
      r = {-1, EINTR};
      break;
    }
  }
  mutex_exit(&st->lock);
  return r;
}

IoResult StreamFile::write(std::span<const std::byte> buf) {
  if (!is_open() || (f_->flags & FWRITE) == 0) {
    return {-1, EBADF};
  }
  Stream* st = f_->stream;
  std::size_t done = 0;
  auto partial = [&](int err) {
    return done > 0 ? IoResult{static_cast<long>(done), 0} : IoResult{-1, err};
  };
  IoResult r;
  mutex_enter(&st->lock);
  while (done < buf.size()) {
    if (st->werror != 0) {
      r = partial(st->werror);
      break;
    }
    if (st->hangup) {
      r = partial(EIO);
      break;
    }
    if (canputnext(st->wq()) == 0) {
      if ((f_->flags & FNONBLOCK) != 0) {
        r = partial(EAGAIN);
        break;
      }
      if ((f_->flags & FNDELAY) != 0) {
        r = st->ndelon ? IoResult{static_cast<long>(done), 0} : partial(EAGAIN);
        break;
      }
      if (cv_wait_sig(&st->cv, &st->lock) == 0) {
        r = partial(EINTR);
        break;
      }
      continue;
    }
    std::size_t n = std::min(buf.size() - done, write_chunk_limit(st));
    mblk_t* mp = alloc_block(n, false);
    std::memcpy(mp->b_wptr, buf.data() + done, n);
    mp->b_wptr += n;
    done += n;
    mutex_exit(&st->lock);
    putnext(st->wq(), mp);
    mutex_enter(&st->lock);
    r = {static_cast<long>(done), 0};
  }
  mutex_exit(&st->lock);
  return r;
}

unsigned StreamFile::poll() {
  if (!is_open()) {
    return kPollErr;
  }
  Stream* st = f_->stream;
  unsigned r = 0;
  if (st->rq()->q_first != nullptr) {
    r |= kPollIn;
  }
  if (st->hangup) {
    r |= kPollHup;
  }
  if (st->rerror != 0 || st->werror != 0) {
    r |= kPollErr;
  }
  if (!st->hangup && canputnext(st->wq()) != 0) {
    r |= kPollOut;
  }
  return r;
}

bool StreamFile::is_tty() const {
  return is_open() && f_->stream->istty;
}

IoResult StreamFile::ioctl(int cmd, std::intptr_t arg) {
  if (!is_open()) {
    return {-1, EBADF};
  }
  return stream_ioctl(*f_, cmd, arg);
}

} // namespace kemu

// Fixture for the open/close machine, line parameters, modem signals and status changes.
//
// The STREAMS entry points are not used: tests feed the machine the inputs that qdopen and
// qdclose feed it (open_line, close_line) and drive blocking opens as spawned tasks. A
// ScriptedUnit plays the unit: it takes the commands queued on the unit's outgoing chain
// (a Lanvara unit whose unit node is closed keeps them there; a SCSI unit here has its
// transport busy, so kicks leave them too), answers each as a unit would, with scriptable
// statuses and silences, and hands the answers to qdf_procrecv. A LineStream stands above
// an open line and records what the driver sends up.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "kemu/streams.h"
#include "ksys/stream.h"
#include "ksys/termios.h"
#include "ksys/time.h"

namespace oc_test {

using Cmd = std::array<unsigned char, 8>;

struct SeenCmd {
  Cmd b;
  clock_t at; // lbolt when the unit took it
};

// A unit at the far end of the outgoing chain.
class ScriptedUnit {
public:
  explicit ScriptedUnit(qd_unit* up) : up_(up) {}
  ScriptedUnit(const ScriptedUnit&) = delete;
  ScriptedUnit& operator=(const ScriptedUnit&) = delete;
  ~ScriptedUnit() { EXPECT_EQ(tid_, nullptr) << "stop_serving() before the unit goes"; }

  qd_unit* unit() const { return up_; }

  // Status byte of every answer to op (0 by default).
  void set_status(unsigned char op, unsigned char status) { status_[op] = status; }
  // No answer at all to op while on.
  void silence(unsigned char op, bool on = true) {
    if (on) {
      silent_.insert(op);
    } else {
      silent_.erase(op);
    }
  }
  // Output the port still has to send: FAS_DISABLE is answered only after a flush.
  void output_stuck(unsigned line, bool on = true) { stuck_[line] = on; }

  // The port's signals. A change answers the outstanding status request.
  void set_carrier(unsigned line, bool on) { set_state(line, on ? 0x04 : 0x00); }
  void set_state(unsigned line, unsigned char state) {
    state_[line] = state;
    if (stat_pending_.contains(line) && reported_[line] != state) {
      stat_pending_.erase(line);
      queue_answer({FAS_STAT_CHG, static_cast<unsigned char>(line), 0, state});
    }
  }

  // Takes every queued command and answers it. Call inside a kernel context; takes the
  // unit mutex itself.
  void serve() {
    mutex_enter(&up_->unit_mutex);
    serve_locked();
    mutex_exit(&up_->unit_mutex);
  }
  // The same, with the unit mutex held by the caller.
  void serve_locked() {
    take_commands();
    deliver();
  }
  // Hands one answer to the answer dispatch now; the caller holds the unit mutex.
  void answer_now(const Cmd& a) {
    answers_.push_back(a);
    deliver();
  }
  // Serves every `period` ticks from a callout until stop_serving().
  void start_serving(clock_t period = 1) {
    period_ = period;
    if (tid_ == nullptr) {
      tid_ = timeout(&ScriptedUnit::tick, this, period_);
    }
  }
  // Call inside a kernel context.
  void stop_serving() {
    if (tid_ != nullptr) {
      untimeout(tid_);
      tid_ = nullptr;
    }
  }

  // Every command taken so far, in order.
  const std::vector<SeenCmd>& seen() const { return seen_; }
  std::vector<SeenCmd> seen(unsigned char op, int line = -1) const {
    std::vector<SeenCmd> out;
    std::copy_if(seen_.begin(), seen_.end(), std::back_inserter(out),
                 [&](const SeenCmd& c) { return c.b[0] == op && (line < 0 || c.b[1] == line); });
    return out;
  }
  std::vector<unsigned char> opcodes(int line = -1) const {
    std::vector<unsigned char> out;
    for (const SeenCmd& c : seen_) {
      if (line < 0 || c.b[1] == line) {
        out.push_back(c.b[0]);
      }
    }
    return out;
  }
  void forget() { seen_.clear(); }

private:
  static void tick(void* arg) {
    auto* u = static_cast<ScriptedUnit*>(arg);
    u->serve();
    u->tid_ = timeout(&ScriptedUnit::tick, u, u->period_);
  }

  unsigned char status_of(unsigned char op) const {
    auto it = status_.find(op);
    return it == status_.end() ? 0 : it->second;
  }

  void take_commands() {
    while (qd_pkt* pkt = up_->pkt_head) {
      const unsigned char* p = pkt->data;
      while (p < pkt->qd_wptr) {
        const int n = size_faspkt(p, 0);
        Cmd c{};
        std::memcpy(c.data(), p, 8);
        seen_.push_back({c, ddi_get_lbolt()});
        answer(c);
        p += n;
      }
      up_->pkt_head = pkt->next;
      qdm_freepkt(pkt);
    }
    up_->pkt_tail = nullptr;
  }

  void answer(const Cmd& c) {
    const unsigned char op = c[0];
    const unsigned line = c[1];
    if (silent_.contains(op)) {
      return;
    }
    const unsigned char st = status_of(op);
    switch (op) {
    case FAS_RECV:
      return; // no input: the grant stays with the unit
    case FAS_STAT_CHG:
      if ((c[2] & 0x80) != 0 || reported_[line] != state_[line]) {
        reported_[line] = state_[line];
        queue_answer({op, static_cast<unsigned char>(line), st, state_[line]});
      } else {
        stat_pending_.insert(line);
      }
      return;
    case FAS_OUTPUT_CTRL:
      if (c[2] == 1 || c[3] == 0) { // flush
        stuck_[line] = false;
        if (disable_held_.erase(line) != 0) {
          queue_answer({FAS_DISABLE, static_cast<unsigned char>(line), status_of(FAS_DISABLE)});
        }
      }
      break;
    case FAS_DISABLE:
      stat_pending_.erase(line);
      if (stuck_[line]) {
        disable_held_.insert(line);
        return;
      }
      break;
    default:
      break;
    }
    queue_answer({op, static_cast<unsigned char>(line), st});
  }

  void queue_answer(std::initializer_list<unsigned char> bytes) {
    Cmd a{};
    std::copy(bytes.begin(), bytes.end(), a.begin());
    if (a[0] == FAS_STAT_CHG) {
      reported_[a[1]] = a[3];
    }
    answers_.push_back(a);
  }

  // Into the receive packet, then through the answer dispatch (under the unit mutex).
  void deliver() {
    if (answers_.empty()) {
      return;
    }
    qd_pkt* r = up_->qdu_rcvpkt;
    if (qdu_is_lanvara(up_)) {
      for (const Cmd& a : answers_) {
        std::memcpy(r->qd_wptr, a.data(), 8);
        r->qd_wptr += 8;
        r->space_remaining -= 8;
      }
    } else {
      unsigned char* p = r->data;
      for (const Cmd& a : answers_) {
        std::memcpy(p, a.data(), 8);
        p += 8;
      }
      *p++ = PKT_END;
      r->qd_rptr = r->data;
      r->qd_wptr = p;
    }
    answers_.clear();
    qdf_procrecv(up_);
  }

  qd_unit* up_;
  std::map<unsigned char, unsigned char> status_;
  std::set<unsigned char> silent_;
  std::map<unsigned, unsigned char> state_;
  std::map<unsigned, unsigned char> reported_;
  std::set<unsigned> stat_pending_;
  std::map<unsigned, bool> stuck_;
  std::set<unsigned> disable_held_;
  std::vector<Cmd> answers_;
  std::vector<SeenCmd> seen_;
  timeout_id_t tid_ = nullptr;
  clock_t period_ = 1;
};

// The stream above an open line: records the type of every message sent up.
class LineStream {
public:
  LineStream() {
    head_ = kemu::make_queue_pair(&head_rinit_, nullptr);
    drv_ = kemu::make_queue_pair(nullptr, nullptr);
    kemu::link_pairs(*head_, *drv_);
    head_rinit_.qi_putp = &LineStream::head_put;
    kemu::read_queue(*head_)->q_ptr = this;
  }
  queue_t* read_queue() { return kemu::read_queue(*drv_); }
  queue_t* write_queue() { return WR(read_queue()); }
  // Types of the messages that reached the head, oldest first.
  std::vector<unsigned char> types;

private:
  static int head_put(queue_t* q, mblk_t* mp) {
    static_cast<LineStream*>(q->q_ptr)->types.push_back(mp->b_datap->db_type);
    freemsg(mp);
    return 0;
  }
  qinit head_rinit_{};
  kemu::QueuePairPtr head_;
  kemu::QueuePairPtr drv_;
};

enum class Node { dialin, dialout };

} // namespace oc_test

class OpenCloseFixture : public DriverFixture {
protected:
  using Cmd = oc_test::Cmd;
  using Node = oc_test::Node;
  using ScriptedUnit = oc_test::ScriptedUnit;
  using LineStream = oc_test::LineStream;

  void TearDown() override {
    run([this] {
      for (auto& u : units_) {
        u->stop_serving();
      }
      if (clock_tid_ != nullptr) {
        untimeout(clock_tid_);
        clock_tid_ = nullptr;
      }
      for (qd_line* lp : lines_) {
        mutex_enter(lp->unit_mutex);
        detach(lp);
        qdf_guard_cancel(lp);
        mutex_exit(lp->unit_mutex);
      }
    });
    units_.clear();
    streams_.clear();
    DriverFixture::TearDown();
  }

  // An online Lanvara unit with its unit node closed. Call inside run().
  ScriptedUnit& lanvara(const char* model = "Lanvara16S-230A", int n = 0) {
    qd_unit* up = make_unit(model, -1, n);
    up->qdu_flags &= ~QDU_OFFLINE;
    up->qdu_flags |= QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
    up->qdu_max_send = max_send(up);
    return *units_.emplace_back(std::make_unique<ScriptedUnit>(up));
  }
  // A SCSI unit that is up, with its transport busy (a READ outstanding), so that kicks
  // leave the queued commands on the chain for the scripted unit. Its last port holds the
  // unit up, so that closes do not take it down (which would need a SCSI target). Call
  // inside run().
  ScriptedUnit& scsi(const char* model, int bus = 0, int target = 3) {
    qd_unit* up = make_unit(model, bus, target);
    up->qdu_flags &= ~QDU_OFFLINE;
    up->qdu_flags |= QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
    up->qdu_state = SFSM_RECEIVING;
    up->qdu_max_send = max_send(up);
    qd_line* holder = make_line(up, static_cast<unsigned>(up->qdu_info->nlines - 1));
    holder->qdl_flags = QDL_INITDEINIT;
    return *units_.emplace_back(std::make_unique<ScriptedUnit>(up));
  }

  // A port's record as its first open leaves it (printers: local, no watchdogs). Call
  // inside run().
  qd_line* port(ScriptedUnit& u, unsigned line) {
    qd_unit* up = u.unit();
    qd_line* lp = make_line(up, line);
    const int kind = qdf_port_type(up->qdu_info, line);
    if (qd_port_is_parallel(kind)) {
      lp->qdl_flags |= QDL_PARALLEL | QDL_LOCAL;
      lp->parq = static_cast<qd_parq*>(qd_malloc(sizeof(qd_parq)));
      lp->parq->rptr = lp->parq->wptr = lp->parq->data;
      lp->parq->endptr = lp->parq->data + QD_PARQ_SIZE;
      lp->cltmr = lp->lcltmr = lp->louttmr = lp->outtmr = 0;
    }
    lines_.push_back(lp);
    return lp;
  }

  static minor_t minor_of(const qd_line* lp, Node node) {
    const qd_unit* up = lp->unit;
    minor_t m = lp->line_num;
    if (qdu_is_lanvara(up)) {
      m |= QD_MINOR_LANVARA | static_cast<minor_t>(up->qdu_target) << 8;
    } else {
      m |= static_cast<minor_t>(up->qdu_bus << 12 | up->qdu_target << 8);
    }
    return node == Node::dialout ? (m | QD_MINOR_DIALOUT) : m;
  }

  // What qdopen feeds the machine for an open of the node, and what it does on success
  // (with a stream attached when `stream` is given). Returns the open's errno. Call inside
  // a kernel context, without the unit mutex.
  int open_line(qd_line* lp, Node node, bool nonblock, LineStream* stream = nullptr) {
    mutex_enter(lp->unit_mutex);
    const int err = open_locked(lp, node, nonblock);
    if (err == 0) {
      lp->qdl_flags |= node == Node::dialout ? QDL_DIALOUT_OPEN : QDL_DIALIN_OPEN;
      lp->qdl_minor = minor_of(lp, node);
      if (stream != nullptr) {
        lp->tty.t_readq = stream->read_queue();
        lp->tty.t_writeq = stream->write_queue();
        stream->read_queue()->q_ptr = stream->write_queue()->q_ptr = lp;
      }
      lp->output = (lp->qdl_flags & QDL_PARALLEL) != 0 ? qdf_parallel_output : qdf_serial_output;
      lp->qdl_flags &= ~QDL_HELD;
      qdf_set_modem_sigs(lp, TIOCM_DTR | TIOCM_RTS, TIOCMSET, 0);
    }
    mutex_exit(lp->unit_mutex);
    return err;
  }

  // What qdclose does for the node once its output is done: the stream is let go, then the
  // machine gets the close. Call inside a kernel context, without the unit mutex.
  void close_line(qd_line* lp, Node node) {
    mutex_enter(lp->unit_mutex);
    detach(lp);
    if (node == Node::dialout) {
      lp->qdl_flags &= ~QDL_DIALOUT_OPEN;
      qdf_oc_manager(lp, OC_IN_CLOSE_DIALOUT);
    } else {
      lp->qdl_flags &= ~QDL_DIALIN_OPEN;
      lp->last_dialin_close = qd_systime;
      qdf_oc_manager(lp, OC_IN_CLOSE);
    }
    mutex_exit(lp->unit_mutex);
  }

  // A stream that lives as long as the test.
  LineStream* stream() { return streams_.emplace_back(std::make_unique<LineStream>()).get(); }

  // Runs body with the line's unit mutex held.
  void locked(qd_line* lp, const std::function<void()>& body) {
    run([&] {
      mutex_enter(lp->unit_mutex);
      body();
      mutex_exit(lp->unit_mutex);
    });
  }

  // The driver clock: qd_systime and the qd_lbolt broadcast, once a second, as the driver
  // timer keeps them.
  void start_clock() {
    run([this] { clock_tid_ = timeout(&OpenCloseFixture::clock_tick, this, hz); });
  }

  // The console since the last look, without the notes of trace rings being set up.
  static std::string messages() {
    std::string out;
    std::istringstream in(console());
    for (std::string line; std::getline(in, line);) {
      if (line.find("trcbuf at ") == std::string::npos) {
        out += line + "\n";
      }
    }
    return out;
  }

  static bool has(const std::vector<unsigned char>& v, unsigned char x) {
    return std::find(v.begin(), v.end(), x) != v.end();
  }

private:
  static int max_send(const qd_unit* up) {
    switch (up->qdu_info->code & 0xff) {
    case 13:
      return 574;
    case 15:
      return 1150;
    case 34:
      return 2302;
    default:
      return 4606;
    }
  }

  static int open_locked(qd_line* lp, Node node, bool nonblock) {
    if ((lp->qdl_flags & (QDL_OFFLINE | QDL_ENABLED)) == (QDL_OFFLINE | QDL_ENABLED)) {
      return EBUSY;
    }
    if (node == Node::dialout) {
      if (qd_systime - lp->last_dialin_close <= 14) {
        return EAGAIN;
      }
      return qdf_oc_manager(lp, OC_IN_OPEN_DIALOUT) != 0 ? EBUSY : 0;
    }
    const auto failed = [lp] {
      const int e = lp->open_error;
      lp->open_error = 0;
      return e;
    };
    if (nonblock || (lp->qdl_flags & QDL_LOCAL) != 0 || (lp->tty.t_cflag & CLOCAL) != 0) {
      return qdf_oc_manager(lp, OC_IN_OPEN_LOCAL) != 0 ? failed() : 0;
    }
    if (qdf_oc_manager(lp, OC_IN_OPEN_MODEM) != 0) {
      return failed();
    }
    if (qdf_oc_manager(lp, OC_IN_CARRIER_CHECK) != 0 && qdf_wait_for_carrier(lp) != 0) {
      return EINTR;
    }
    return 0;
  }

  static void detach(qd_line* lp) {
    if (lp->tty.t_readq != nullptr) {
      lp->tty.t_readq->q_ptr = nullptr;
      lp->tty.t_writeq->q_ptr = nullptr;
    }
    lp->tty.t_readq = nullptr;
    lp->tty.t_writeq = nullptr;
  }

  static void clock_tick(void* arg) {
    auto* f = static_cast<OpenCloseFixture*>(arg);
    ++qd_systime;
    cv_broadcast(&qd_lbolt);
    f->clock_tid_ = timeout(&OpenCloseFixture::clock_tick, f, hz);
  }

protected:
  std::vector<std::unique_ptr<ScriptedUnit>> units_;
  std::vector<std::unique_ptr<LineStream>> streams_;
  std::vector<qd_line*> lines_;
  timeout_id_t clock_tid_ = nullptr;
};

// The driver's hot paths, each alone on the emulated kernel: the packet pool, reservations
// at a unit's chain, trace records, the answer dispatch over a batch, and received data
// under each of the termios input rules.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "bench_meter.h"
#include "driver_env.h"
#include "kemu/console.h"

namespace qdbench {
namespace {

constexpr const char* kModel = "QMX-16S-115A"; // 4096-byte packets

const char* trace_mode_name() {
  switch (qd_trace_mode) {
  case qd_trace_mode_t::global:
    return "trace=global";
  case qd_trace_mode_t::unit:
    return "trace=unit";
  case qd_trace_mode_t::line:
    return "trace=line";
  case qd_trace_mode_t::none:
    break;
  }
  return "trace=none";
}

// Runs body inside the kernel holding the unit's mutexes as a SCSI completion holds them.
void with_unit_locked(DriverEnv& env, qd_unit* up, const std::function<void()>& body) {
  env.run([&] {
    mutex_enter(&up->intr_mutex);
    mutex_enter(&up->unit_mutex);
    body();
    mutex_exit(&up->unit_mutex);
    mutex_exit(&up->intr_mutex);
  });
}

// ---- Packet pool ---------------------------------------------------------------------------

void BM_PacketTakeReturn(benchmark::State& state) {
  const int len = static_cast<int>(state.range(0));
  DriverEnv env;
  env.run([&] {
    qdm_freepkt(qdm_getpkt(len)); // the pool's first six packets, made outside the loop
    AllocationMeter meter(env.kernel());
    for (auto _ : state) {
      qd_pkt* pkt = qdm_getpkt(len);
      benchmark::DoNotOptimize(pkt);
      qdm_freepkt(pkt);
    }
    meter.report(state);
  });
  state.SetBytesProcessed(state.iterations() * QD_PKT_DATA); // both fills together
  state.counters["pool"] = qd_pkts.qd_pkt_cnt;
}
BENCHMARK(BM_PacketTakeReturn)->Arg(2048)->Arg(4096);

// ---- Reservations at the tail of a unit's chain ----------------------------------------------

// Arg 0: an 8-byte command (an input grant). Arg n: a FAS_SEND as the serial output path
// builds it: room asked, header reserved, up to n data bytes reserved and copied. The
// chain goes back to the pool once it holds four packets, as the transport would take it.
void BM_ChainReserve(benchmark::State& state) {
  const int data = static_cast<int>(state.range(0));
  const std::vector<unsigned char> src(static_cast<std::size_t>(std::max(data, 1)), 'x');
  DriverEnv env;
  qd_unit* up = nullptr;
  env.run([&] { up = DriverEnv::make_unit(kModel, 3); });
  std::int64_t bytes = 0;
  qd_pkt* tail = nullptr;
  int packets = 0;
  const auto reserve = [&] {
    if (data == 0) {
      unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE);
      cmd[0] = FAS_RECV;
      cmd[1] = 1;
      cmd[2] = 0x80;
      cmd[3] = 1;
      bytes += FAS_HDR_SIZE;
    } else {
      const int room = qdm_spaceleft(up);
      unsigned char* hdr = qdm_putfas(up, FAS_HDR_SIZE);
      const int n = std::min(room, data);
      std::memcpy(qdm_putfas(up, n), src.data(), static_cast<std::size_t>(n));
      hdr[0] = FAS_SEND;
      hdr[1] = 1;
      fas_put16(hdr + 2, static_cast<unsigned>(n));
      bytes += FAS_HDR_SIZE + n;
    }
    if (up->pkt_tail != tail && ++packets > 4) {
      qdm_freechain(up);
      packets = 0;
    }
    tail = up->pkt_tail;
  };
  with_unit_locked(env, up, [&] {
    for (int i = 0; i < 1000; ++i) {
      reserve(); // the pool grows to what the loop needs before it is measured
    }
    bytes = 0;
    AllocationMeter meter(env.kernel());
    for (auto _ : state) {
      reserve();
    }
    qdm_freechain(up);
    meter.report(state);
  });
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
  state.counters["pool"] = qd_pkts.qd_pkt_cnt;
}
BENCHMARK(BM_ChainReserve)->Arg(0)->Arg(64)->Arg(1024);

// ---- Trace records -----------------------------------------------------------------------

// Characters a record stored: how far the ring's cursor moved (with wrap).
std::size_t stored_by(qd_trace_ring* ring, const std::function<void()>& record) {
  if (ring == nullptr) {
    return 0;
  }
  const char* before = ring->cursor;
  record();
  return static_cast<std::size_t>((ring->cursor - before + QD_TRC_SIZE) % QD_TRC_SIZE);
}

// Records of the line layer into the ring the build's trace mode gives them:
// 0: plain text "Start_Input\n"; 1: the input record "qdf_send_input_up count=% errflg=~ - "
// with a value and a byte; 2: qdf_logfasout, a command logged with its 8 bytes in hex.
void BM_TraceRecord(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  DriverEnv env;
  qd_line* lp = nullptr;
  const unsigned char cmd[8] = {FAS_SEND, 1, 0x40, 0, 0xCC, 0xCC, 0xCC, 0xCC};
  const auto record = [&] {
    switch (kind) {
    case 0:
      qd_trace_line(lp, "Start_Input\n");
      break;
    case 1:
      qd_trace_line(lp, "qdf_send_input_up count=% errflg=~ - ", 64u, 0u);
      break;
    default:
      qdf_logfasout(lp, cmd);
      break;
    }
  };
  std::size_t per_record = 0;
  env.run([&] {
    lp = env.make_line(DriverEnv::make_unit(kModel, 3), 1);
    per_record = stored_by(qd_line_ring(lp), record);
    AllocationMeter meter(env.kernel());
    for (auto _ : state) {
      record();
    }
    meter.report(state);
  });
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(per_record));
  state.SetLabel(trace_mode_name());
}
BENCHMARK(BM_TraceRecord)->ArgName("kind")->Arg(0)->Arg(1)->Arg(2);

// A driver-level record with two values (as the timer writes them) into the driver-wide ring.
void BM_TraceDriverRecord(benchmark::State& state) {
  DriverEnv env;
  env.run([&] {
    qd_trace_drv("bench\n"); // set-up outside the loop
    AllocationMeter meter(env.kernel());
    unsigned i = 0;
    for (auto _ : state) {
      qd_trace_drv("qd_timer: systime=% units=%\n", ++i, 4u);
    }
    meter.report(state);
  });
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(trace_mode_name());
}
BENCHMARK(BM_TraceDriverRecord);

// ---- Answer dispatch -----------------------------------------------------------------------

// A READ's batch as a unit sends it: for each of 8 lines a FAS_SEND answer and a FAS_RECV
// answer carrying `data` bytes, then PKT_END. Each answer runs its line's path: the send
// answer restarts the (empty) write queue, the receive answer sends the data up and queues
// the next input grant. Per iteration the batch is copied into the receive packet as the
// READ would, dispatched, the grants go back to the pool and the read queues are flushed.
void BM_AnswerBatch(benchmark::State& state) {
  constexpr int kLines = 8;
  const int data = static_cast<int>(state.range(0));
  std::vector<unsigned char> batch;
  for (int l = 0; l < kLines; ++l) {
    const unsigned char send[8] = {FAS_SEND, static_cast<unsigned char>(l), 0, 0, 0, 0, 0, 0};
    batch.insert(batch.end(), send, send + 8);
    unsigned char recv[8] = {FAS_RECV, static_cast<unsigned char>(l), 0, 0, 0, 0, 0, 0};
    fas_put16(recv + 4, static_cast<unsigned>(data));
    batch.insert(batch.end(), recv, recv + 8);
    for (int i = 0; i < data; ++i) {
      batch.push_back(static_cast<unsigned char>('a' + (i + l) % 26));
    }
  }
  batch.push_back(PKT_END);

  DriverEnv env;
  qd_unit* up = nullptr;
  std::array<qd_line*, kLines> lines{};
  env.run([&] {
    up = DriverEnv::make_unit(kModel, 3);
    for (int l = 0; l < kLines; ++l) {
      lines[static_cast<std::size_t>(l)] = env.make_line(up, static_cast<unsigned>(l));
    }
  });
  std::size_t delivered = 0;
  with_unit_locked(env, up, [&] {
    AllocationMeter meter(env.kernel());
    for (auto _ : state) {
      qd_pkt* r = up->qdu_rcvpkt;
      std::memcpy(r->data, batch.data(), batch.size());
      r->qd_rptr = r->data;
      r->qd_wptr = r->data + batch.size();
      qdf_procrecv(up);
      qdm_freechain(up);
      for (qd_line* lp : lines) {
        delivered += lp->tty.t_readq->q_count;
        flushq(lp->tty.t_readq, FLUSHALL);
      }
    }
    meter.report(state);
  });
  if (delivered != static_cast<std::size_t>(state.iterations()) * kLines * data) {
    state.SkipWithError("the batch's data did not all reach the read queues");
  }
  state.SetItemsProcessed(state.iterations() * 2 * kLines); // answers
  state.SetBytesProcessed(static_cast<std::int64_t>(delivered));
  state.counters["pool"] = qd_pkts.qd_pkt_cnt;
  state.SetLabel(trace_mode_name());
}
BENCHMARK(BM_AnswerBatch)->ArgName("data")->Arg(16)->Arg(256);

// ---- Received data under the input rules ---------------------------------------------------

struct InputCase {
  const char* name;
  tcflag_t iflag;
  int errtype; // 0: good data, else the FAS status of the data
};
constexpr InputCase kInputCases[] = {
    {"normal copy", 0, 0},
    {"strip copy", ISTRIP, 0},
    {"mark ff's", PARMRK, 0},
    {"expand w/ flagging", INPCK | PARMRK, FAS_ST_PARITY},
    {"turn to nulls", INPCK, FAS_ST_PARITY},
    {"dropped (IGNPAR)", INPCK | IGNPAR, FAS_ST_PARITY},
};

// Arg 0 picks the case, arg 1 the byte count of one receive answer's data.
void BM_SendInputUp(benchmark::State& state) {
  const InputCase& c = kInputCases[state.range(0)];
  const int count = static_cast<int>(state.range(1));
  std::vector<unsigned char> data(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 37); // 0xFF included
  }
  DriverEnv env;
  qd_line* lp = nullptr;
  env.run([&] { lp = env.make_line(DriverEnv::make_unit(kModel, 3), 1); });
  lp->tty.t_iflag = c.iflag;
  env.run([&] {
    mutex_enter(lp->unit_mutex);
    AllocationMeter meter(env.kernel());
    for (auto _ : state) {
      qdf_send_input_up(lp, data.data(), count, c.errtype);
      flushq(lp->tty.t_readq, FLUSHALL);
    }
    meter.report(state);
    mutex_exit(lp->unit_mutex);
  });
  state.SetBytesProcessed(state.iterations() * count);
  state.SetLabel(c.name);
}
BENCHMARK(BM_SendInputUp)
    ->ArgNames({"case", "count"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {64}})
    ->Args({0, 1024});

} // namespace
} // namespace qdbench

BENCHMARK_MAIN();

// An emulated QMX unit on a SCSI bus: a kemu::ScsiTarget around one FAS engine, plugged
// at LUN 0 of an emulated adapter (the adapter answers for other LUNs). Its row of the
// model table decides its ports, its packet size and whether it carries pods.
//
// What it answers (the choices of this emulation where the firmware's are not fixed):
//   - INQUIRY: 36 bytes of standard data (device type 9, vendor, product, revision) cut to
//     the allocation length, whatever state the unit is in. EVPD: ILLEGAL REQUEST.
//   - Readiness. For ready_delay ticks (1 s) after a firmware restart or a power cycle,
//     every command but INQUIRY and REQUEST SENSE gets CHECK CONDITION, NOT READY (key 2).
//     After that the first such command gets UNIT ATTENTION (key 6) once. A unit built
//     with warming_up false has been on for a while: ready, its power-on unit attention
//     still pending; so the driver's three TEST UNIT READYs pass at attach, and after
//     SEND DIAGNOSTIC its half-second TEST UNIT READYs see not ready, unit attention, good.
//   - TEST UNIT READY: good once ready. SEND DIAGNOSTIC with the self-test bit: firmware
//     restart (engine restarted: lines wiped, answers dropped), good; without it: good.
//   - REQUEST SENSE: the sense of the unit's last check condition, kept until a REQUEST
//     SENSE takes it; with none kept, the present condition (not ready; a pending unit
//     attention, which this consumes; else no sense). The adapter delivers sense with the
//     check condition under auto request sense, or keeps it for a REQUEST SENSE that comes
//     next; the unit's own copy answers a REQUEST SENSE that comes later (a tool's, after
//     the transport's commands came between).
//   - WRITE(6): fixed bit 0, count = the data sent. A count above the model's packet size:
//     CHECK CONDITION, ILLEGAL REQUEST with ILI, nothing carried out. The batch is the data
//     up to and including PKT_END (what follows is padding). A malformed batch (invalid
//     opcode, header cut short, FAS_SEND data past the end, no PKT_END): CHECK CONDITION,
//     ILLEGAL REQUEST (asc 0x26), nothing carried out, so that the driver's retries of the
//     same batch never carry a command out twice.
//   - READ(6): whole answers, at most min(count, packet size) - 1 bytes, then PKT_END;
//     residual = count - bytes returned. With no answer ready the READ is held until one
//     is (the engine's notice) or read_hold ticks (50 ms) pass; then PKT_END alone. On the
//     real clock a READ within active_window of the last answers is held active_hold
//     instead (see QmxUnitConfig), and a client's request to the host ends any hold once
//     the kernel has run it (what the client wrote waits in the host behind the READ).
//     Control byte 0x40: the batch of the last READ answered, unchanged - unless the host
//     has shown it has that batch (a WRITE, or a READ without 0x40, came since, whether it
//     reached the unit or the adapter answered in its place): then it is a new READ.
//   - Reprogramming mode stops the FAS firmware: WRITE(6) and READ(6) get NOT READY. Any
//     firmware restart ends it (flash_programmer.h).
//   - WRITE BUFFER mode 5 and READ BUFFER mode 1 (buffer 1: pod inventory, 0: vendor
//     status): flash_programmer.h. Refusals are ILLEGAL REQUEST or VENDOR UNIQUE (key 9).
//   - Anything else: ILLEGAL REQUEST (asc 0x20).
//   - A restart or power cycle answers a held READ with UNIT ATTENTION (the unit attention
//     stays pending for the next command).
//
// Threading: like the engine, a unit is entered by one thread at a time. The kernel's
// contexts give that (commands come inside scsi_transport, timed work as interrupt work);
// host code calls the test controls between kernel calls, or from interrupt work it
// queues (Kernel::interrupt), never from a thread of its own while the kernel runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "qdemu/fas_engine.h"
#include "qdemu/flash_programmer.h"
#include "qdemu/kernel_clock.h"
#include "qdemu/loopback_plug.h"
#include "qdemu/scripted_peer.h"
#include "qdemu/scsi_reply.h"

namespace qdemu {

inline constexpr std::uint8_t kResendControl = 0x40; // READ(6) control byte: send again

struct QmxUnitConfig {
  std::string model;               // a name of the model table
  std::string vendor = "OrvaneCo"; // or "Brannoc"; anything else tests a refusal
  std::string firmware = "V2.3";   // the 4-character revision INQUIRY reports
  std::string product{};           // INQUIRY product; empty: the model name
  std::uint8_t pods = 0x7f;        // pod models: bit n = pod n is fitted
  std::string pod_product = "QMX-POD-8S1P";
  std::string pod_firmware = "V1.0";
  Tick ready_delay = kTicksPerSecond; // not ready this long after a restart
  Tick read_hold = 5;                 // an empty READ waits this long for an answer
  // The real clock only (qdhost): while the line is busy, an empty READ waits active_hold
  // instead. The host sends nothing while its READ is held, so the hold is what a program's
  // reply (an echo) waits for; every hold costs the host a wake-up, so an idle unit keeps
  // read_hold. A READ counts as busy within active_window of the last READ that carried
  // answers. 0: read_hold always.
  Tick active_hold = 1;
  Tick active_window = kTicksPerSecond;
  bool warming_up = false; // true: switched on as it is built
  UnitOptions engine{};    // firmware and pods_present come from above
};

struct QmxStats {
  std::uint64_t commands = 0;
  std::uint64_t checks = 0; // check conditions given
  std::uint64_t writes = 0; // WRITE(6) batches carried out
  std::uint64_t reads = 0;  // READ(6) answered
  std::uint64_t held_reads = 0;
  std::uint64_t idle_reads = 0;   // answered with PKT_END alone after read_hold
  std::uint64_t resent_reads = 0; // control byte 0x40 answered with the kept batch
  std::uint64_t restarts = 0;     // firmware restarts (SEND DIAGNOSTIC, WRITE BUFFER)
  std::uint64_t power_cycles = 0;
};

// Faults only the unit can commit. The adapter's ScsiFault covers the rest (refusals,
// busy, reasons, check conditions, parity, lost completions, latency); malformed answers
// are queued with engine().inject_answer().
struct QmxFaults {
  int stalled_reads = 0;  // READs held for ever (the host's time-out ends them)
  int batches_no_end = 0; // batches with answers that go without their PKT_END
  std::deque<std::vector<std::uint8_t>> raw_batches; // the next READs return these bytes
  // WRITE BUFFER buffer id -> vendor status bits: the next such step is refused with
  // VENDOR UNIQUE and the bits set on the main unit.
  std::map<std::uint8_t, std::uint16_t> buffer_failures;
  void clear() { *this = {}; }
};

class QmxUnit final : public kemu::ScsiTarget {
public:
  // Throws std::invalid_argument for a model name not in the table.
  QmxUnit(kemu::Kernel& kernel, QmxUnitConfig config);
  ~QmxUnit() override;
  QmxUnit(const QmxUnit&) = delete;
  QmxUnit& operator=(const QmxUnit&) = delete;

  // kemu::ScsiTarget
  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override;
  void stood_in(const kemu::ScsiCommand& cmd) override;

  // ---- Far ends of the ports ----
  void attach(unsigned line, std::shared_ptr<FarEnd> far_end);
  void detach(unsigned line);
  std::shared_ptr<LoopbackPlug> plug_loopback(unsigned line, LoopbackPlug::Options options = {});
  std::shared_ptr<ScriptedPeer> plug_peer(unsigned line);
  std::shared_ptr<FarEnd> far_end(unsigned line) const;    // null when nothing is plugged
  std::shared_ptr<ScriptedPeer> peer(unsigned line) const; // null unless a ScriptedPeer

  // ---- Test controls ----
  Engine& engine() { return engine_; }
  // Power off and on: like a restart, but reprogramming ends too and the kept sense goes.
  void power_cycle();
  // Taken off the bus: a held READ ends as a vanished target's does (unexpected bus free).
  void leave_bus();
  QmxFaults& faults() { return faults_; }
  FlashProgrammer& flash() { return flash_; }

  // ---- Inspection ----
  const qd_unitinfo& model() const { return engine_.model(); }
  const std::string& product() const { return product_; }
  const std::string& vendor() const { return config_.vendor; }
  const std::string& revision() const { return flash_.version(0); }
  bool ready() const;
  bool unit_attention_pending() const { return unit_attention_; }
  bool read_held() const { return held_ != nullptr; }
  const QmxStats& stats() const { return stats_; }

private:
  // ---- Commands (qmx_unit.cpp) ----
  kemu::ScsiAnswer check(std::uint8_t key, std::uint8_t add_code = asc::kNone,
                         std::uint8_t qualifier = 0, bool ili = false);
  std::optional<kemu::ScsiAnswer> gate();
  kemu::ScsiAnswer inquiry(kemu::ScsiCommand& cmd);
  kemu::ScsiAnswer request_sense(kemu::ScsiCommand& cmd);
  kemu::ScsiAnswer send_diagnostic(kemu::ScsiCommand& cmd);
  kemu::ScsiAnswer write_buffer(kemu::ScsiCommand& cmd);
  kemu::ScsiAnswer read_buffer(kemu::ScsiCommand& cmd);
  void restart_firmware();
  void go_unready();
  std::uint8_t pods_online() const;

  // ---- FAS batches (qmx_batches.cpp) ----
  kemu::ScsiAnswer write_batch(kemu::ScsiCommand& cmd);
  // Answers the READ now, or holds it (nothing returned).
  std::optional<kemu::ScsiAnswer> read_batch(const std::shared_ptr<kemu::ScsiCommand>& cmd);
  // The batch for a READ: whole answers within the budget, and PKT_END.
  std::vector<std::uint8_t> next_batch(std::size_t budget, bool& any);
  kemu::ScsiAnswer deliver(kemu::ScsiCommand& cmd, std::vector<std::uint8_t> batch);
  std::size_t read_budget(const kemu::ScsiCommand& cmd) const;
  // The engine has answers: a held READ takes them.
  void serve_held();
  // read_hold has passed (or another READ came): the held READ returns what there is.
  void finish_held();
  void release_held(kemu::ScsiAnswer answer);
  void cancel_hold_timer();
  // The host has the last batch: no re-send of it can come.
  void forget_resend();

  QmxUnitConfig config_;
  KernelClock clock_;
  std::string product_;
  Engine engine_;
  FlashProgrammer flash_;
  std::map<unsigned, std::shared_ptr<FarEnd>> far_ends_;

  SenseKeeper sense_;
  Tick ready_at_ = 0;
  bool unit_attention_ = true;

  std::shared_ptr<kemu::ScsiCommand> held_;
  bool held_stalled_ = false;
  TimerId hold_timer_ = 0;
  bool real_clock_ = false;
  Tick last_answers_ = 0;
  bool answered_ = false;                           // a READ has carried answers
  std::optional<std::vector<std::uint8_t>> resend_; // the last READ's batch, until acknowledged
  std::vector<std::uint8_t> spare_batch_;           // room for the next batch

  QmxFaults faults_;
  QmxStats stats_;
};

} // namespace qdemu

// The FAS engine: the firmware of one emulated unit, shared by the QMX SCSI target and the
// Lanvara module. It takes command bytes (a WRITE's batch, or a TCP byte stream), keeps the
// state of every line, moves data between the lines and their far ends, and queues the
// answers that the wrapper hands back (a READ's batch, or bytes for the TCP stream).
//
// How a wrapper uses it:
//   - Construct it with a Clock, a row of the model table and UnitOptions. Bind the clock to
//     the kernel's (call_at -> Kernel::interrupt, cancel -> cancel_interrupt); the engine
//     asks for a call back whenever it has timed work, and catches up on every entry.
//   - SCSI: feed_batch(WRITE data); for a READ, take_answers(READ length - 1), append PKT_END.
//     Hold a READ while answers_waiting() is false, until the listener says answers_ready
//     or the wrapper's own idle time passes. restart() is a firmware restart.
//   - Lanvara: require_unlock = true; new_connection() per accepted connection; feed_stream()
//     with whatever the socket gave; send take_answers(any budget) on answers_ready; close
//     the connection on close_connection or unit_reset.
//   - Far ends: attach(line, shared_ptr<FarEnd>). Faults: faults() and inject_answer().
// Everything is single-threaded and deterministic: no threads, no wall clock; the unlock
// challenges come from a generator seeded by UnitOptions::seed.
//
// Behaviour where the firmware's is not fixed (the choices of this emulation):
//   - Every command gets exactly one answer, with its opcode and byte 1, except: FAS_RECV
//     grants, FAS_STAT_CHG requests without bit 7, FAS_SEND, FAS_SEND_BREAK, FAS_WAIT_SEND
//     and FAS_DISABLE, which are answered when their event happens; commands dropped by a
//     scripted silence; a pending FAS_STAT_CHG forgotten by FAS_DISABLE; answers owed when
//     FAS_RESET or a firmware restart wipes a line; commands refused while a module is locked.
//     Answer bytes not named below are 0.
//   - Unknown to the firmware, answered ERR_BAD_CMD: FAS_IN_TIMERS, FAS_RESERVE,
//     FAS_RELEASE, FAS_LINE_STATE, FAS_LINE_INQUIRY, FAS_LPT_TEST, FAS_SPECIAL_FUNC,
//     FAS_CONFIG_LINK; FAS_RESET and FAS_WAIT_SEND before revision 2.3; FAS_UNIT_RESET
//     before 6.0; FAS_MUX_STATS on models without pods. This check comes before the line
//     check.
//   - A line beyond the port count, of kind -1, or in an absent pod: ERR_NOT_PRESENT.
//     A line of a pod that is offline: FAS_ST_OFFLINE to FAS_ENABLE, FAS_ST_LINE_DOWN to
//     everything else; when the pod goes offline every answer its lines owe is given at once
//     with FAS_ST_LINE_DOWN and the lines lose their state. After the pod returns its lines
//     need a reset: FAS_RESET clears that; on 2.3 and later FAS_ENABLE answers FAS_ST_OFFLINE
//     until then, older firmware (which has no FAS_RESET) lets FAS_ENABLE clear it.
//   - A present line that is not enabled (or is being disabled) refuses FAS_SEND, FAS_RECV,
//     FAS_SEND_BREAK and FAS_STAT_CHG without bit 7 with ERR_UNKNOWN; parameters, flow,
//     modem, output/input control, FAS_WAIT_SEND and queries work on it.
//   - FAS_ENABLE on an enabled line answers 0 and changes nothing (ERR_MULT_CMD while its
//     disable waits); otherwise it starts with empty buffers and no flow held. Parameters,
//     flow settings and modem signals persist until FAS_RESET or a restart.
//   - Commands of one batch or stream are carried out one after the other, each seeing the
//     effects of those before it (a FAS_SEND's data has entered the buffer, or left).
//   - FAS_DISABLE answers a pending grant at once with count 0, forgets a pending status
//     request, discards input, and is answered once the output has drained (or been flushed
//     with FAS_OUTPUT_CTRL). Then DTR and RTS drop unless the last FAS_SET_MODEM had bit 7
//     set (the host sets it while HUPCL is off).
//   - FAS_RESET wipes the line (disabled, default parameters, no flow control, DTR and RTS
//     low) without answering what the line owed, and answers 0.
//   - FAS_SET_PARAMS / FAS_EXT_PARAMS: byte 2 size index 0-3, byte 3 stop bits 0 (one) or
//     1-2 (two), byte 4 parity 0-2, byte 5 bit 0 receiver on and bit 7 local loopback (output
//     returns to the port's own receiver, the far end sees nothing); speed codes in byte 6
//     (opcode 11: input << 4 | output) or bytes 6 and 7 (opcode 24). On a serial port a
//     speed code that is not in the speed table, or is refused by the port's highest code,
//     gives ERR_BAD_PARAM and nothing is stored; parallel ports take any code.
//   - FAS_SET_MODEM: operations 0 leave, 1 raise, 2 lower (bit 7 ignored but noted as
//     above); any other value gives ERR_BAD_PARAM.
//   - FAS_STAT_CHG: a mask with bit 7 is answered at once with the current state and does
//     not disturb a pending request; without bit 7 it becomes the line's one pending request
//     (a second one gets ERR_MULT_CMD) and is answered as soon as a watched bit differs from
//     the state last reported to the host on that line, which may be at once. State, byte 3:
//     serial bit 2 carrier, bit 1 DSR, bit 0 CTS; parallel bit 3 paper out, bit 1 error,
//     bit 0 online. Every answer, refusals included, carries in byte 4 the mask of the request
//     it answers, so that the host can tell a query's answer from the pending request's.
//   - FAS_RECV: grant bytes 2-3 are ignored; one grant per line (a second gets ERR_MULT_CMD,
//     count 0); on a printer port it waits for ever (printers send nothing). Answered when input
//     exists: a run of characters of one kind, at most UnitOptions::recv_max: good (status 0), all
//     of one error status (4, 5, 6), or breaks as NUL bytes mixed with good non-NUL characters
//     (11). A full input buffer loses the characters that arrive and the next answer is status 12
//     with no data (the host would take data sent with status 12 as received in error); the
//     buffered data follows.
//   - FAS_SEND: answered when all its data has entered the port's output buffer
//     (UnitOptions::output_buffer bytes), so stopped output holds the answer back; one per
//     line (a second gets ERR_MULT_CMD and its data is dropped). FAS_SEND_BREAK queues
//     behind the data and is answered when the break has gone out (a quarter second when
//     paced). FAS_WAIT_SEND is answered once nothing is buffered or in a break.
//   - FAS_OUTPUT_CTRL: byte 2 flush (discarded FAS_SEND data and breaks are answered as
//     done), byte 3 suspend, byte 4 resume, in that order. FAS_INPUT_CTRL: byte 2 flush,
//     byte 3 block, byte 4 unblock; all three 0 is a poll. Both answer 0 at once.
//   - Output stops while suspended, after XOFF with output XON/XOFF (XON, or any character
//     with IXANY, restarts it; the flow characters are not passed on as input), while CTS is
//     low with output CRTSCTS, and on a printer port while the printer is offline, out of
//     paper or in error. Input flow is held (XOFF sent, RTS lowered, by what FAS_FLOW_CTRL
//     enabled) while blocked or while the input buffer is three quarters full, and released
//     when unblocked and at most a quarter full.
//   - Transmission is at once, or paced at the line's speed (characters per tick from the
//     speed code and the character format; printers at UnitOptions::printer_cps).
//   - FAS_UNIT_STATS (per line) and FAS_MUX_STATS (unit): text in parts of
//     UnitOptions::stats_part bytes, status 14 while more follow, 0 on the last; the next
//     request with the same bytes 0 and 1 fetches the next part; a snapshot is taken at the
//     first part.
//   - FAS_GLOBAL and FAS_UNIT_POLL answer 0 and change nothing (a firmware restart is
//     restart(), which the SCSI target runs for SEND DIAGNOSTIC).
//   - Lanvara exchange: FAS_UNIT_UNLOCK answers a fresh 6-byte challenge in bytes 2-7;
//     FAS_UNIT_INQUIRY must carry the answer computed by unlock_answer() in bytes 2-4. With
//     require_unlock, a wrong or missing answer gives no answer and a close_connection
//     notice, and every command other than those two and FAS_UNIT_RESET is dropped until an
//     inquiry succeeds. The inquiry data: 16 bytes (byte 0 the port count), then "Orvane",
//     the model name and the firmware revision, each NUL-terminated; length in bytes 6-7.
//     FAS_UNIT_RESET (6.0 on) answers 0, restarts the unit, discards the rest of the input
//     and gives a unit_reset notice.
//   - A redundant unit's first printer port is the A/B switch: each data byte written to it
//     is the bus assignment (bit 7 port 1 ... bit 0 port 8, set = bus A), read back as
//     printer state: online, "error" while port 1's bit is set (the host reads DSR clear:
//     ports 1-4 on A), "paper out" while port 8's bit is clear (CTS clear: ports 5-8 on B).
//   - Bad input: in a batch, an invalid opcode, a header cut short or a FAS_SEND whose data
//     runs past the batch ends it there (the commands before it are carried out) and is
//     reported in BatchResult; a batch without PKT_END is carried out and reported. In a
//     stream, an invalid opcode drops its 8 bytes; a stray PKT_END is skipped.
//   - Scripted latency delays answers only: the command takes effect at once, and an
//     answer that is not yet ready lets later ready answers pass it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "qdemu/answer_queue.h"
#include "qdemu/clock.h"
#include "qdemu/far_end.h"
#include "qdemu/fault_script.h"
#include "qdemu/firmware.h"
#include "qdemu/line_state.h"
#include "qdemu/port.h"
#include "qdemu/unlock.h"
#include "qmx_unittab.h"

namespace qdemu {

struct UnitOptions {
  std::string firmware = "V2.3";
  std::uint8_t pods_present = 0x7f; // pod models: bit n set = pod n is fitted
  bool redundant = false;           // the first printer port is the A/B switch
  bool require_unlock = false;      // Lanvara: commands wait for the unlock exchange
  bool line_pacing = false;         // every port transmits at its line's speed
  std::size_t input_buffer = 1024;
  std::size_t output_buffer = 1024;
  std::size_t recv_max = 1024; // capped so that an answer always fits a READ
  std::size_t stats_part = 96;
  unsigned printer_cps = 1000;
  std::uint32_t seed = 1;
};

struct UnitStats {
  std::uint64_t batches = 0;
  std::uint64_t bad_batches = 0;
  std::uint64_t commands = 0;
  std::uint64_t bad_commands = 0; // invalid opcodes in a stream
  std::uint64_t answers = 0;
  std::uint64_t answer_bytes = 0;
  std::uint64_t silenced = 0;
  std::uint64_t refused_locked = 0;
  std::uint64_t unlock_failures = 0;
  std::uint64_t starts = 0; // FAS_GLOBAL
  std::uint64_t restarts = 0;
};

// Told to the listener after the engine has finished whatever caused it.
enum class Notice {
  answers_ready,    // an answer became ready since the last notice
  close_connection, // the host failed the unlock exchange
  unit_reset,       // FAS_UNIT_RESET: send what is queued, then close
};

enum class BatchError {
  none,
  no_end,        // no PKT_END: every command was carried out
  bad_opcode,    // at offset
  short_header,  // fewer than 8 bytes at offset
  data_past_end, // the FAS_SEND at offset has less data than its count
};

struct BatchResult {
  BatchError error = BatchError::none;
  std::size_t offset = 0; // where parsing stopped
  std::size_t commands = 0;
};

// Walks a PKT_END-terminated batch command by command, handing each whole command to `each`
// until it returns false (which ends the batch like PKT_END, behind that command); reports
// where and why the walk stopped. Commands before a malformed one have been handed on.
BatchResult walk_batch(std::span<const std::uint8_t> batch,
                       const std::function<bool(std::span<const std::uint8_t>)>& each);

// A READ takes 4096 bytes at most, one of them the closing PKT_END.
inline constexpr std::size_t kScsiAnswerBudget = 4095;

class Engine final : private PortHost {
public:
  Engine(Clock& clock, const qd_unitinfo& model, UnitOptions options = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- Commands ----
  BatchResult feed_batch(std::span<const std::uint8_t> batch);
  void feed_stream(std::span<const std::uint8_t> bytes);
  // A new host connection: partial input and unsent answers are dropped, the lock is set
  // again (lines keep their state).
  void new_connection();
  // Firmware restart or power cycle: every line is wiped, queued answers are dropped.
  void restart();
  // A new firmware image (its revision text): decides the commands known from now on. The
  // unit that loads it restarts the engine afterwards.
  void set_firmware(std::string revision);

  // ---- Answers ----
  bool answers_waiting();
  std::size_t answer_bytes_waiting();
  // Whole ready answers, oldest first, as long as they fit in `budget` bytes.
  std::vector<std::uint8_t> take_answers(std::size_t budget);
  // The same, appended to `out` (whose room is reused).
  void take_answers_into(std::size_t budget, std::vector<std::uint8_t>& out);
  // The next tick at which timed work is due (paced output, a break ending, a delayed
  // answer); kNever when nothing is.
  Tick next_event_tick();
  void set_listener(std::function<void(Notice)> listener) { listener_ = std::move(listener); }

  // ---- Far ends and test controls ----
  void attach(unsigned line, std::shared_ptr<FarEnd> far_end);
  void detach(unsigned line);
  void set_carrier(unsigned line, bool on);
  void set_dsr(unsigned line, bool on);
  void set_cts(unsigned line, bool on);
  void set_printer(unsigned line, const PrinterStatus& status);
  void set_line_pacing(unsigned line, bool on);
  void set_pod_online(unsigned pod, bool online);
  bool pod_online(unsigned pod) const { return (pods_online_ >> pod) & 1u; }
  // The redundant unit's bus assignment; the line of the switch port, if any.
  void set_ab_switch(std::uint8_t mask);
  std::uint8_t ab_switch() const;
  std::optional<unsigned> ab_switch_line() const { return ab_line_; }

  FaultScript& faults() { return faults_; }
  // Queues raw bytes as one answer item, ready now, unchecked.
  void inject_answer(std::vector<std::uint8_t> raw);

  // ---- Inspection ----
  const qd_unitinfo& model() const { return model_; }
  const std::string& firmware() const { return options_.firmware; }
  unsigned line_count() const { return static_cast<unsigned>(ports_.size()); }
  // A port exists at that line (regardless of its pod).
  bool has_port(unsigned line) const { return line < ports_.size() && ports_[line]; }
  bool locked() const { return locked_; }
  // Throw std::out_of_range for a line without a port.
  LineState line_state(unsigned line);
  LineStats line_stats(unsigned line);
  const UnitStats& stats() const { return stats_; }

private:
  struct StatsCursor {
    std::string text;
    std::size_t offset = 0;
  };

  // PortHost
  Tick now() const override { return now_; }
  void answer(const std::array<std::uint8_t, 8>& header,
              std::span<const std::uint8_t> data) override;
  void external(const std::function<void()>& fn) override { enter(fn); }

  // Runs fn as an entry: time caught up first, the unit serviced and its notices delivered
  // after; nested entries just run. A template, so that an entry makes no callable.
  template <class F> void enter(F&& fn) {
    if (depth_ > 0) {
      fn();
      return;
    }
    begin_entry();
    fn();
    end_entry();
  }
  void begin_entry();
  void end_entry();
  void catch_up();
  void settle();
  void rearm();
  Tick next_event() const;
  void deliver_notices();

  Port& port(unsigned line);
  Port* present_port(unsigned line);
  void execute(std::span<const std::uint8_t> item);
  void reply(std::uint8_t op, std::uint8_t byte1, std::uint8_t status);
  // An answer with a status only, to a command that was not carried out.
  void refuse(std::span<const std::uint8_t> item, std::uint8_t status);
  void line_command(std::span<const std::uint8_t> item);
  void set_params(Port& p, std::span<const std::uint8_t> item);
  void set_modem(Port& p, std::span<const std::uint8_t> item);
  void unlock(std::uint8_t byte1);
  void inquiry(std::span<const std::uint8_t> item);
  void remote_reset(std::uint8_t byte1);
  void statistics(std::uint8_t op, std::uint8_t byte1);
  void parse_stream();
  void wipe();

  std::string line_stats_text(unsigned line);
  std::string mux_stats_text();

  Clock& clock_;
  const qd_unitinfo& model_;
  UnitOptions options_;
  FirmwareFeatures fw_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::optional<unsigned> ab_line_;
  std::uint8_t pods_online_ = 0x7f;

  AnswerQueue answers_;
  FaultScript faults_;
  UnitStats stats_;
  std::map<unsigned, StatsCursor> stats_cursors_;

  std::vector<std::uint8_t> stream_;
  std::size_t stream_pos_ = 0;
  bool cut_input_ = false; // a unit reset: the rest of the input is gone

  bool locked_;
  std::optional<UnlockAnswer> expected_unlock_;
  std::mt19937 rng_;

  std::function<void(Notice)> listener_;
  std::vector<Notice> notices_;

  int depth_ = 0;
  Tick now_;
  TimerId timer_ = 0;
  Tick timer_at_ = kNever;
};

} // namespace qdemu

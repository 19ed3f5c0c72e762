// The emulated SCSI host bus adapters, as tests, the emulated units and qdhost see them:
// adapters, the targets plugged into them, fault scripts, and allocation faults of the
// SCSI layer. The driver never includes this; it uses ksys/scsi.h.
//
// One Scsa lives at a time, created after the Kernel (and after the Ddi, when there is
// one) and destroyed before them. With a Ddi it registers the module "misc/scsi", takes on
// every adapter node of the tree (each gets an Hba and its scsi_hba_tran), and configure()
// gives each SCSI child node (a node under an adapter with an integer "target" property,
// and "lun", 0 when absent) its scsi_device as driver-private data. Without a Ddi, adapters
// have no node and Hba::device() makes device records for tests.
//
// How a command runs. scsi_transport consults the target's fault script, then hands the
// command to the target plugged at (target, LUN) — inside scsi_transport, in the caller's
// context — and returns TRAN_ACCEPT. The target answers with ScsiCommand::complete(), at
// once or later, from any context or thread; the completion (pkt_comp, or the wake-up of
// scsi_poll) then runs as interrupt work `delay` ticks after the answer, never inside
// scsi_transport. pkt_time is armed at transport: when it runs out first, the command
// completes with CMD_TIMEOUT and the target's answer, if any comes, is ignored.
//
// Where nobody is plugged in (or at another LUN of a target), the command completes at the
// same tick with CMD_INCOMPLETE and pkt_state STATE_GOT_BUS only: the selection timed out.
// scsi_probe reports SCSIPROBE_NORESP for it.
//
// Sense data comes with the answer (CHECK CONDITION). When auto request sense is on for
// the target and the packet's status area holds a scsi_arq_status, it is delivered there
// with STATE_ARQ_DONE. Otherwise the adapter keeps it for that LUN: the next command to
// the LUN, when it is REQUEST SENSE, is answered from it without reaching the target; any
// other command discards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kemu/ddi.h"
#include "ksys/scsi.h"

namespace kemu {

inline constexpr int kScsiTargets = 16; // targets 0-15 on every adapter
inline constexpr int kScsiLuns = 8;     // LUNs 0-7
inline constexpr clock_t kNever = -1;   // an answer delay: the command never completes

enum class DataDir { kNone, kIn, kOut };

// A target's answer to one command.
struct ScsiAnswer {
  uchar_t status = STATUS_GOOD;
  // With STATUS_CHECK: fixed-format sense data (make_sense). None: no sense to fetch.
  std::vector<std::uint8_t> sense;
  std::size_t resid = 0; // data bytes not transferred (data in: the tail of data_in())
  uchar_t reason = CMD_CMPLT;
  // None: the usual state for the outcome (CMD_CMPLT: bus, target, command sent, data
  // transferred when any was, status; otherwise bus, target, command sent).
  std::optional<uint_t> state;
  uint_t statistics = 0;
  clock_t delay = 0; // ticks from the answer to the completion; kNever: it never completes

  static ScsiAnswer good(std::size_t resid = 0);
  static ScsiAnswer check(uchar_t key, bool ili = false, uchar_t asc = 0, uchar_t ascq = 0);
};

// 18 bytes of fixed-format sense data.
std::vector<std::uint8_t> make_sense(uchar_t key, bool ili = false, uchar_t asc = 0,
                                     uchar_t ascq = 0);

// One command as the target sees it. It owns its data: the bytes sent (data out) and the
// room for the bytes to return (data in), valid for as long as the target holds it.
class ScsiCommand {
public:
  struct Impl;
  explicit ScsiCommand(std::unique_ptr<Impl> impl);
  ~ScsiCommand();
  ScsiCommand(const ScsiCommand&) = delete;
  ScsiCommand& operator=(const ScsiCommand&) = delete;

  int target() const;
  int lun() const;
  std::span<const std::uint8_t> cdb() const;
  std::uint8_t opcode() const;
  DataDir dir() const;
  std::size_t length() const;                     // bytes of the data phase
  std::span<const std::uint8_t> data_out() const; // DataDir::kOut: the bytes sent
  std::span<std::uint8_t> data_in();              // DataDir::kIn: fill these (zeroed)
  clock_t issued() const;                         // lbolt at scsi_transport
  // False once answered, or once the adapter gave the command up (time-out, packet
  // destroyed): its answer would be ignored.
  bool active() const;
  // Answers the command, once. Callable from anywhere, at any time; leave data_in() alone
  // afterwards (it is copied to the driver when the completion runs).
  void complete(ScsiAnswer answer);

  Impl& impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

// What plugs into an adapter at (target, LUN).
class ScsiTarget {
public:
  virtual ~ScsiTarget() = default;
  // Called inside scsi_transport, in the caller's kernel context and possibly under its
  // locks: do not block and do not call into the driver. Answer through cmd->complete(),
  // now or later.
  virtual void command(std::shared_ptr<ScsiCommand> cmd) = 0;
  // The adapter's fault script answered a command in the target's place with a status or
  // a check condition, so the driver believes the target received it. A target that keeps
  // state across commands (what the last READ returned) hears of it here, with the same
  // restrictions as command(). The command is answered already.
  virtual void stood_in(const ScsiCommand& cmd) { (void)cmd; }
};

inline constexpr int kAnyOpcode = -1;
inline constexpr int kForever = -1;

// A fault the adapter plays on the next `count` commands to one (target, LUN) whose CDB
// opcode is `opcode` (or any). Faults queue up; a command takes the first that matches.
// Only kParity, kLatency and the `sent` forms of kReason and kNoCompletion let the command
// reach the target; the others answer in its place.
struct ScsiFault {
  enum class Kind {
    kRefuse,       // scsi_transport returns `tran` (TRAN_BUSY, TRAN_BADPKT, ...)
    kReason,       // completes with `reason`; `sent`: with STATE_SENT_CMD, after the target
    kStatus,       // completes with status byte `status` (STATUS_BUSY, ...)
    kCheck,        // CHECK CONDITION with sense key `key` (ILI when `ili`); key < 0: no sense
    kParity,       // the target's answer arrives with STAT_PERR
    kNoCompletion, // never completes: CMD_TIMEOUT when pkt_time runs out, if ever
    kLatency,      // the target's answer arrives `ticks` later
  };
  Kind kind = Kind::kRefuse;
  int tran = TRAN_BUSY;
  uchar_t reason = CMD_TRAN_ERR;
  bool sent = false;
  uchar_t status = STATUS_BUSY;
  int key = -1;
  bool ili = false;
  clock_t ticks = 0;
  int opcode = kAnyOpcode;
  int count = 1;

  static ScsiFault refuse(int tran);
  static ScsiFault busy() { return refuse(TRAN_BUSY); }
  static ScsiFault fail(uchar_t reason, bool sent);
  static ScsiFault status_byte(uchar_t status);
  static ScsiFault check(uchar_t key, bool ili = false);
  static ScsiFault check_without_sense();
  static ScsiFault parity();
  static ScsiFault no_completion(bool sent = false);
  static ScsiFault latency(clock_t ticks);
  ScsiFault on(int op) const;   // only commands with this opcode
  ScsiFault times(int n) const; // the next n of them (kForever: all)
};

// What scsi_ifsetcap("auto-rqsense") finds on an adapter.
enum class ArqSupport {
  kSettable,    // setcap 1, and the setting holds
  kNotSettable, // setcap 0: stays off
  kUnknown,     // setcap and getcap -1: the adapter does not know the capability
};

struct HbaOptions {
  ArqSupport arq = ArqSupport::kSettable;
};

class Scsa;

class Hba {
public:
  struct Impl;
  explicit Hba(std::unique_ptr<Impl> impl);
  ~Hba();
  Hba(const Hba&) = delete;
  Hba& operator=(const Hba&) = delete;

  int number() const;      // creation order, from 0
  dev_info_t* dip() const; // the adapter's node; null outside a tree
  scsi_hba_tran* tran();

  void plug(int target, int lun, std::shared_ptr<ScsiTarget> t);
  void unplug(int target, int lun); // commands it holds stay its to answer
  std::shared_ptr<ScsiTarget> plugged(int target, int lun) const;

  void set_arq_support(ArqSupport s);
  bool arq_enabled(int target) const;

  void inject(int target, int lun, ScsiFault f);
  void clear_faults();
  std::size_t faults_pending(int target, int lun) const; // commands still to be hit
  // Sense kept for a REQUEST SENSE (empty when none).
  std::vector<std::uint8_t> pending_sense(int target, int lun) const;

  std::size_t in_transport() const; // commands accepted and not yet completed

  // A device record of the adapter's own for (target, LUN), for use without a tree.
  scsi_device* device(int target, int lun);

  Impl& impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

class Scsa {
public:
  Scsa();
  ~Scsa();
  Scsa(const Scsa&) = delete;
  Scsa& operator=(const Scsa&) = delete;

  static Scsa& current(); // aborts when none lives
  static bool exists();

  // A new adapter; with a Ddi, also its node under the root.
  Hba& add_adapter(HbaOptions opts = {}, std::string_view node_name = kAdapterName);
  std::vector<Hba*> adapters(); // in creation order
  Hba& adapter(int number);
  Hba* adapter_of(dev_info_t* adapter_node); // null when not one of ours

  // Takes on adapter nodes added to the tree since, and gives each SCSI child without one
  // its scsi_device. Call after loading driver.conf files and before attaching. Returns
  // the number of children newly given one.
  int configure();
  scsi_device* device_of(dev_info_t* child); // null when it has none of ours

  // The nth call from now that may fail (packets and buffer headers not waiting for
  // memory) fails; n <= 0 cancels. Packets made by scsi_probe are not counted.
  void fail_init_pkt_nth(long n);
  void fail_pktiopb_nth(long n);
  void fail_getrbuf_nth(long n);
  void clear_alloc_faults();

  std::size_t packets() const;      // packets made and not yet destroyed
  std::size_t in_transport() const; // on every adapter

  struct Core;
  Core& core() { return *core_; }

private:
  std::shared_ptr<Core> core_;
};

} // namespace kemu

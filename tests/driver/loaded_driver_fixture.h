// Fixture for the driver as the system runs it: loaded through the kernel's loader from a
// qd.conf text, attached to emulated QMX units on emulated SCSI buses (a topology the test
// builds before load()), its nodes opened through stream heads, unloaded at the end.
//
// TearDown unloads what the test left loaded (allowing it), then checks that the driver
// and the emulated kernel are left with nothing: no kernel memory, no message blocks, no
// minor nodes, no reports (lock misuse, callouts left at shutdown).
//
// ProbeStream stands in for a stream head above one node, for tests that need to see every
// message the driver sends up, or to send it message types a program cannot.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kemu/console.h"
#include "kemu/ddi.h"
#include "kemu/devopen.h"
#include "kemu/hba.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "kemu/streams.h"
#include "qd_entry.h"
#include "qd_image.h"
#include "qddrv.h"
#include "qdemu/scsi_topology.h"

namespace loaded_test {

using Bytes = std::vector<unsigned char>;

inline constexpr const char* kPseudoEntry = "name=\"qd\" parent=\"pseudo\" instance=0;\n";
inline constexpr int kOpenFlags = FREAD | FWRITE | FNDELAY;

// A message as the test builds it (type and data bytes in one block).
mblk_t* message(unsigned char type, const Bytes& bytes = {});
// An M_IOCTL carrying count bytes of argument (ioc_count = count).
mblk_t* ioctl_message(int cmd, const Bytes& arg = {});
// The M_IOCDATA that answers a copy of the code; failed: the stream head could not copy.
mblk_t* iocdata_message(int cmd, bool failed);

class ProbeStream {
public:
  struct Up {
    unsigned char type;
    Bytes bytes;
  };

  ProbeStream();
  ProbeStream(const ProbeStream&) = delete;
  ProbeStream& operator=(const ProbeStream&) = delete;

  queue_t* rq(); // the driver's read queue
  queue_t* wq();
  // qdopen and qdclose on this stream; call inside a kernel context.
  int open(minor_t minor, int oflag = kOpenFlags, int sflag = 0,
           cred_t cred = kemu::Kernel::root_cred());
  void close();
  // Hands a message to the driver's write put procedure; call inside a kernel context.
  void put(mblk_t* mp);

  std::vector<Up> up; // what reached the head, oldest first
  std::vector<unsigned char> types() const;

private:
  static int head_put(queue_t* q, mblk_t* mp);
  qinit head_rinit_{};
  kemu::QueuePairPtr head_;
  kemu::QueuePairPtr drv_;
  dev_t dev_ = 0;
};

class LoadedDriverFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  virtual kemu::TreeSpec tree() { return {.adapters = kemu::TreeSpec::adapter_names(2)}; }

  // Loads the driver from `globals` (qd.conf's global entries), the pseudo instance's entry
  // when asked, and a node entry per target of the topology; then attaches every node.
  // Returns the attach results in node order.
  std::vector<kemu::Attach> load(std::string_view globals = "allow_unload=1;\n",
                                 bool pseudo = true);
  bool loaded() const { return ddi_->loaded("qd"); }
  int unload() { return ddi_->unload("qd"); }

  // Runs fn as a user context (virtual time jumps while everything waits).
  void run(const std::function<void()>& fn, const cred_t& cred = kemu::Kernel::root_cred());
  int open(std::string_view name, kemu::StreamFile& f, int flags = kOpenFlags,
           const cred_t& cred = kemu::Kernel::root_cred());
  int close(kemu::StreamFile& f);
  kemu::IoResult write(kemu::StreamFile& f, std::string_view text);
  // Reads until `n` bytes came or the virtual clock passed `limit` ticks.
  std::string read(kemu::StreamFile& f, std::size_t n, clock_t limit = 10 * hz);

  // The "qd" child node at that adapter and target.
  dev_info_t* child(int adapter, int target);
  // The minor node by name (fails the test when there is none).
  minor_t minor_of(std::string_view name) const;
  std::vector<std::string> node_names() const;
  qd_line* line_of(std::string_view name) const;
  static qd_unit* scsi_unit(int bus, int target) { return qd_units[bus * 16 + target]; }
  static qd_unit* vrn_unit(int n) { return qd_units[QD_VRN_BASE + n]; }

  // The console since the last look, without the notes of trace rings being set up.
  static std::string console();

  kemu::Kernel kernel_;
  std::optional<kemu::Ddi> ddi_;
  std::optional<kemu::Scsa> scsa_;
  std::optional<qdemu::ScsiTopology> topo_;
};

} // namespace loaded_test

// Fixture for the line layer: a Lanvara unit that is online but whose unit node is closed
// (so the transport leaves every queued command on the unit's chain for the test to read),
// line records made enabled as a successful enable leaves them, and streams opened on
// them with the driver's own write put and read service procedures; only open and close
// stand in for the driver's, binding a stream to a line record made ready beforehand.
//
// The test reads what the driver sent with take_commands() and answers with answer(),
// which runs the answer dispatch under the unit mutex as the unit node's write side does.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver_fixture.h"
#include "kemu/streamhead.h"
#include "kemu/streams.h"
#include "ksys/stream.h"

namespace lineio_test {

using Bytes = std::vector<unsigned char>;

// One command read back from a unit's outgoing chain.
struct FasCmd {
  Bytes bytes; // header and, for FAS_SEND, its data
  unsigned char op() const { return bytes[0]; }
  unsigned char line() const { return bytes[1]; }
  // The data of a FAS_SEND (count from bytes 2-3).
  std::string data() const { return std::string(bytes.begin() + 8, bytes.end()); }
};

// An answer: header with the status, bytes 4-5 the data count, then the data.
Bytes fas_answer(unsigned char op, unsigned char line, unsigned char status = 0,
                 std::string_view data = {});
inline Bytes fas_answer(unsigned char op, unsigned char line, unsigned char status,
                        std::initializer_list<unsigned char> data) {
  return fas_answer(op, line, status,
                    std::string_view(reinterpret_cast<const char*>(data.begin()), data.size()));
}

// A parked set request, as the driver's parameter and modem handlers leave it: already
// acknowledged, held in a slot with the 60-second watchdog armed. Outcome 1 while any
// slot is taken.
int park_ioctl(mblk_t* mp, qd_line* lp, mblk_t* qd_line::*slot);

// n bytes of a pattern that shows where a piece was lost or repeated.
inline std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = static_cast<char>('!' + (i * 7 + i / 89) % 90);
  }
  return s;
}

class LineFixture : public DriverFixture {
protected:
  static constexpr const char* kModel = "Lanvara8S1P-115"; // 8 serial ports and a printer
  static constexpr int kUnitNumber = 3;
  static constexpr unsigned kPrinterPort = 8;
  static constexpr major_t kMajor = 99;

  void SetUp() override;
  void TearDown() override;

  // What the driver printed since the last look, without the notes that say where a trace
  // ring lives (printed at a ring's first record, which depends on the build's trace mode).
  static std::string console();

  // Runs fn in a user context, or directly when already inside one.
  void in_kernel(const std::function<void()>& fn);
  // The same, holding the unit's "unit_mutex" (as the put procedures and answers do).
  void locked(const std::function<void()>& fn);

  // The port's line record as an enable leaves it (serial at `speed` bit/s; the printer
  // port parallel), with its stream opened through the stand-in driver.
  qd_line* open_port(unsigned port, int speed = 115200, tcflag_t iflag = 0);
  // A second stream on an open port's line, its dial-out node, reached as kDialOut + port.
  // Opened last, it is the stream the line replies on.
  static constexpr unsigned kDialOut = 0x100;
  void open_dialout(unsigned port);
  minor_t minor_of(unsigned port) const;
  kemu::StreamFile& file(unsigned port);
  void close_port(unsigned port);

  // Takes every free packet and makes growing the pool fail; refill_pool undoes it.
  std::vector<qd_pkt*> exhaust_pool();
  void refill_pool(std::vector<qd_pkt*>& held);

  // Everything queued on the unit's chain since the last call, in order; the chain is
  // emptied as the transport would.
  std::vector<FasCmd> take_commands();
  // Commands of one opcode only (the others are dropped).
  std::vector<FasCmd> take_commands(unsigned char op);
  // Delivers answer bytes as the unit node's write side does, and lets the kernel settle.
  void answer(const Bytes& bytes);
  // The same from a context that already holds the unit mutex (no settling).
  void answer_locked(const Bytes& bytes);
  void answer(std::initializer_list<Bytes> answers);
  // Answers every FAS_SEND on the chain (and nothing else) until no data is left to send
  // or `rounds` answers have gone; returns the data sent, in order.
  std::string pump_sends(int rounds = 1000);

  kemu::IoResult write(unsigned port, std::string_view data);
  std::string read_all(unsigned port); // everything the stream head holds (never blocks)
  kemu::IoResult ioctl(unsigned port, int cmd, std::intptr_t arg);
  // Sends a message of the given type (flow and flush messages) down the port's stream.
  void put_down(unsigned port, unsigned char type, int first_byte = -1);

  qd_unit* up_ = nullptr;

private:
  struct Port {
    unsigned port;
    kemu::StreamFile file;
  };
  void open_stream(unsigned key, minor_t minor);

  std::vector<std::unique_ptr<Port>> ports_;
  std::size_t blocks_at_start_ = 0;
};

} // namespace lineio_test

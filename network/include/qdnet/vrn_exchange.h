// The fixed exchange that opens every TCP connection to a Lanvara module, shared by
// kvetherd, kvvrnreset and kvipserv: unlock (the module sends a 6-byte challenge), inquiry
// (the host returns the 3-byte answer and gets the module's vendor, model and firmware
// strings), and, for the reset tools, the reset request.
//
// Each program reports the steps in its own words, so the exchange reports through a
// callback and prints nothing itself. At every failure event errno still holds what the
// failing call left (for a wrong opcode, whatever it held then); the socket is closed only
// after the callback returns.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace qdnet {

inline constexpr std::uint16_t kVrnPort = 10001;
inline constexpr int kVrnPacket = 8;
// Inquiry data buffers: the relay daemon's and the reset tools'.
inline constexpr std::size_t kDaemonInquiryBuffer = 128;
inline constexpr std::size_t kToolInquiryBuffer = 64;
// Where the inquiry strings start in the inquiry data.
inline constexpr std::size_t kInquiryStrings = 16;

enum class VrnEvent {
  socket_failed,
  connect_failed,
  connected,
  unlock_write_failed,
  unlock_read_failed,
  unlock_bad_opcode,
  unlock_ok,
  inquiry_write_failed,
  inquiry_read_failed,
  inquiry_bad_opcode,
  inquiry_ok,
  data_read_failed,
  data_ok,
  reset_write_failed,
  reset_read_failed,
  reset_bad_opcode,
  reset_ok,
};

// The strings of the inquiry data. A string without its NUL inside the data runs to the
// end of the data; data longer than the program's buffer is read whole and the part past
// the buffer is not looked at (`shortened`).
struct VrnInquiry {
  std::string vendor;
  std::string model;
  std::string firmware;
  std::size_t length = 0; // L, as the module announced it
  bool shortened = false;
};

struct VrnEventInfo {
  // The 8-byte answer just read (unlock, inquiry header or reset answer), else null.
  const std::uint8_t* answer = nullptr;
  // data_ok: the strings.
  const VrnInquiry* inquiry = nullptr;
};

using VrnReporter = std::function<void(VrnEvent, const VrnEventInfo&)>;

struct VrnExchangeOptions {
  in_addr_t address = INADDR_NONE; // network byte order
  std::uint16_t port = kVrnPort;   // host byte order
  std::size_t inquiry_buffer = kToolInquiryBuffer;
  bool reset = false; // send the reset request after the inquiry
  // 0: connect, write and read block until the module answers or the connection fails.
  // Above 0: each of them gives up after that many milliseconds (ETIMEDOUT / EAGAIN).
  int timeout_ms = 0;
};

// Runs the exchange on a new connection. Without `reset`: the connected socket (the
// caller owns it) or -1. With `reset`: 0 when the module answered the reset request with
// FAS_UNIT_RESET (whatever its status byte), else -1; the socket is closed either way.
// `inquiry`, when given, receives the strings once the inquiry data has been read.
int vrn_tcp_exchange(const VrnExchangeOptions& opts, const VrnReporter& report,
                     VrnInquiry* inquiry = nullptr);

// Reads exactly n bytes: 0 when all arrived (at once for n = 0), -1 as soon as a read
// returns 0 or fails. On -1 the bytes read so far stay in buf and errno is as the failing
// read left it.
int sock_read(int fd, unsigned char* buf, int n);

// The same over another reader (tests script short and failing reads with it).
using ReadFn = std::function<ssize_t(int fd, void* buf, std::size_t n)>;
int sock_read_with(const ReadFn& rd, int fd, unsigned char* buf, int n);

// The 3-byte answer to a 6-byte unlock challenge. The challenge bytes are worked on in
// place and no longer hold the challenge afterwards.
void bitmash(unsigned char* challenge, unsigned char* answer);

// Splits inquiry data into its strings (see VrnInquiry); `kept` bytes were read into the
// buffer out of `length` announced.
VrnInquiry parse_inquiry(const unsigned char* data, std::size_t kept, std::size_t length);

} // namespace qdnet

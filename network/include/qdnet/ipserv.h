// kvipserv: serves one Lanvara module its IPv4 address by BOOTP (with the vendor option 43
// that carries its authorized hosts and the store or erase command), optionally resets it
// first over TCP and uploads its firmware by TFTP afterwards. Everything it says goes to
// standard output; the routines here take the stream so that tests can read it.
//
// The two UDP sockets are reached through DatagramLink, so that the waits (5-second turns
// for BOOTP, 5 seconds of silence ending the upload) can be driven without waiting.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qdnet::ipserv {

using HwAddr = std::array<std::uint8_t, 6>;

inline constexpr int kMaxHosts = 8;
inline constexpr std::size_t kMaxFileName = 127;
inline constexpr std::size_t kMaxOptions = 83; // eight host lists and one store or erase
inline constexpr std::size_t kRequestBuffer = 1536;
inline constexpr int kTurnSeconds = 5;
inline constexpr int kTftpSilence = 5;

// Vendor option entries (type, length, value).
inline constexpr std::uint8_t kOptHost = 1;
inline constexpr std::uint8_t kOptHostList = 2;
inline constexpr std::uint8_t kOptCommand = 3;
inline constexpr std::uint8_t kCmdStore = 1;
inline constexpr std::uint8_t kCmdErase = 2;

// BOOTP message offsets.
namespace bootp {
inline constexpr std::size_t kOp = 0;
inline constexpr std::size_t kHlen = 2;
inline constexpr std::size_t kCiaddr = 12;
inline constexpr std::size_t kYiaddr = 16;
inline constexpr std::size_t kSiaddr = 20;
inline constexpr std::size_t kGiaddr = 24;
inline constexpr std::size_t kChaddr = 28;
inline constexpr std::size_t kFile = 108;
inline constexpr std::size_t kFileSize = 128;
inline constexpr std::size_t kOptions = 240;
inline constexpr std::size_t kMinRequest = 300;
inline constexpr std::uint8_t kVendorOption = 43;
inline constexpr std::uint8_t kEnd = 255;
} // namespace bootp

struct Config {
  HwAddr hwaddr{};
  in_addr_t served = INADDR_NONE; // network order
  std::string served_text;        // as given, for the reset
  std::vector<std::uint8_t> options;
  bool reset = false;
  bool store = false;
  bool erase = false;
  std::string firmware; // empty: no upload
};

// ---- Command line and texts ----------------------------------------------------------------

// Scans the arguments (argv[0] is the program's name). A refusal prints its message and
// the usage on `out` and gives nothing back; the program then exits with status 1.
std::optional<Config> scan_args(int argc, char** argv, std::FILE* out);
void print_usage(std::FILE* out, const char* prog);

// 0 and the 6 bytes, or -1. Accepts six fields of one or two hex digits written together,
// or separated by '.' or ':'.
int str2hwaddr(const char* text, std::uint8_t* hw);
// "%02X:%02X:%02X:%02X:%02X:%02X", in a buffer that the next call overwrites.
const char* hwaddr2str(const std::uint8_t* hw);
int hwaddrs_equal(const std::uint8_t* a, const std::uint8_t* b);
// Hex dump of n bytes, 16 to a line.
void dumpdata(std::FILE* out, const std::uint8_t* data, int n);
// "%s: %s\n" with the text and errno's message, on standard output.
void perror_stdout(const char* text);

void print_erase_box(std::FILE* out);
void print_store_box(std::FILE* out);

// ---- The sockets -------------------------------------------------------------------------

class DatagramLink {
public:
  virtual ~DatagramLink() = default;
  // As select() on the socket alone: 1 readable, 0 nothing within `seconds`, -1 failure.
  virtual int wait_readable(int seconds) = 0;
  virtual ssize_t receive(std::uint8_t* buf, std::size_t n, sockaddr_in* from) = 0;
  virtual int connect(const sockaddr_in& to) = 0;
  virtual ssize_t send(const std::uint8_t* buf, std::size_t n) = 0;
  // To one sender, whether or not the socket is connected.
  virtual ssize_t send_to(const std::uint8_t* buf, std::size_t n, const sockaddr_in& to) = 0;
  // A complete ARP entry for addr (network order) with the n hardware bytes.
  virtual int set_arp(in_addr_t addr, const std::uint8_t* hw, int n) = 0;
  virtual void close() = 0;
  virtual std::time_t now() = 0;
};

// A UDP socket of this process; closed by close() or at the end.
class SocketLink final : public DatagramLink {
public:
  explicit SocketLink(int fd) : fd_(fd) {}
  ~SocketLink() override { close(); }
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;
  int fd() const { return fd_; }

  int wait_readable(int seconds) override;
  ssize_t receive(std::uint8_t* buf, std::size_t n, sockaddr_in* from) override;
  int connect(const sockaddr_in& to) override;
  ssize_t send(const std::uint8_t* buf, std::size_t n) override;
  ssize_t send_to(const std::uint8_t* buf, std::size_t n, const sockaddr_in& to) override;
  int set_arp(in_addr_t addr, const std::uint8_t* hw, int n) override;
  void close() override;
  std::time_t now() override;

private:
  int fd_;
};

// setarp: the ARP entry, reported on `out` when the system refuses it; the caller goes on.
void setarp(DatagramLink& link, in_addr_t addr, const std::uint8_t* hw, int n, std::FILE* out);

// ---- BOOTP --------------------------------------------------------------------------------

enum class RequestCheck { accepted, short_packet, not_request, bad_hlen, other_hwaddr };
RequestCheck check_request(std::span<const std::uint8_t> msg, const HwAddr& hw);

struct Destination {
  in_addr_t addr;     // network order
  std::uint16_t port; // network order
  bool via_gateway;   // giaddr: tell the operator
  bool needs_arp;     // the module has no address yet
};
// bootps and bootpc in network order.
Destination reply_destination(std::span<const std::uint8_t> msg, in_addr_t served,
                              std::uint16_t bootps, std::uint16_t bootpc);

// Turns the accepted request in `msg` into the reply and returns its length (241, or n + 243
// with n option bytes). siaddr: this host's address when it is known.
std::size_t build_reply(std::span<std::uint8_t> msg, const Config& cfg,
                        std::optional<in_addr_t> siaddr);

// This host's first address by gethostname and gethostbyname, when both work.
std::optional<in_addr_t> own_host_address();

// Waits in 5-second turns until an acceptable request has arrived in buf; its length.
std::size_t await_request(DatagramLink& link, const Config& cfg, std::uint8_t* buf, std::FILE* out);

// Answers the request: the exit status when the program ends here (1 when the reply could
// not be sent, 0 when there is no firmware to upload), else nothing.
std::optional<int> send_reply(DatagramLink& link, std::uint8_t* buf, const Config& cfg,
                              std::uint16_t bootps, std::uint16_t bootpc,
                              std::optional<in_addr_t> siaddr, std::FILE* out);

// ---- TFTP ---------------------------------------------------------------------------------

namespace tftp {
inline constexpr std::uint16_t kRead = 1;
inline constexpr std::uint16_t kWrite = 2;
inline constexpr std::uint16_t kData = 3;
inline constexpr std::uint16_t kAck = 4;
inline constexpr std::uint16_t kError = 5;
inline constexpr std::size_t kBlock = 512;
inline constexpr std::size_t kPacket = kBlock + 4;
inline constexpr std::size_t kReceive = 518;
inline constexpr std::uint16_t kAccessViolation = 2; // ERROR code
// Block numbers are 16 bits and the upload ends with an empty block after the file's last
// one, so a larger file would need block numbers that wrap.
inline constexpr long long kMaxFileSize = 65534LL * kBlock;
} // namespace tftp

// Serves one read request for `file` (the name the BOOTP reply gave) from the link and
// returns the exit status (0, or 1 when the socket cannot be connected to the module). A
// request for any other file is refused with an ERROR packet to its sender and the wait
// goes on, without restarting the 5 seconds of silence. The link is closed at the end.
int tftp_upload(DatagramLink& link, const std::string& file, std::FILE* out);

// ---- The program ----------------------------------------------------------------------------

int kvipserv_main(int argc, char** argv);

} // namespace qdnet::ipserv

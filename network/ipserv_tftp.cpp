// kvipserv's TFTP side: one read request served in 512-byte blocks from the tftp port.
// Every ACK n is answered with block n + 1 read afresh from the file, so a repeated ACK
// sends the same block again; nothing is retransmitted on silence.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"

namespace qdnet::ipserv {
namespace {

std::uint16_t get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

void put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

// A name from the network, quoted for the operator: printable ASCII as itself, a quote or
// a backslash after a backslash, any other byte as a backslash and three octal digits.
std::string escaped(std::string_view name) {
  std::string text;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '"' || b == '\\') {
      text += '\\';
      text += c;
    } else if (b >= 0x20 && b < 0x7f) {
      text += c;
    } else {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", b);
      text += octal;
    }
  }
  return text;
}

constexpr std::size_t kRememberRefused = 16;

class Upload {
public:
  Upload(DatagramLink& link, const std::string& file, std::FILE* out)
      : link_(link), file_(file), out_(out) {}
  ~Upload() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int run();

private:
  // Ends the upload: the socket is closed and the program ends with `status`.
  int end(int status) {
    link_.close();
    return status;
  }
  // Fills data_ with block `block` from the file's current place; the count, or -1.
  ssize_t read_block(unsigned block) {
    put16(&data_[0], tftp::kData);
    put16(&data_[2], block);
    return ::read(fd_, &data_[4], tftp::kBlock);
  }
  // The name a read request asks for (the buffer has a byte past the largest datagram, so
  // the name always ends).
  const char* requested() const { return reinterpret_cast<const char*>(&in_[2]); }
  std::optional<int> read_request(const sockaddr_in& from);
  void refuse(const sockaddr_in& from);
  bool was_refused(const sockaddr_in& from) const;
  std::optional<int> ack(unsigned block);
  std::optional<int> send(ssize_t count);

  DatagramLink& link_;
  const std::string& file_;
  std::FILE* out_;
  int fd_ = -1;
  ssize_t last_count_ = -1;          // the last ACK's read; not zero before the first
  std::vector<sockaddr_in> refused_; // the last few senders refused
  std::array<std::uint8_t, tftp::kReceive + 1> in_{};
  std::array<std::uint8_t, tftp::kPacket> data_{};
};

void Upload::refuse(const sockaddr_in& from) {
  std::fprintf(out_, "(Refusing a TFTP request for \"%s\".)\n", escaped(requested()).c_str());
  static constexpr char kMessage[] = "Access violation";
  std::array<std::uint8_t, 4 + sizeof kMessage> error{};
  put16(&error[0], tftp::kError);
  put16(&error[2], tftp::kAccessViolation);
  std::memcpy(&error[4], kMessage, sizeof kMessage);
  if (link_.send_to(error.data(), error.size(), from) != static_cast<ssize_t>(error.size())) {
    perror_to(out_, "sendto");
  }
  if (!was_refused(from)) {
    if (refused_.size() == kRememberRefused) {
      refused_.erase(refused_.begin());
    }
    refused_.push_back(from);
  }
}

bool Upload::was_refused(const sockaddr_in& from) const {
  return std::any_of(refused_.begin(), refused_.end(), [&](const sockaddr_in& r) {
    return r.sin_addr.s_addr == from.sin_addr.s_addr && r.sin_port == from.sin_port;
  });
}

std::optional<int> Upload::read_request(const sockaddr_in& from) {
  const char* name = requested();
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = ::open(name, O_RDONLY);
  if (fd_ < 0) {
    perror_to(out_, "open");
    return end(0);
  }
  const ssize_t count = read_block(1);
  if (count < 0) {
    perror_to(out_, "read");
    return end(0);
  }
  if (link_.connect(from) < 0) {
    perror_to(out_, "connect");
    link_.close();
    return 1;
  }
  std::fputs("Starting to upload the firmware...\n", out_);
  return send(count);
}

std::optional<int> Upload::ack(unsigned block) {
  if (fd_ < 0 || ::lseek(fd_, static_cast<off_t>(block) * tftp::kBlock, SEEK_SET) < 0) {
    return end(0);
  }
  const ssize_t count = read_block((block + 1) & 0xffff);
  if (count < 0) {
    perror_to(out_, "read");
    return end(0);
  }
  if (count == 0 && last_count_ == 0) {
    std::fputs("Firmware successfully uploaded.\n", out_);
    return end(0);
  }
  last_count_ = count;
  return send(count);
}

std::optional<int> Upload::send(ssize_t count) {
  const std::size_t len = 4 + static_cast<std::size_t>(count);
  if (link_.send(data_.data(), len) != static_cast<ssize_t>(len)) {
    perror_to(out_, "send");
    return end(0);
  }
  return std::nullopt;
}

int Upload::run() {
  std::fputs("Awaiting a TFTP request...\n", out_);
  // Only what is served counts as the module's sign of life: refused requests do not
  // put off the end.
  std::time_t deadline = link_.now() + kTftpSilence;
  for (;;) {
    const std::time_t left = deadline - link_.now();
    if (left <= 0 || link_.wait_readable(static_cast<int>(left)) != 1) {
      std::fprintf(out_,
                   "The module has been quiescent for %d seconds.\n"
                   "Assuming something is wrong...\n",
                   kTftpSilence);
      return end(0);
    }
    in_.fill(0);
    sockaddr_in from{};
    if (link_.receive(in_.data(), tftp::kReceive, &from) < 0) {
      perror_to(out_, "recvfrom");
      deadline = link_.now() + kTftpSilence;
      continue;
    }
    const unsigned op = get16(&in_[0]);
    // Only the file the reply named: serving any name asked for would let whoever reaches
    // the port read this host's files.
    if (op == tftp::kRead && file_ != requested()) {
      refuse(from);
      continue;
    }
    // What a refused client sends after our ERROR (tftp-hpa acknowledges it) is not the
    // module's.
    if (fd_ < 0 && op != tftp::kRead && was_refused(from)) {
      continue;
    }
    std::optional<int> done;
    switch (op) {
    case tftp::kRead:
      done = read_request(from);
      break;
    case tftp::kAck:
      done = ack(get16(&in_[2]));
      break;
    case tftp::kError:
      std::fputs("The module reported a TFTP error.\n", out_);
      done = end(0);
      break;
    default:
      std::fprintf(out_, "Received an unexpected TFTP request (%d).\n", static_cast<int>(op));
      done = end(0);
      break;
    }
    if (done) {
      return *done;
    }
    deadline = link_.now() + kTftpSilence;
  }
}

} // namespace

int tftp_upload(DatagramLink& link, const std::string& file, std::FILE* out) {
  return Upload(link, file, out).run();
}

} // namespace qdnet::ipserv

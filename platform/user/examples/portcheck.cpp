// portcheck: writes a line to a port and reads it back, through the device access library,
// as a program would. On a port with a loopback plug the line comes straight back.
//
//   portcheck NODE [TEXT]
//
// NODE is a node name in the device directory ($QD_DEVDIR, else /dev/qmx), or a path.
// Exit status 0 when the same line came back within five seconds, 1 otherwise.
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "qdev/qdev.h"
#include "qdev/tty.h"

namespace {

constexpr std::chrono::seconds kWait{5};

// Bits per second of the speed codes B0 to B460800.
constexpr long kSpeeds[] = {0,     50,    75,     110,    134,    150,    200,   300,
                            600,   1200,  1800,   2400,   4800,   9600,   19200, 38400,
                            57600, 76800, 115200, 153600, 230400, 307200, 460800};

int fail(const std::string& node, const char* what) {
  std::fprintf(stderr, "portcheck: %s: %s: %s\n", node.c_str(), what, std::strerror(errno));
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  // A node's name never starts with '-': "-h" is a mistake, not a node to look for.
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: portcheck NODE [TEXT]\n");
    return 1;
  }
  const std::string node = argv[1];
  const std::string path = node.find('/') == std::string::npos ? "/dev/qmx/" + node : node;
  const std::string text = argc == 3 ? argv[2] : "hello through the cable";

  // No delay: a port without carrier opens at once, as the tools open them.
  int fd = qdev::open(path.c_str(), O_RDWR | O_NDELAY);
  if (fd < 0) {
    return fail(node, "open");
  }
  termios t{};
  if (qdev::tcgetattr(fd, &t) != 0) {
    return fail(node, "not a terminal");
  }
  const speed_t code = qdev::cfgetospeed(&t);
  std::printf("%s: a terminal at %ld bit/s\n", node.c_str(),
              code < std::size(kSpeeds) ? kSpeeds[code] : -1L);

  const std::string line = text + "\n";
  if (qdev::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return fail(node, "write");
  }
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (got.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pf{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pf, 1, static_cast<int>(left.count())) != 1) {
      std::printf("%s: wrote \"%s\", nothing came back\n", node.c_str(), text.c_str());
      qdev::close(fd);
      return 1;
    }
    char buf[256];
    ssize_t n = qdev::read(fd, buf, sizeof buf);
    if (n < 0) {
      return fail(node, "read");
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  got.erase(got.find('\n'));
  std::printf("%s: wrote \"%s\", read back \"%s\"\n", node.c_str(), text.c_str(), got.c_str());
  if (qdev::close(fd) != 0) {
    return fail(node, "close");
  }
  return got == text ? 0 : 1;
}

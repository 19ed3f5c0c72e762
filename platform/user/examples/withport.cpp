// withport: runs a program with a port as its standard input, as a shell's '<' would if it
// could open a node (a node is a socket, which '<' cannot open).
//
//   withport NODE PROGRAM [ARG...]
//
// NODE is a node name in the device directory ($QD_DEVDIR, else /dev/qmx), or a path. The
// port is opened read-write without waiting for carrier, as the tools open ports, then made
// blocking. Exit status: the program's; 125 when the port cannot be opened, 126 or 127 when
// the program cannot be run.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "qdev/qdev.h"

int main(int argc, char** argv) {
  // A node's name never starts with '-': "-h" is a mistake, not a node to look for.
  if (argc < 3 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: withport NODE PROGRAM [ARG...]\n");
    return 125;
  }
  const std::string node = argv[1];
  const std::string path = node.find('/') == std::string::npos ? "/dev/qmx/" + node : node;
  const int fd = qdev::open(path.c_str(), O_RDWR | O_NDELAY);
  if (fd < 0 || qdev::fcntl(fd, F_SETFL, 0) != 0) {
    std::fprintf(stderr, "withport: %s: %s\n", node.c_str(), std::strerror(errno));
    return 125;
  }
  // The node stays open in the program; this process's record of it ends with the exec.
  if (fd != STDIN_FILENO && ::dup2(fd, STDIN_FILENO) < 0) {
    std::fprintf(stderr, "withport: %s\n", std::strerror(errno));
    return 125;
  }
  ::fcntl(STDIN_FILENO, F_SETFD, 0);
  ::execvp(argv[2], argv + 2);
  const int err = errno;
  std::fprintf(stderr, "withport: %s: %s\n", argv[2], std::strerror(err));
  return err == ENOENT ? 127 : 126;
}

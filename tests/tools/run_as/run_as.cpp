// run_as RUID EUID PROGRAM [ARG...]: runs PROGRAM with the real and effective user ids given
// (and the group ids of an unprivileged user unless both are 0), for the tools' privilege
// checks. Must be started as root; PROGRAM must be where those users can run it.
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qdtest/child_guard.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: run_as RUID EUID PROGRAM [ARG...]\n", stderr);
    return 127;
  }
  const pid_t parent = ::getppid();
  const uid_t ruid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
  const uid_t euid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
  const gid_t gid = ruid == 0 && euid == 0 ? 0 : 65534;
  if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
      ::setresuid(ruid, euid, euid) != 0) {
    std::perror("run_as");
    return 127;
  }
  // The change of ids cleared the death signal the test's harness asked for.
  qdtest::stay_with(parent);
  ::execv(argv[3], argv + 3);
  std::fprintf(stderr, "run_as: cannot run %s as uid %s, euid %s: %s\n", argv[3], argv[1], argv[2],
               std::strerror(errno));
  return 127;
}

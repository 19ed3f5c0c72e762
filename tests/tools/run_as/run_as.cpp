// run_as RUID EUID PROGRAM [ARG...]: runs PROGRAM with the real and effective user ids given
// (and the group ids of an unprivileged user unless both are 0), for the tools' privilege
// checks. Must be started as root.
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: run_as RUID EUID PROGRAM [ARG...]\n", stderr);
    return 127;
  }
  const uid_t ruid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
  const uid_t euid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
  const gid_t gid = ruid == 0 && euid == 0 ? 0 : 65534;
  if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
      ::setresuid(ruid, euid, euid) != 0) {
    std::perror("run_as");
    return 127;
  }
  ::execv(argv[3], argv + 3);
  std::perror("run_as: exec");
  return 127;
}

// The tools as programs: a qdhost with the units they are tried on, runs of a tool as a
// child process (also under other user ids), and a port held open by the test meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qdtest/host_process.h"
#include "qdtest/program_copy.h"

struct termios;
struct qd_ext_ctl;

namespace tooltest {

// ttyc20-ttyc23 plugged, ttyc24-ttyc2f bare; lpc48 is the A/B switch of a redundant unit.
inline constexpr char kTopology[] = "qmx 0:2 QMX-16S-115A\n"
                                    "  port 0-3 loopback\n"
                                    "qmx 0:4 QMX-8S1P-115A redundant\n"
                                    "  port 0 loopback\n";
inline constexpr uid_t kNobody = 65534;

// A program whose effective user id is not root and differs from its real one runs
// non-dumpable, and a sanitizer build of it cannot even start (its runtime reads /proc).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRunsUnderMixedIds = false;
#else
inline constexpr bool kRunsUnderMixedIds = true;
#endif

// A node as the programs name it; the device access library maps it to the host's directory.
inline std::string node(const std::string& name) {
  return "/dev/qmx/" + name;
}

class ToolHost : public ::testing::Test {
protected:
  ToolHost();
  // A fixture whose tool needs root may skip before calling this; the host is then not
  // started, and TearDown leaves it alone.
  void SetUp() override;
  void TearDown() override;

  qdtest::Output run(const std::string& tool, const std::vector<std::string>& args,
                     std::string_view input = {});
  // With these real and effective user ids; the tool runs from a copy those users can reach.
  // Only root can change ids: tests that call it skip for other users.
  qdtest::Output run_as(uid_t ruid, uid_t euid, const std::string& tool,
                        const std::vector<std::string>& args);
  // As a user without privilege: nobody when the test runs as root, else the test's own user.
  qdtest::Output run_unprivileged(const std::string& tool, const std::vector<std::string>& args);

  qdtest::Host host_;

private:
  std::map<std::string, std::unique_ptr<qdtest::ProgramCopy>> copies_;
};

// A port the test holds open (O_NDELAY) while tools work on it.
class HeldPort {
public:
  explicit HeldPort(const std::string& name);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

  int fd() const { return fd_; }
  termios termios_now() const;
  qd_ext_ctl ext_now() const;

private:
  int fd_ = -1;
};

} // namespace tooltest

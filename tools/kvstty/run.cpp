// kvstty's main sequence and per-port sequence (do_port).
#include "kvstty/run.h"

#include <cstdio>
#include <string>

#include "ksys/stropts.h"
#include "ksys/termios.h"
#include "kvstty/display.h"
#include "kvstty/merge.h"
#include "kvstty/options.h"
#include "kvutils.h"
#include "qdev/qdev.h"
#include "qdio.h"

namespace kvstty {
namespace {

constexpr unsigned kOpenSeconds = 5;

int usage() {
  for (const char* line : kUsageLines) {
    std::fprintf(stderr, "%s\n", line);
  }
  return 1;
}

// Settings of the last port worked on, as merged and sent.
struct PortState {
  termios ttyparms{};
  qd_ext_ctl xc{};
};

int open_port(const std::string& name, int* fd) {
  const std::string path = kv::node_path(name);
  kv::OpenTimeout timeout;
  timeout.message = "Open of port '" + name + "' timed out.\n" +
                    "Port may be blocked in open with another process.\n";
  *fd = kv::open_under_alarm(path.c_str(), kOpenSeconds, timeout);
  if (*fd < 0) {
    kv::report_errno(stderr, path.c_str());
    std::fputs("Couldn't open specified port.\n", stderr);
    return 1;
  }
  return 0;
}

int ext_ioctl(int fd, std::uint32_t cmd, qd_ext_ctl& xc) {
  strioctl s{};
  s.ic_cmd = qd_ioc(cmd);
  s.ic_timout = 0;
  s.ic_len = sizeof xc;
  s.ic_dp = reinterpret_cast<char*>(&xc);
  return qdev::ioctl(fd, I_STR, &s);
}

// do_port: 0, or the exit status of a failure (its messages written).
int do_port(const Request& req, Variant v, const std::string* name, PortState& st) {
  int fd = 0; // standard input without a port list
  if (name != nullptr && open_port(*name, &fd) != 0) {
    return 1;
  }
  const std::string tty_name = name != nullptr ? *name : "STDIN";

  if (qdev::ioctl(fd, TCGETS, &st.ttyparms) < 0) {
    std::fputs("Error reading TTY params for line\n", stderr);
    return usage();
  }
  if (ext_ioctl(fd, QMXGETEXTCTL, st.xc) < 0) {
    std::fputs("QMXGETEXTCTL not supported.  Not a QMX/VRN port?\n", stderr);
    return usage();
  }

  MergeResult m = apply_options(req, v, tty_name, st.ttyparms, st.xc);
  std::fputs(m.messages.c_str(), stderr);
  if (!m.ok) {
    return 1;
  }

  if (m.update_ext && ext_ioctl(fd, QMXSETEXTCTL, st.xc) < 0) {
    kv::report_errno(stderr, nullptr);
    std::fputs("Error updating extended control info for line\n", stderr);
    return 1;
  }
  if (m.update_tty) {
    const termios& sent = st.ttyparms;
    if (qdev::ioctl(fd, TCSETS, &sent) < 0) {
      kv::report_errno(stderr, nullptr);
      std::fprintf(stderr, "%d\n", static_cast<int>(st.ttyparms.c_cflag & 0xf));
      std::fputs("Error updating regular TTY control info for line\n", stderr);
      return 1;
    }
  }
  if (name != nullptr && qdev::close(fd) != 0) {
    kv::report_errno(stderr, "Error closing port");
  }
  return 0;
}

} // namespace

int run(std::span<const char* const> args, Variant v) {
  const std::vector<std::string> words = kv::split_words(args.empty() ? args : args.subspan(1));
  Request req;
  if (auto err = process_words(words, req)) {
    std::fputs(err->message.c_str(), stderr);
    return err->with_usage ? usage() : 1;
  }

  PortState st;
  if (req.use_stdin()) {
    if (int status = do_port(req, v, nullptr, st); status != 0) {
      return status;
    }
  } else {
    for (const std::string& name : req.portnames) {
      if (int status = do_port(req, v, &name, st); status != 0) {
        return status;
      }
    }
  }

  if (req.single_port()) {
    const std::string tty_name = req.use_stdin() ? "STDIN" : req.portnames.front();
    Display d = do_display(req, v, tty_name, st.ttyparms, st.xc);
    std::fputs(d.text.c_str(), stderr);
    if (!d.ok) {
      return 1;
    }
  }
  return 0;
}

} // namespace kvstty

// Which paths are device nodes, and where their sockets live.
#include <gtest/gtest.h>

#include <cstdlib>

#include "qdev/qdev.h"

namespace {

struct Env {
  explicit Env(const char* devdir) {
    if (devdir != nullptr) {
      ::setenv("QD_DEVDIR", devdir, 1);
    } else {
      ::unsetenv("QD_DEVDIR");
    }
  }
  ~Env() { ::unsetenv("QD_DEVDIR"); }
};

TEST(DevicePath, NodesAndTheirSockets) {
  struct Case {
    const char* env;
    const char* path;
    const char* socket; // "" : not a node
  };
  const Case cases[] = {
      {nullptr, "/dev/qmx/ttyc30", "/dev/qmx/ttyc30"},
      {nullptr, "/dev/qmx/ttyc30,cu", "/dev/qmx/ttyc30,cu"},
      {nullptr, "/dev/qmx/", ""},
      {nullptr, "/dev/qmx", ""},
      {nullptr, "/dev/qmxdiag", ""},
      {nullptr, "/dev/qmx/sub/ttyc30", ""},
      {nullptr, "/dev/qmx/..", ""},
      {nullptr, "ttyc30", ""},
      {nullptr, "/dev/tty", ""},
      {"/tmp/qd", "/tmp/qd/qmxdiag", "/tmp/qd/qmxdiag"},
      {"/tmp/qd", "/dev/qmx/qmxdiag", "/tmp/qd/qmxdiag"}, // the programs' spelling
      {"/tmp/qd//", "/tmp/qd/vrnn0", "/tmp/qd/vrnn0"},
      {"/tmp/qd", "/tmp/qdx/vrnn0", ""},
      {"", "/dev/qmx/lpc31", "/dev/qmx/lpc31"}, // empty means unset
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.env ? c.env : "(unset)") + " " + c.path);
    Env env(c.env);
    EXPECT_EQ(qdev::node_socket_path(c.path), c.socket);
  }
  Env env("/srv/nodes/");
  EXPECT_EQ(qdev::device_dir(), "/srv/nodes");
}

TEST(DevicePath, DeviceNumbers) {
  const dev_t dev = (static_cast<dev_t>(77) << 18) | 0x2ffff;
  EXPECT_EQ(qdev::major_of(dev), 77u);
  EXPECT_EQ(qdev::minor_of(dev), 0x2ffffu);
  EXPECT_EQ(dev & 0x3ffff, qdev::minor_of(dev)) << "what the tools take";
}

} // namespace

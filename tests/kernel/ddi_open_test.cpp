// Opening the nodes a driver created, by device number and by name, through the stream head.
#include "kemu/ddi.h"
#include "kemu/devopen.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "kemu/streams.h"
#include "ksys/ddi.h"
#include "ksys/modctl.h"
#include "ksys/stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using kemu::Ddi;
using kemu::StreamFile;

// A STREAMS driver that echoes what is written; one pseudo instance with two nodes.
std::vector<std::string> g_events;

int echo_open(queue_t* q, dev_t* devp, int /*oflag*/, int /*sflag*/, cred_t* /*cr*/) {
  const minor_t mn = getminor(*devp);
  g_events.push_back("open " + std::to_string(mn));
  if (mn == 5) {
    return ENODEV; // no such port
  }
  qprocson(q);
  return 0;
}

int echo_close(queue_t* q, int /*flag*/, cred_t* /*cr*/) {
  g_events.push_back("close");
  qprocsoff(q);
  return 0;
}

int echo_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

int echo_wput(queue_t* q, mblk_t* mp) {
  if (mp->b_datap->db_type == M_DATA) {
    qreply(q, mp);
  } else {
    freemsg(mp);
  }
  return 0;
}

module_info echo_minfo = {0, "echo", 0, INFPSZ, 512, 128};
qinit echo_rinit = {echo_rput, nullptr, echo_open, echo_close, nullptr, &echo_minfo, nullptr};
qinit echo_winit = {echo_wput, nullptr, nullptr, nullptr, nullptr, &echo_minfo, nullptr};
streamtab echo_info = {&echo_rinit, &echo_winit, nullptr, nullptr};

int echo_attach(dev_info_t* dip, ddi_attach_cmd_t /*cmd*/) {
  if (ddi_create_minor_node(dip, "echo0", S_IFCHR, 0, DDI_NT_SERIAL, 0) != DDI_SUCCESS ||
      ddi_create_minor_node(dip, "echo0,cu", S_IFCHR, 0x20000, DDI_NT_SERIAL_DO, 0) !=
          DDI_SUCCESS) {
    ddi_remove_minor_node(dip, nullptr);
    return DDI_FAILURE;
  }
  return DDI_SUCCESS;
}

int echo_detach(dev_info_t* dip, ddi_detach_cmd_t /*cmd*/) {
  ddi_remove_minor_node(dip, nullptr);
  return DDI_SUCCESS;
}

cb_ops echo_cb_ops = {nulldev,     nulldev,    nodev, nodev,  nodev, nodev,
                      nodev,       nodev,      nodev, nodev,  nodev, nochpoll,
                      ddi_prop_op, &echo_info, D_MP,  CB_REV, nodev, nodev};
dev_ops echo_ops = {DEVO_REV,    0,     nullptr,      nulldev, nulldev, echo_attach,
                    echo_detach, nodev, &echo_cb_ops, nullptr, nullptr};
modldrv echo_modldrv = {&mod_driverops, "echo driver", &echo_ops};
modlinkage echo_modlinkage = {MODREV_1, {&echo_modldrv, nullptr}};

int echo_init() {
  return mod_install(&echo_modlinkage);
}
int echo_fini() {
  return mod_remove(&echo_modlinkage);
}

// The same entries without a streamtab: a plain character driver.
cb_ops plain_cb_ops = {nulldev,     nulldev, nodev, nodev,  nodev, nodev,
                       nodev,       nodev,   nodev, nodev,  nodev, nochpoll,
                       ddi_prop_op, nullptr, D_MP,  CB_REV, nodev, nodev};
dev_ops plain_ops = {DEVO_REV, 0,     nullptr,       nulldev, nulldev, nulldev,
                     nulldev,  nodev, &plain_cb_ops, nullptr, nullptr};
modldrv plain_modldrv = {&mod_driverops, "plain driver", &plain_ops};
modlinkage plain_modlinkage = {MODREV_1, {&plain_modldrv, nullptr}};

class DdiOpen : public ::testing::Test {
protected:
  void SetUp() override {
    g_events.clear();
    ASSERT_FALSE(ddi_.load_conf("echo", "echo.conf", "name=\"echo\" parent=\"pseudo\";"));
    ASSERT_EQ(ddi_.load({"echo", echo_init, nullptr, echo_fini, nullptr}), 0);
    ASSERT_EQ(ddi_.attach_all("echo"), std::vector<kemu::Attach>{kemu::Attach::kAttached});
    major_ = *ddi_.major_of("echo");
  }
  void TearDown() override {
    kernel_.settle();
    EXPECT_EQ(kemu::streams_open_count(), 0u);
    kemu::discard_all_streams();
    for (const auto& r : kernel_.take_reports()) {
      ADD_FAILURE() << "kernel report: " << r.what;
    }
  }

  int open(StreamFile& f, dev_t dev) {
    return kemu::as_user([&] { return kemu::open_device(dev, FREAD | FWRITE, nullptr, f); });
  }
  int open(StreamFile& f, std::string_view name) {
    return kemu::as_user([&] { return kemu::open_device(name, FREAD | FWRITE, nullptr, f); });
  }
  std::string echo(StreamFile& f, std::string_view text) {
    EXPECT_TRUE(kemu::as_user([&] { return f.write(text); }).ok());
    std::string buf(64, '\0');
    auto r = kemu::as_user([&] { return f.read(std::as_writable_bytes(std::span(buf))); });
    return r.ok() ? buf.substr(0, static_cast<std::size_t>(r.value)) : "<error>";
  }
  int close(StreamFile& f) {
    return kemu::as_user([&] { return f.close(); });
  }

  kemu::Kernel kernel_;
  Ddi ddi_;
  major_t major_ = 0;
};

TEST_F(DdiOpen, ByNameAndByDeviceNumber) {
  StreamFile a;
  ASSERT_EQ(open(a, "echo0,cu"), 0);
  EXPECT_EQ(a.dev(), makedevice(major_, 0x20000));
  EXPECT_EQ(echo(a, "hello"), "hello");
  EXPECT_EQ(close(a), 0);

  StreamFile b;
  ASSERT_EQ(open(b, makedevice(major_, 0)), 0);
  EXPECT_EQ(echo(b, "x"), "x");
  EXPECT_EQ(close(b), 0);
  EXPECT_EQ(g_events, (std::vector<std::string>{"open 131072", "close", "open 0", "close"}));
}

TEST_F(DdiOpen, Refusals) {
  StreamFile f;
  EXPECT_EQ(open(f, "echo9"), ENOENT);
  EXPECT_EQ(open(f, makedevice(major_ + 1, 0)), ENXIO);
  // The driver's own refusal comes back as it is.
  EXPECT_EQ(open(f, makedevice(major_, 5)), ENODEV);
  EXPECT_FALSE(f.is_open());

  // A driver without a streamtab cannot be opened through the stream head.
  ASSERT_EQ(ddi_.load({"plain", [] { return mod_install(&plain_modlinkage); }, nullptr,
                       [] { return mod_remove(&plain_modlinkage); }, nullptr}),
            0);
  dev_info_t* n = ddi_.add_node(ddi_.pseudo(), "plain");
  ASSERT_EQ(ddi_create_minor_node(n, "plain0", S_IFCHR, 0, DDI_PSEUDO, 0), DDI_SUCCESS);
  EXPECT_EQ(open(f, "plain0"), ENXIO);
}

TEST_F(DdiOpen, GoneAfterUnload) {
  ASSERT_EQ(ddi_.unload("echo"), 0);
  StreamFile f;
  EXPECT_EQ(open(f, "echo0"), ENOENT);
  EXPECT_EQ(open(f, makedevice(major_, 0)), ENXIO);
  EXPECT_TRUE(g_events.empty());
}

} // namespace

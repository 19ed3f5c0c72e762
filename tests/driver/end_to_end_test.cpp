// The whole road: a 16-port unit with loopback plugs, a port opened by name through its
// stream head, bytes written out through the unit and read back in.
#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

using EndToEnd = LoadedDriverFixture;

TEST_F(EndToEnd, BytesWrittenToALoopedBackPortComeBack) {
  topo_->add_qmx(1, 3,
                 qdemu::QmxSpec{{.model = "QMX-16S-115A"}}.loopback(
                     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  load();
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyd37", f), 0);
  kernel_.settle();
  EXPECT_TRUE(f.is_tty());

  std::string text;
  for (int i = 0; i < 600; ++i) {
    text += static_cast<char>('!' + (i * 7) % 90);
  }
  EXPECT_EQ(write(f, text).value, static_cast<long>(text.size()));
  EXPECT_EQ(read(f, text.size()), text);
  EXPECT_EQ(close(f), 0);
  EXPECT_EQ(scsi_unit(1, 3)->qdu_flags & QDU_TRANSPORT_UP, 0u) << "the last close took it down";
}

} // namespace
} // namespace loaded_test

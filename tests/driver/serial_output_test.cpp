// Serial output: data leaves as FAS_SEND commands no larger than the line's send size, one
// outstanding at a time, and waits while output is blocked.
#include "line_fixture.h"

namespace lineio_test {
namespace {

using SerialOutput = LineFixture;

TEST_F(SerialOutput, Smoke) {
  qd_line* lp = open_port(0, 9600);
  ASSERT_TRUE(write(0, "hello").ok());
  std::vector<FasCmd> cmds = take_commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].op(), FAS_SEND);
  EXPECT_EQ(cmds[0].data(), "hello");
  EXPECT_NE(lp->qdl_flags & QDL_SEND_OUT, 0u);
}

} // namespace
} // namespace lineio_test
namespace lineio_test {
namespace {
TEST_F(SerialOutput, Smoke2) {
  open_port(1, 9600);
  std::string data(300, 'x');
  for (int i = 0; i < 300; ++i) data[i] = char('a' + i % 26);
  ASSERT_TRUE(write(1, data).ok());
  EXPECT_EQ(pump_sends(), data);
}
}
}

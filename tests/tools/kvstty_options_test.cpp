// kvstty's words: keywords in any case, keyword=value, the port list, numbers and refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvstty/options.h"
#include "kvutils.h"

namespace {

using kvstty::Request;

struct Parsed {
  Request req;
  std::optional<kvstty::WordError> error;
};

Parsed parse(std::vector<const char*> args) {
  Parsed p;
  p.error = kvstty::process_words(kv::split_words(args), p.req);
  return p;
}

TEST(KvsttyWords, KeywordsMatchInAnyCaseAndSplitAtEquals) {
  for (auto args : std::vector<std::vector<const char*>>{
           {"CLTMR=30", "Loop=ON", "ErrLev", "Verbose", "DTRDEL", "2500"},
           {"cltmr", "30", "loop", "on", "errlev=verbose", "dtrdel=2500"},
       }) {
    Parsed p = parse(args);
    ASSERT_FALSE(p.error) << p.error->message;
    EXPECT_EQ(p.req.nonloc_timeout, 30u);
    EXPECT_EQ(p.req.setloop, true);
    EXPECT_EQ(p.req.level, 2u);
    EXPECT_EQ(p.req.dtr_delay, 250u) << "milliseconds become 10 ms units";
    EXPECT_TRUE(p.req.update_ext);
    EXPECT_FALSE(p.req.display_default);
  }
}

TEST(KvsttyWords, EachSettingKeyword) {
  struct Case {
    std::vector<const char*> args;
    std::optional<std::uint32_t> Request::*field;
    std::uint32_t value;
  };
  const std::vector<Case> cases = {
      {{"baudext", "9"}, &Request::baud_ext, 9},
      {{"grddel", "25"}, &Request::guard_delay, 2},
      {{"dtrdel", "9"}, &Request::dtr_delay, 0},
      {{"cltmr", "0"}, &Request::nonloc_timeout, 0},
      {{"lcltmr", "77"}, &Request::local_timeout, 77},
      {{"outtmr", "5"}, &Request::nonloc_waitout, 5},
      {{"louttmr", "4294967295"}, &Request::local_waitout, 4294967295u},
      {{"errlev", "17"}, &Request::level, 1},
      {{"errlev", "QUIET"}, &Request::level, 0},
      {{"errlev", "Default"}, &Request::level, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + std::string(" ") + c.args[1]);
    Parsed p = parse(c.args);
    ASSERT_FALSE(p.error) << p.error->message;
    EXPECT_EQ(p.req.*c.field, c.value);
    EXPECT_TRUE(p.req.update_ext);
    EXPECT_FALSE(p.req.display_default);
  }
}

TEST(KvsttyWords, SpeedsAndDisplayFlagsLeaveTheDefaultDisplay) {
  Parsed p = parse({"9600", "-AV"});
  ASSERT_FALSE(p.error);
  EXPECT_EQ(p.req.baudrate, 9600u);
  EXPECT_TRUE(p.req.display_all);
  EXPECT_TRUE(p.req.verbose);
  EXPECT_TRUE(p.req.display_default);
  EXPECT_FALSE(p.req.update_ext) << "the speed marks the writes only when it is applied";

  p = parse({"baud", "0"});
  EXPECT_EQ(p.req.baudrate, 0u) << "baud 0 asks for row 0";
  p = parse({"0"});
  EXPECT_FALSE(p.req.baudrate) << "a bare 0 is ignored";
  p = parse({"19200", "0"});
  EXPECT_EQ(p.req.baudrate, 19200u);

  p = parse({"sane"});
  EXPECT_TRUE(p.req.setsane);
  EXPECT_TRUE(p.req.update_ext);
  EXPECT_FALSE(p.req.display_default);
}

TEST(KvsttyWords, LoopArguments) {
  for (const char* on : {"on", "ON", "oN", "1"}) {
    Parsed p = parse({"loop", on});
    ASSERT_FALSE(p.error) << on;
    EXPECT_EQ(p.req.setloop, true) << on;
  }
  for (const char* off : {"off", "OFF", "0"}) {
    Parsed p = parse({"loop", off});
    ASSERT_FALSE(p.error) << off;
    EXPECT_EQ(p.req.setloop, false) << off;
  }
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"loop=01"}, {"loop", "yes"}, {"loop"}, {"loop", ""}}) {
    Parsed p = parse(bad);
    ASSERT_TRUE(p.error);
    EXPECT_EQ(p.error->message, "loop requires on/off or 1/0 argument\n");
    EXPECT_TRUE(p.error->with_usage);
  }
}

TEST(KvsttyWords, PortList) {
  Parsed p = parse({"port", "a", "/dev/qmx/b", "CLTMR=30"});
  ASSERT_FALSE(p.error);
  EXPECT_EQ(p.req.portnames, (std::vector<std::string>{"a", "/dev/qmx/b"}));
  EXPECT_EQ(p.req.nonloc_timeout, 30u) << "the keyword that ends the list is processed";
  EXPECT_FALSE(p.req.single_port());

  p = parse({"ports", "tty0", "9600"});
  ASSERT_FALSE(p.error);
  EXPECT_EQ(p.req.portnames, std::vector<std::string>{"tty0"});
  EXPECT_EQ(p.req.baudrate, 9600u) << "a speed ends the list";
  EXPECT_TRUE(p.req.single_port());
  EXPECT_FALSE(p.req.use_stdin());

  p = parse({"port"});
  ASSERT_FALSE(p.error);
  EXPECT_TRUE(p.req.portnames.empty());
  EXPECT_FALSE(p.req.use_stdin()) << "a port keyword without names works on nothing";
  EXPECT_FALSE(p.req.single_port());

  p = parse({"-v"});
  EXPECT_TRUE(p.req.use_stdin());
  EXPECT_TRUE(p.req.single_port());

  p = parse({"port", "a", "PORTS", "b"});
  ASSERT_TRUE(p.error);
  EXPECT_EQ(p.error->message, "The ports mode cannot be specified more than once\n");
  EXPECT_TRUE(p.error->with_usage);
}

TEST(KvsttyWords, PortListStopsAfter1024Names) {
  std::vector<std::string> names;
  std::vector<const char*> args = {"port"};
  for (int i = 0; i < 1025; ++i) {
    // Not "p" + std::to_string(i), which trips GCC 12's -Wrestrict at -O3.
    names.push_back(std::string("p").append(std::to_string(i)));
  }
  for (const auto& n : names) {
    args.push_back(n.c_str());
  }
  Parsed p = parse(args);
  ASSERT_TRUE(p.error) << "the 1025th name is processed as an option";
  EXPECT_EQ(p.error->message, "Option 'p1024' not recognized\n");
  EXPECT_EQ(p.req.portnames.size(), kvstty::kMaxPorts);
}

TEST(KvsttyWords, Refusals) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
    bool usage;
  };
  const std::vector<Case> cases = {
      {{"speed"}, "Option 'speed' not recognized\n", true},
      {{"-x"}, "Option '-x' not recognized\n", true},
      {{"port", "ttyc20", "-h"}, "Option '-h' not recognized\n", true}, // not a port's name
      {{"12a"}, "Option '12a' not recognized\n", true},
      {{"errlev"},
       "'errlev' expects either mnemonic argument (quiet,default,\nverbose), or numeric.\n",
       true},
      {{"errlev", "loud"},
       "'errlev' expects either mnemonic argument (quiet,default,\nverbose), or numeric.\n",
       true},
      {{"baud"}, "Numeric argument required for baud option\n", false},
      {{"baud", "fast"}, "Numeric argument required for baud option\n", false},
      {{"baudext", "-1"}, "Numeric argument required for baudext option\n", false},
      {{"cltmr="}, "Numeric argument required for cltmr option\n", false},
      {{"lcltmr", "1.5"}, "Numeric argument required for lcltmr option\n", false},
      {{"dtrdel", "+5"}, "Numeric argument required for dtrdel option\n", false},
      {{"grddel"}, "Numeric argument required for grdel option\n", false},
      {{"outtmr", "x"}, "Numeric argument required for outtmr option\n", false},
      // Too large for 32 bits: refused as typed, before any port is opened.
      {{"louttmr", "4294967296"},
       "Numeric argument 4294967296 out of range for louttmr option\n",
       false},
      {{"cltmr=018446744073709551617"},
       "Numeric argument 018446744073709551617 out of range for cltmr option\n",
       false},
      {{"99999999999"}, "Baudrate 99999999999 out of range\n", false},
      {{"baud", "18446744073709551616"}, "Baudrate 18446744073709551616 out of range\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Parsed p = parse(c.args);
    ASSERT_TRUE(p.error);
    EXPECT_EQ(p.error->message, c.message);
    EXPECT_EQ(p.error->with_usage, c.usage);
  }
}

TEST(KvsttyWords, ProcessingStopsAtTheFirstError) {
  Parsed p = parse({"cltmr=30", "bogus", "lcltmr=40"});
  ASSERT_TRUE(p.error);
  EXPECT_EQ(p.req.nonloc_timeout, 30u);
  EXPECT_FALSE(p.req.local_timeout);
}

} // namespace

// kvipserv's command line, its hex dump and its operator boxes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "module_fixture.h"
#include "qdnet/ipserv.h"
#include "temp_dir.h"

namespace nettest {
namespace {

namespace ip = qdnet::ipserv;

constexpr const char* kHw = "02-6A-11-00-03-63";
constexpr const char* kServed = "127.9.200.10";
const ip::HwAddr kHwBytes{0x02, 0x6A, 0x11, 0x00, 0x03, 0x63};

struct Scanned {
  std::optional<ip::Config> cfg;
  std::string out;
};

Scanned scan(std::vector<std::string> args) {
  args.insert(args.begin(), "kvipserv");
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  MemStream out;
  Scanned s;
  s.cfg = ip::scan_args(static_cast<int>(args.size()), argv.data(), out.file());
  s.out = out.text();
  return s;
}

std::string usage() {
  MemStream out;
  ip::print_usage(out.file(), "kvipserv");
  return out.text();
}

class ScanArgs : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    firmware_ = dir_ / "fw.prm";
    std::ofstream(firmware_) << "image";
  }
  TempDir dir_;
  std::string firmware_;
};

TEST_F(ScanArgs, BuildsTheOptionListInCommandLineOrder) {
  using B = std::vector<std::uint8_t>;
  struct Case {
    std::vector<std::string> args;
    B options;
    bool reset, store, erase;
  } const cases[] = {
      {{kHw, kServed}, {}, false, false, false},
      {{"-reset", "-store", kHw, kServed}, {3, 1, 1}, true, true, false},
      {{"-rx", "-erase", kHw, kServed}, {3, 1, 2}, true, false, true},
      // directly before the hardware address: one host
      {{"-host", "127.1.2.3", kHw, kServed}, {1, 4, 127, 1, 2, 3}, false, false, false},
      // followed by a flag: one host
      {{"-host", "127.1.2.3", "-store", kHw, kServed},
       {1, 4, 127, 1, 2, 3, 3, 1, 1},
       false,
       true,
       false},
      // an address and a mask: a host list, mask first
      {{"-hosts", "127.1.2.3", "255.255.255.0", "-erase", kHw, kServed},
       {2, 8, 255, 255, 255, 0, 127, 1, 2, 3, 3, 1, 2},
       false,
       false,
       true},
      {{"-store", "-host", "127.0.0.9", "-host", "127.0.0.8", "255.0.0.0", kHw, kServed},
       {3, 1, 1, 1, 4, 127, 0, 0, 9, 2, 8, 255, 0, 0, 0, 127, 0, 0, 8},
       false,
       true,
       false},
  };
  for (const Case& c : cases) {
    const Scanned s = scan(c.args);
    ASSERT_TRUE(s.cfg) << s.out;
    EXPECT_EQ(s.cfg->options, c.options);
    EXPECT_EQ(s.cfg->reset, c.reset);
    EXPECT_EQ(s.cfg->store, c.store);
    EXPECT_EQ(s.cfg->erase, c.erase);
    EXPECT_EQ(s.cfg->hwaddr, kHwBytes);
    EXPECT_EQ(s.cfg->served, ::inet_addr(kServed));
    EXPECT_TRUE(s.cfg->firmware.empty());
  }
}

TEST_F(ScanArgs, EightHostListsAndACommandFillTheList) {
  std::vector<std::string> args{"-store"};
  for (int i = 0; i < ip::kMaxHosts; ++i) {
    args.insert(args.end(), {"-host", "127.0.0." + std::to_string(i + 1), "255.255.255.0"});
  }
  args.insert(args.end(), {kHw, kServed});
  const Scanned s = scan(args);
  ASSERT_TRUE(s.cfg) << s.out;
  EXPECT_EQ(s.cfg->options.size(), ip::kMaxOptions);
}

TEST_F(ScanArgs, AHostListIsDumped) {
  const Scanned s = scan({"-host", "127.1.2.3", "255.255.255.0", "-reset", kHw, kServed});
  ASSERT_TRUE(s.cfg);
  EXPECT_EQ(s.out, "     0/0x0: 02 08 FF FF FF 00 7F 01 02 03                    ..........\n");
}

TEST_F(ScanArgs, HardwareAddressForms) {
  for (const char* hw : {"02-6A-11-00-03-63", "02:6A:11:00:03:63", "02.6A.11.00.03.63",
                         "026A11000363", "2-6a-11-0-3-63"}) {
    const Scanned s = scan({hw, kServed});
    ASSERT_TRUE(s.cfg) << hw << ": " << s.out;
    EXPECT_EQ(s.cfg->hwaddr, kHwBytes) << hw;
  }
}

TEST_F(ScanArgs, TheFirmwareFileNameMayHave127Characters) {
  std::string name = dir_.path() + "/";
  name += std::string(ip::kMaxFileName - name.size(), 'f');
  std::ofstream(name) << "image";
  const Scanned ok = scan({"-file", name, kHw, kServed});
  ASSERT_TRUE(ok.cfg) << ok.out;
  EXPECT_EQ(ok.cfg->firmware, name);

  const std::string longer = name + "g";
  std::ofstream(longer) << "image";
  const Scanned refused = scan({"-firmware", longer, kHw, kServed});
  EXPECT_FALSE(refused.cfg);
  EXPECT_EQ(refused.out, "Filename is too long: \"" + longer +
                             "\".Must be 127 characters or fewer.\n\n" + usage());
}

// The upload ends with an empty block after the file's last one: that block's number too
// must fit 16 bits.
TEST_F(ScanArgs, AFirmwareFileMustFitTftpsBlockNumbers) {
  ASSERT_EQ(::truncate(firmware_.c_str(), ip::tftp::kMaxFileSize), 0);
  const Scanned ok = scan({"-f", firmware_, kHw, kServed});
  EXPECT_TRUE(ok.cfg) << ok.out;
  ASSERT_EQ(::truncate(firmware_.c_str(), 65534 * 512 + 1), 0);
  const Scanned refused = scan({"-f", firmware_, kHw, kServed});
  EXPECT_FALSE(refused.cfg);
  EXPECT_EQ(refused.out, "File \"" + firmware_ +
                             "\" is too large to upload: 33553409 bytes; TFTP's 16-bit block "
                             "numbers allow at most 33553408.\n\n" +
                             usage());
}

TEST_F(ScanArgs, RefusalsPrintTheirMessageAndTheUsage) {
  std::vector<std::string> nine_hosts;
  for (int i = 0; i < 9; ++i) {
    nine_hosts.insert(nine_hosts.end(), {"-host", "127.0.0.1", "-reset"});
  }
  nine_hosts.insert(nine_hosts.end(), {kHw, kServed});
  const std::string missing = dir_ / "missing.prm";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } const cases[] = {
      {{}, "Too few arguments.\n\n"},
      {{kServed}, "Too few arguments.\n\n"},
      {{"-store", "-erase", kHw, kServed}, "You cannot use -store and -erase simultaneously.\n\n"},
      {{"-erase", "-store", kHw, kServed}, "You cannot use -store and -erase simultaneously.\n\n"},
      {{"-store", "-store", kHw, kServed}, "-store may be given only once.\n\n"},
      {nine_hosts, "Only 8 hosts may be declared authorized.\n"
                   "Consider using host lists instead of specifying individual hosts.\n\n"},
      {{"-host", kHw, kServed}, "-hosts requires an IP address (and optional bitmask)\n\n"},
      {{"-host", "-reset", kHw, kServed},
       "-hosts requires an IP address (and optional bitmask)\n\n"},
      {{"-host", "127.1.2.300", kHw, kServed}, "Bad IP address: \"127.1.2.300\"\n\n"},
      {{"-host", "255.255.255.255", kHw, kServed}, "Bad IP address: \"255.255.255.255\"\n\n"},
      {{"-host", "127.1.2.3", "255.255.255.255", "-reset", kHw, kServed},
       "Bad netmask: \"255.255.255.255\"\n\n"},
      {{"-firmware", kHw, kServed},
       "-file (-firmware) requires an argument: the file to be uploaded\n\n"},
      {{"-f", firmware_, "-f", firmware_, kHw, kServed}, "Only one file may be uploaded.\n\n"},
      {{"-f", missing, kHw, kServed},
       "Can't open file \"" + missing + "\".\nstat: No such file or directory\n\n"},
      {{"-x", kHw, kServed}, "Unrecognized argument: \"-x\"\n\n"},
      {{"reset", kHw, kServed}, "Unrecognized argument: \"reset\"\n\n"},
      {{"bogus", kServed},
       "Bad hardware address: \"bogus\"\n"
       "A hardware address should be a six-byte value (e.g., "
       "02-6A-11-00-03-63).\n\n"},
      {{"02-6A-11-00-03", kServed},
       "Bad hardware address: \"02:6A:11:00:03\"\n"
       "A hardware address should be a six-byte value (e.g., "
       "02-6A-11-00-03-63).\n\n"},
      {{kHw, "255.255.255.255"},
       "Bad IP address: \"255.255.255.255\"\n"
       "An IP address should be a four-byte value (e.g., 192.9.200.10).\n\n"},
  };
  for (const Case& c : cases) {
    const Scanned s = scan(c.args);
    EXPECT_FALSE(s.cfg) << c.message;
    EXPECT_EQ(s.out, c.message + usage());
  }
}

TEST(IpservText, DumpShowsOffsetsBytesAndPrintableCharacters) {
  std::string data = "Hello, world! 0123456789";
  data += std::string("\0\x80\xff", 3);
  MemStream out;
  ip::dumpdata(out.file(), reinterpret_cast<const std::uint8_t*>(data.data()),
               static_cast<int>(data.size()));
  EXPECT_EQ(out.text(), "     0/0x0: 48 65 6C 6C 6F 2C 20 77 6F 72 6C 64 21 20 30 31  "
                        "Hello, world! 01\n"
                        "   16/0x10: 32 33 34 35 36 37 38 39 00 80 FF                 "
                        "23456789...\n");
  MemStream none;
  ip::dumpdata(none.file(), nullptr, 0);
  EXPECT_EQ(none.text(), "");
}

TEST(IpservText, BoxesAreFramedToTheirWidth) {
  struct Case {
    void (*print)(std::FILE*);
    std::size_t width;
    std::size_t lines;
    const char* first_text;
  } const cases[] = {
      {ip::print_erase_box, 70, 13, "If the Lanvara module did NOT have a stored IP address, the"},
      {ip::print_store_box, 73, 8,
       "If the Lanvara module did not have a stored IP address, or if the"},
  };
  for (const Case& c : cases) {
    MemStream out;
    c.print(out.file());
    std::istringstream text(out.text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
      EXPECT_EQ(line.size(), c.width) << line;
      lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), c.lines + 2);
    const std::string frame = "  +" + std::string(c.width - 4, '-') + "+";
    EXPECT_EQ(lines.front(), frame);
    EXPECT_EQ(lines.back(), frame);
    EXPECT_EQ(lines[1].substr(0, 4 + std::strlen(c.first_text)),
              std::string("  | ") + c.first_text);
    EXPECT_EQ(lines[1].back(), '|');
  }
}

TEST(IpservText, HardwareAddressText) {
  EXPECT_STREQ(ip::hwaddr2str(kHwBytes.data()), "02:6A:11:00:03:63");
  const ip::HwAddr other{0x02, 0x6A, 0x11, 0x00, 0x03, 0x64};
  EXPECT_EQ(ip::hwaddrs_equal(kHwBytes.data(), kHwBytes.data()), 1);
  EXPECT_EQ(ip::hwaddrs_equal(kHwBytes.data(), other.data()), 0);
}

} // namespace
} // namespace nettest

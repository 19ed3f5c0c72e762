// The update tool's screens and steps against emulated units: the scan and the menu, the
// update of a unit and of its pods from image files, and the ways out of failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "emulated_bus.h"
#include "tool_doubles.h"
#include "updater.h"

namespace kvscsi::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPodModel = "QMX2-7POD-8S1P57";

class Update : public ::testing::Test {
protected:
  Update() {
    char tmpl[] = "/tmp/kvupdate_test.XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    con.on_pause = [this](unsigned s) { bus.pass(s); };
  }
  ~Update() override { fs::remove_all(dir_); }

  // An image file whose header names the product and version; byte-doubled on request.
  std::string image(const std::string& name, const std::string& head, bool doubled = false) {
    std::string bytes = head + std::string(300 - head.size(), '\xA5');
    if (doubled) {
      std::string d;
      for (char c : bytes) {
        d += std::string(2, c);
      }
      bytes = d;
    }
    const std::string path = (dir_ / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  int menu(std::initializer_list<std::string> answers) {
    con.input.assign(answers.begin(), answers.end());
    return updater.menu();
  }
  bool says(const std::string& text) const {
    return con.stdout_text.find(text) != std::string::npos;
  }
  std::size_t count(const std::string& text) const {
    std::size_t n = 0;
    for (auto at = con.both.find(text); at != std::string::npos; at = con.both.find(text, at + 1)) {
      ++n;
    }
    return n;
  }

  EmulatedBus bus;
  ScriptConsole con;
  Updater updater{bus, con};
  fs::path dir_;
};

TEST_F(Update, SingleUnitFromTheMenu) {
  qdemu::QmxUnit& unit = bus.add_qmx(0, 2, {.model = "QMX-8S1P-115A"});
  bus.add_disk(0, 5);
  bus.add_qmx(1, 4, {.model = kPodModel, .vendor = "Brannoc"});
  const std::string pod_file = image("pod.prm", "QMX-POD-8S1P V1.4");
  const std::string file = image("main.prm", "QMX-8S1P-1xxA V2.7");
  // A file of another product first, then the right one.
  EXPECT_EQ(menu({"1", "", pod_file, "", "1", "y", file, "", "", "q"}), 0);
  EXPECT_EQ(unit.revision(), "V2.7");
  EXPECT_TRUE(says("\n\n*** KVUPDATE - update firmware in flash EEPROM ***\n\n"
                   "Scanning SCSI bus(es) for Orvane QMX devices...\n\n"));
  EXPECT_TRUE(says("Re-scanning SCSI bus(es)"));
  EXPECT_TRUE(says("\rBus 15 Target 6\rUnit   Bus  Target  Product               Version\n"
                   " 1.     0     2     QMX-8S1P-115A         V2.3\n"
                   " 2.     1     4     QMX2-7POD-8S1P57      V2.3\n\n"
                   "Select unit to program or Q to quit: "
                   "\n\nReprogram QMX-8S1P-115A unit at bus 0 target 2 ([y]/n): "));
  EXPECT_TRUE(says("\nEnter filename or <CR> to use default (qmx8s1p115a.prm): "));
  EXPECT_TRUE(says("Product ID of firmware file does not match unit\n\nUnit(s) not programmed.\n"));
  EXPECT_TRUE(says("\nVersion of file '" + file + "' is V2.7\n"));
  EXPECT_TRUE(says("\nUnit successfully programmed.  <CR> to continue."));
  EXPECT_TRUE(says(" 1.     0     2     QMX-8S1P-115A         V2.7\n")) << "listed anew";
  // Both updates locked and unlocked the unit (bus 0, target 2).
  EXPECT_EQ(bus.locks,
            (std::vector<std::pair<bool, int>>{{true, 2}, {false, 2}, {true, 2}, {false, 2}}));
  EXPECT_FALSE(unit.flash().in_mode());
  EXPECT_EQ(con.stderr_text, "");
}

TEST_F(Update, OnePodChosenByItsListNumber) {
  qdemu::QmxUnit& unit = bus.add_qmx(1, 4, {.model = kPodModel, .pods = 0x29});
  const std::string file = image("pod.prm", "QMX-POD-8S1P V1.4");
  EXPECT_EQ(menu({"1", "", "3", file, "", "", "q"}), 0);
  EXPECT_TRUE(says("\nSelected QMX2-7POD-8S1P57 unit has 3 attached pods\n\n"
                   "Unit   Bus  Target  Pod  Product               Version\n"
                   " 1.     1     4      -   QMX2-7POD-8S1P57      V2.3 (main SCSI unit)\n"
                   " 2.     1     4      0   QMX-POD-8S1P          V1.0 (pod)\n"
                   " 3.     1     4      3   QMX-POD-8S1P          V1.0 (pod)\n"
                   " 4.     1     4      5   QMX-POD-8S1P          V1.0 (pod)\n"
                   "\n\nEnter:\n   Unit number to program\n   P for all pods\n"
                   "   A for all (main and all pods)\n   M to return to main menu\n\n> "
                   "\nProgramming pod(s)...\n"));
  EXPECT_TRUE(says("default (qmxpod8s1p.prm)"));
  EXPECT_TRUE(says("\nUnit(s) successfully programmed.  <CR> to continue."));
  // List entry 3 is pod 3: mask 0x08.
  EXPECT_EQ(unit.flash().version(1 + 3), "V1.4");
  EXPECT_EQ(unit.flash().version(1 + 0), "V1.0");
  EXPECT_EQ(unit.flash().version(1 + 5), "V1.0");
  EXPECT_EQ(unit.revision(), "V2.3");
  EXPECT_EQ(bus.locks, (std::vector<std::pair<bool, int>>{{true, 0x104}, {false, 0x104}}));
}

TEST_F(Update, AllPodsAndTheMainUnitTogether) {
  qdemu::QmxUnit& unit = bus.add_qmx(0, 6, {.model = kPodModel, .pods = 0x05});
  const std::string pods = image("pod.prm", "QMX-POD-8S1P V1.5");
  const std::string main = image("main.prm", "QMX2-7POD-8S1P57 V3.1", true);
  EXPECT_EQ(menu({"1", "", "a", pods, "", main, "", "", "q"}), 0);
  EXPECT_TRUE(says("\n\nProgramming master SCSI unit...\n"));
  EXPECT_EQ(unit.revision(), "V3.1") << "a byte-doubled image, sent as stored";
  EXPECT_EQ(unit.flash().version(1), "V1.5");
  EXPECT_EQ(unit.flash().version(3), "V1.5");
  EXPECT_EQ(count("Download complete, restarting firmware"), 1u) << "one restart for both";
}

TEST_F(Update, PodPromptAnswersAndLeaving) {
  qdemu::QmxUnit& unit = bus.add_qmx(0, 1, {.model = kPodModel, .pods = 0x03});
  EXPECT_EQ(menu({"1", "", "x", "0", "4", "", "q"}), 0);
  EXPECT_TRUE(says("> Invalid response.\n> Unit number should be in range 1-3\n"
                   "> Unit number should be in range 1-3\n> \n\nPress <CR> to continue "));
  // Leaving restarts the unit out of reprogramming mode and unlocks it.
  EXPECT_FALSE(unit.flash().in_mode());
  EXPECT_EQ(bus.locks, (std::vector<std::pair<bool, int>>{{true, 1}, {false, 1}}));
  EXPECT_EQ(unit.revision(), "V2.3");
}

TEST_F(Update, PodUnitWithoutPods) {
  qdemu::QmxUnit& unit = bus.add_qmx(0, 0, {.model = kPodModel, .pods = 0});
  const std::string main = image("main.prm", "QMX2-7POD-8S1P57 V2.9");
  EXPECT_EQ(menu({"1", "", "P", "A", main, "", "", "q"}), 0);
  EXPECT_TRUE(says("unit has 0 attached pods\n\n"));
  EXPECT_TRUE(says("> No pods found.\n> \n\nProgramming master SCSI unit...\n"));
  EXPECT_EQ(unit.revision(), "V2.9") << "A without pods programs the main unit";
}

TEST_F(Update, DownloadFailingAtTheFirstBlockLeavesTheUnitLocked) {
  qdemu::QmxUnit& unit = bus.add_qmx(0, 3, {.model = "QMX-8S1P-115A"});
  unit.faults().buffer_failures[2] = qdemu::vendor_bit::kEepromFailed;
  const std::string file = image("main.prm", "QMX-8S1P-115A V2.7");
  EXPECT_EQ(menu({"1", "", file, "", "", "q"}), 0);
  EXPECT_TRUE(says("\nError at Bus 0 Target 3: scsi status = 02\n"
                   "Request Sense: sense key = Vendor Unique\n\nVendor unique status:\n0: "));
  EXPECT_TRUE(says("Main unit:   EEPROM failed "));
  EXPECT_TRUE(says("Couldn't download at offset 0x0\n"
                   "Unit's firmware is in unknown state.  Do not power it off.\n"
                   "Re-attempt the download operation immediately.\n"
                   "\n\nPress <CR> to continue "));
  EXPECT_EQ(bus.locks, (std::vector<std::pair<bool, int>>{{true, 3}})) << "still locked";
  EXPECT_TRUE(unit.flash().in_mode());
  EXPECT_EQ(unit.revision(), "V2.3");
}

TEST_F(Update, MainPromptRangeAndQuit) {
  bus.add_qmx(2, 0, {.model = "QMX-8S1P-115A"});
  EXPECT_EQ(menu({"0", "-1", "abc", "2", "q"}), 0);
  EXPECT_EQ(count("Unit number must be in range 1-1.\n"), 4u);
  EXPECT_EQ(con.pauses, std::vector<unsigned>(4, 1));
  EXPECT_EQ(bus.locks.size(), 0u);
  // The title, then the clear of the quit.
  EXPECT_EQ(con.clears, 2);
  con = ScriptConsole{};
  EXPECT_EQ(menu({"1", "n", "Q"}), 0) << "no: back to a fresh scan";
  // The table of the first run was not empty: both scans of this run are scans again.
  EXPECT_EQ(count("Re-scanning"), 2u);
  EXPECT_EQ(bus.locks.size(), 0u);
  con = ScriptConsole{};
  EXPECT_EQ(menu({}), 0) << "end of input quits";
}

TEST_F(Update, NoUnitFound) {
  bus.add_disk(0, 0);
  EXPECT_EQ(menu({}), 1);
  EXPECT_TRUE(con.stdout_text.ends_with("No QMX devices found!\n"));
}

TEST(UpdateScan, AtMostSixtyFourUnits) {
  ScriptConsole con;
  ScriptPort port;
  port.fallback = [](const qd_scsi_cmd&) {
    return Reply::good(inquiry_data(9, "OrvaneCo", "QMX-8S1P-115A", "V2.3"));
  };
  Updater updater(port, con);
  updater.scanbus();
  ASSERT_EQ(updater.units().size(), 64u);
  EXPECT_EQ(updater.units().back().bus, 9);
  EXPECT_EQ(updater.units().back().target, 0);
  // Once on bus 9, and once on each of buses 10 to 15.
  std::string refused;
  for (int i = 0; i < 7; ++i) {
    refused += "Exceeded maximum number of units (64)--unit ignored.";
  }
  EXPECT_EQ(con.stderr_text, refused);
  // Each further bus is left at its first unit: 64 + 7 inquiries.
  EXPECT_EQ(port.sent.size(), 71u);
}

TEST(UpdateLock, RefusedLockIsGivenBackAndNothingElseHappens) {
  ScriptConsole con;
  ScriptPort port;
  port.lock_error = EBUSY;
  port.unlock_error = ENODEV; // not reported: the unlock only tidies up
  Updater updater(port, con);
  const kv_dev unit{.bus = 1, .target = 2, .product = "QMX-8S1P-115A", .version = "V2.3"};
  con.input = {""};
  updater.program(unit);
  EXPECT_EQ(con.stderr_text, std::string(std::strerror(EBUSY)) +
                                 "\nCouldn't lock access to unit.  Cannot program.\n");
  EXPECT_EQ(con.stdout_text, "Couldn't lock bus 1 target 2\n\n\nPress <CR> to continue ");
  ASSERT_FALSE(port.sent.empty());
  EXPECT_EQ(port.sent.back().cmd, QMXUNLOCK);
  EXPECT_EQ(port.sent.back().arg, 0x102);
  for (const auto& s : port.sent) {
    EXPECT_TRUE(s.cmd != QMXSCSI || s.scsi.cdb[0] == 0x00) << "only TEST UNIT READY";
  }
}

} // namespace
} // namespace kvscsi::test

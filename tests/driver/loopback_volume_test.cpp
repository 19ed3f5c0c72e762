// Volume through every port of a 32-port unit at once: each port has a loopback plug, a
// writer sends 1 MiB and a reader takes it back; every byte must return, in order.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "ksys/termios.h"
#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

constexpr int kPorts = 32;
constexpr std::size_t kBytes = 1 << 20;

// The byte at offset i of port p's stream: every value, 0x00 and 0xFF included, in an order
// that differs per port, so a byte delivered to the wrong port or out of order shows.
std::uint8_t pattern(int port, std::size_t i) {
  const std::uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(port);
  return static_cast<std::uint8_t>(x >> 56);
}

// FNV-1a over the stream as it should be, and as it came back.
struct Checksum {
  std::uint64_t h = 0xcbf29ce484222325ull;
  void add(std::uint8_t b) { h = (h ^ b) * 0x100000001b3ull; }
};

using LoopbackVolume = LoadedDriverFixture;

TEST_F(LoopbackVolume, OneMebibyteEachWayThroughEveryPortAtOnce) {
  std::vector<unsigned> ports;
  for (unsigned p = 0; p < kPorts; ++p) {
    ports.push_back(p);
  }
  auto spec = qdemu::QmxSpec{{.model = "QMX-32S-230N"}};
  for (unsigned p : ports) {
    spec.loopback({p});
  }
  topo_->add_qmx(0, 2, spec);
  load();

  std::array<kemu::StreamFile, kPorts> files;
  for (int p = 0; p < kPorts; ++p) {
    const std::string name = std::string("ttyc2") + "0123456789abcdefghijklmnopqrstuv"[p];
    ASSERT_EQ(open(name, files[p]), 0) << name;
    // Raw 8-bit data at the port's top speed with hardware flow control (the plug wires RTS
    // to CTS): no XON/XOFF, so 0x11 and 0x13 are data.
    run([&] {
      termios t{};
      ASSERT_TRUE(files[p].ioctl(TCGETS, &t).ok());
      t.c_iflag = 0;
      t.c_cflag = CBAUDEXT | (B230400 - 16) | CS8 | CREAD | CLOCAL | CRTSCTS;
      ASSERT_TRUE(files[p].ioctl(TCSETS, &t).ok());
      files[p].set_flags(FREAD | FWRITE); // blocking from here on
    });
  }

  std::array<Checksum, kPorts> sent{}, received{};
  std::array<std::size_t, kPorts> got{}, misplaced{};
  std::vector<std::unique_ptr<kemu::Kernel::Task>> tasks;
  for (int p = 0; p < kPorts; ++p) {
    tasks.push_back(kernel_.spawn([&, p] {
      std::vector<std::byte> chunk(16384);
      for (std::size_t off = 0; off < kBytes; off += chunk.size()) {
        for (std::size_t i = 0; i < chunk.size(); ++i) {
          const std::uint8_t b = pattern(p, off + i);
          sent[p].add(b);
          chunk[i] = std::byte{b};
        }
        const kemu::IoResult r = files[p].write(chunk);
        ASSERT_EQ(r.value, static_cast<long>(chunk.size())) << "port " << p << " errno " << r.error;
      }
    }));
    tasks.push_back(kernel_.spawn([&, p] {
      std::vector<std::byte> buf(8192);
      while (got[p] < kBytes) {
        const kemu::IoResult r = files[p].read(buf);
        ASSERT_GT(r.value, 0) << "port " << p << " errno " << r.error;
        for (long i = 0; i < r.value; ++i) {
          const auto b = static_cast<std::uint8_t>(buf[static_cast<std::size_t>(i)]);
          misplaced[p] += b != pattern(p, got[p]);
          received[p].add(b);
          ++got[p];
        }
      }
    }));
  }
  for (auto& t : tasks) {
    ASSERT_TRUE(t->join(600L * hz)) << "stalled: port 0 has " << got[0] << " bytes back\n"
                                    << console();
  }
  for (int p = 0; p < kPorts; ++p) {
    EXPECT_EQ(got[p], kBytes) << "port " << p;
    EXPECT_EQ(misplaced[p], 0u) << "port " << p;
    EXPECT_EQ(received[p].h, sent[p].h) << "port " << p;
  }
  for (auto& f : files) {
    EXPECT_EQ(close(f), 0);
  }
}

} // namespace
} // namespace loaded_test

// Shared set-up for the engine suites: a unit on a manual clock, command builders that
// fill unwritten header bytes as the driver's packets do (0xCC), and an answer splitter.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "fas.h"
#include "qdemu/fas_engine.h"
#include "qdemu/manual_clock.h"
#include "qmx_unittab.h"

namespace qdemu::test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kFill = 0xCC;

// An 8-byte command: the given leading bytes, the rest packet fill.
inline Bytes cmd(std::initializer_list<std::uint8_t> head) {
  Bytes b(head);
  b.resize(8, kFill);
  return b;
}

inline Bytes send_cmd(std::uint8_t line, std::string_view data) {
  Bytes b{FAS_SEND, line, 0, 0, kFill, kFill, kFill, kFill};
  fas_put16(&b[2], static_cast<unsigned>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

inline Bytes grant(std::uint8_t line) {
  return cmd({FAS_RECV, line, 0x80, 1});
}
inline Bytes stat_req(std::uint8_t line, std::uint8_t mask) {
  return cmd({FAS_STAT_CHG, line, mask});
}
// 9600 bit/s, 8 data bits, no parity, receiver on.
inline Bytes params11(std::uint8_t line, std::uint8_t speed = 10) {
  return cmd({FAS_SET_PARAMS, line, 3, 0, 0, 1, static_cast<std::uint8_t>(speed << 4 | speed), 0});
}
inline Bytes flow(std::uint8_t line, std::uint8_t in, std::uint8_t out) {
  return cmd({FAS_FLOW_CTRL, line, in, out, 0x11, 0x13, 0x7e, 0x04});
}

// Answer header with zeros behind the named bytes.
inline Bytes ans(std::initializer_list<std::uint8_t> head) {
  Bytes b(head);
  b.resize(8, 0);
  return b;
}

// Sized at once: GCC 12 at -O3 reports an insert behind 8 bytes as an overflow.
inline Bytes recv_ans(std::uint8_t line, std::uint8_t status, std::string_view data) {
  Bytes b(8 + data.size(), 0);
  b[0] = FAS_RECV;
  b[1] = line;
  b[2] = status;
  fas_put16(&b[4], static_cast<unsigned>(data.size()));
  std::copy(data.begin(), data.end(), b.begin() + 8);
  return b;
}

inline std::string_view text(const Bytes& b, std::size_t from = 8) {
  return {reinterpret_cast<const char*>(b.data()) + from, b.size() - from};
}

// Cuts an answer batch into items by the inbound sizing rule.
inline std::vector<Bytes> split_answers(const Bytes& batch) {
  std::vector<Bytes> items;
  std::size_t pos = 0;
  while (pos < batch.size()) {
    const auto len = static_cast<std::size_t>(size_faspkt(&batch[pos], 1));
    EXPECT_LE(pos + len, batch.size()) << "answer runs past the batch";
    if (pos + len > batch.size())
      break;
    items.emplace_back(batch.begin() + static_cast<std::ptrdiff_t>(pos),
                       batch.begin() + static_cast<std::ptrdiff_t>(pos + len));
    pos += len;
  }
  return items;
}

class EngineTest : public ::testing::Test {
protected:
  void make(const char* model_name, UnitOptions options = {}) {
    const qd_unitinfo* row = qdm_get_unitinfo(model_name);
    ASSERT_NE(row, nullptr) << model_name;
    engine.reset();
    engine = std::make_unique<Engine>(clock, *row, std::move(options));
  }

  // One WRITE: the commands and PKT_END. The batch must parse cleanly.
  void write(const std::vector<Bytes>& cmds) {
    Bytes b;
    for (const Bytes& c : cmds)
      b.insert(b.end(), c.begin(), c.end());
    b.push_back(PKT_END);
    const BatchResult r = engine->feed_batch(b);
    EXPECT_EQ(r.error, BatchError::none);
  }

  // Everything ready now, as items.
  std::vector<Bytes> answers() { return split_answers(engine->take_answers(1 << 20)); }

  std::vector<Bytes> exchange(const std::vector<Bytes>& cmds) {
    write(cmds);
    return answers();
  }

  // Enables a serial line the way the driver does and drops the answers.
  void open_serial(std::uint8_t line, std::uint8_t flow_in = 0, std::uint8_t flow_out = 0) {
    write({cmd({FAS_ENABLE, line}), params11(line), flow(line, flow_in, flow_out),
           stat_req(line, 0x84), grant(line), cmd({FAS_SET_MODEM, line, 1, 1})});
    answers();
  }

  ManualClock clock{1000};
  std::unique_ptr<Engine> engine;
};

} // namespace qdemu::test

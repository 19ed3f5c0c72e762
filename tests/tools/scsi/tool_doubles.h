// Stand-ins for the terminal and the diagnostic node of the SCSI unit tools: a console that
// keeps what is printed and feeds scripted input lines, and a port that answers each
// request from a script and keeps the records it was sent.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "console.h"
#include "diag_port.h"
#include "qdio.h"

namespace kvscsi::test {

class ScriptConsole : public Console {
public:
  void out(std::string_view text) override {
    stdout_text.append(text);
    both.append(text);
  }
  void err(std::string_view text) override {
    stderr_text.append(text);
    both.append(text);
  }
  void pause(unsigned seconds) override {
    pauses.push_back(seconds);
    if (on_pause) {
      on_pause(seconds);
    }
  }
  void clear_screen() override { ++clears; }

  std::deque<std::string> input;
  std::string stdout_text;
  std::string stderr_text;
  std::string both;
  std::vector<unsigned> pauses;
  int clears = 0;
  std::function<void(unsigned)> on_pause;

protected:
  std::optional<std::string> next_line() override {
    if (input.empty()) {
      return std::nullopt;
    }
    std::string l = std::move(input.front());
    input.pop_front();
    return l;
  }
};

// One answer of the driver to QMXSCSI: an errno, or the transport result, status, reason
// and the data read.
struct Reply {
  int error = 0;
  std::uint8_t tran = QD_SCSI_ACCEPTED;
  std::uint8_t status = 0;
  std::uint8_t reason = 0;
  std::vector<std::uint8_t> data{};

  static Reply good(std::vector<std::uint8_t> data = {}) { return {.data = std::move(data)}; }
  static Reply busy() { return {.tran = QD_SCSI_BUSY}; }
  static Reply check() { return {.status = 2}; }
  static Reply fails(int error) { return {.error = error}; }
};

class ScriptPort : public DiagPort {
public:
  struct Sent {
    std::uint32_t cmd;
    qd_scsi_cmd scsi; // QMXSCSI
    int arg;          // QMXLOCK, QMXUNLOCK
  };

  int request(std::uint32_t cmd, void* record, int len) override;

  // Answers QMXSCSI in order; when the script is empty, `fallback` answers (good if unset).
  std::deque<Reply> replies;
  std::function<Reply(const qd_scsi_cmd&)> fallback;
  // errno for QMXLOCK and QMXUNLOCK; 0 accepts.
  int lock_error = 0;
  int unlock_error = 0;
  std::vector<Sent> sent;

  std::vector<qd_scsi_cmd> scsi() const;
};

// A sense answer with the key, and a vendor status answer with eight words.
std::vector<std::uint8_t> sense_data(std::uint8_t key);
std::vector<std::uint8_t> status_words(std::initializer_list<std::uint16_t> words);
// Standard INQUIRY data.
std::vector<std::uint8_t> inquiry_data(std::uint8_t type, const std::string& vendor,
                                       const std::string& product, const std::string& revision);

} // namespace kvscsi::test

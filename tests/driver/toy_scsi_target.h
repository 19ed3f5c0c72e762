// A small scriptable SCSI target for the transport's tests: it takes WRITE batches, holds
// READs until the test hands it answers, and fails TEST UNIT READY or SEND DIAGNOSTIC on
// request. Faults of the adapter itself (busy, reasons, sense) come from the adapter's
// fault scripts (kemu/hba.h).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "kemu/hba.h"

using Bytes = std::vector<std::uint8_t>;

class ToyTarget : public kemu::ScsiTarget {
public:
  struct Seen {
    Bytes cdb;
    Bytes data; // what a WRITE carried
    clock_t at; // lbolt when it arrived
  };

  void command(std::shared_ptr<kemu::ScsiCommand> cmd) override;

  // Answers the READ being held, or the next READ, with these answers and PKT_END.
  void answer(const Bytes& answers = {});
  // Completes a WRITE held with hold_writes.
  void release_write();
  bool read_held() const { return read_ != nullptr && read_->active(); }
  bool write_held() const { return write_ != nullptr && write_->active(); }

  // Every command in arrival order, or those with one opcode.
  const std::vector<Seen>& seen() const { return seen_; }
  std::vector<Seen> seen(std::uint8_t op) const;
  void forget() { seen_.clear(); }

  // Outcomes of the next TEST UNIT READYs (false: NOT READY); good once it is empty.
  std::deque<bool> tur_script;
  bool diag_fails = false; // SEND DIAGNOSTIC fails
  bool hold_writes = false;

private:
  void complete_read();

  std::vector<Seen> seen_;
  std::shared_ptr<kemu::ScsiCommand> read_;
  std::shared_ptr<kemu::ScsiCommand> write_;
  std::deque<Bytes> batches_;
};

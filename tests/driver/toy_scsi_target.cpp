#include "toy_scsi_target.h"

#include <algorithm>

#include "fas.h"
#include "ksys/time.h"

void ToyTarget::command(std::shared_ptr<kemu::ScsiCommand> cmd) {
  const auto cdb = cmd->cdb();
  Seen s{Bytes(cdb.begin(), cdb.end()), {}, ddi_get_lbolt()};
  if (cmd->dir() == kemu::DataDir::kOut) {
    s.data.assign(cmd->data_out().begin(), cmd->data_out().end());
  }
  seen_.push_back(std::move(s));

  switch (cmd->opcode()) {
  case SCMD_TEST_UNIT_READY:
    if (!tur_script.empty()) {
      const bool good = tur_script.front();
      tur_script.pop_front();
      if (!good) {
        cmd->complete(kemu::ScsiAnswer::check(KEY_NOT_READY));
        return;
      }
    }
    break;
  case SCMD_SDIAG:
    if (diag_fails) {
      cmd->complete(kemu::ScsiAnswer::check(KEY_HARDWARE_ERROR));
      return;
    }
    break;
  case SCMD_WRITE:
    if (hold_writes) {
      write_ = std::move(cmd);
      return;
    }
    break;
  case SCMD_READ:
    read_ = std::move(cmd);
    if (!batches_.empty()) {
      complete_read();
    }
    return;
  default:
    break;
  }
  cmd->complete(kemu::ScsiAnswer::good());
}

void ToyTarget::answer(const Bytes& answers) {
  Bytes batch = answers;
  batch.push_back(PKT_END);
  batches_.push_back(std::move(batch));
  if (read_held()) {
    complete_read();
  }
}

void ToyTarget::complete_read() {
  const Bytes batch = std::move(batches_.front());
  batches_.pop_front();
  auto in = read_->data_in();
  const std::size_t n = std::min(batch.size(), in.size());
  std::copy_n(batch.begin(), n, in.begin());
  auto cmd = std::move(read_);
  cmd->complete(kemu::ScsiAnswer::good(in.size() - n));
}

void ToyTarget::release_write() {
  if (write_held()) {
    auto cmd = std::move(write_);
    cmd->complete(kemu::ScsiAnswer::good());
  }
}

std::vector<ToyTarget::Seen> ToyTarget::seen(std::uint8_t op) const {
  std::vector<Seen> out;
  std::copy_if(seen_.begin(), seen_.end(), std::back_inserter(out),
               [op](const Seen& s) { return s.cdb.at(0) == op; });
  return out;
}

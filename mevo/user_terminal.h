// The user's own terminal (standard output's), on the host's terminal calls: raw while mevo
// runs, restored at the end.
#pragma once

#include <memory>

namespace mevo {

class UserTerminal {
public:
  explicit UserTerminal(int fd = 1);
  ~UserTerminal();
  UserTerminal(const UserTerminal&) = delete;
  UserTerminal& operator=(const UserTerminal&) = delete;

  // Each returns 0, or -1 after perror with the step's name.
  int save_user_params();
  // Raw: no local modes (so the interrupt and quit characters reach the port), no output
  // processing, no CR/NL mapping on input, reads of at least one byte.
  int set_user_params();
  // Puts back what save_user_params read; forgets it on failure.
  int restore_user_params();
  bool user_setup_saved() const { return saved_; }

private:
  struct Modes;
  int fd_;
  bool saved_ = false;
  std::unique_ptr<Modes> save_;
};

} // namespace mevo

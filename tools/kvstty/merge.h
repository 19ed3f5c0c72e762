// kvstty's merge of the requested settings into a port's termios and extended record, with
// the speed checks of the port's model.
#pragma once

#include <string>
#include <string_view>

#include "kvstty/options.h"
#include "kvstty/speed_table.h"

struct termios;
struct qd_ext_ctl;

namespace kvstty {

struct MergeResult {
  bool ok = true;          // false: the run ends with status 1
  bool update_ext = false; // write the record back
  bool update_tty = false; // write the termios back
  std::string messages;    // warnings, or the error that stopped it
};

// apply_options: merges `req` into the port's settings as read. tty_name names the port in
// messages. The record's product names the model whose limits apply.
MergeResult apply_options(const Request& req, Variant v, std::string_view tty_name, termios& t,
                          qd_ext_ctl& xc);

// Highest speed extension the model allows, from its highest speed code.
unsigned baud_ext_limit(unsigned highest_code);

// The record's product id as text (at most 16 characters, no NUL needed in the record).
std::string product_of(const qd_ext_ctl& xc);

} // namespace kvstty

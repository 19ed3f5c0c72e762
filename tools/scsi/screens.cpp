#include "screens.h"

namespace kvscsi {

bool yes(Console& con) {
  const auto l = con.line();
  return l && (l->empty() || (*l)[0] == 'y' || (*l)[0] == 'Y');
}

void cr2cont(Console& con) {
  con.out("\n\nPress <CR> to continue ");
  con.line();
}

void cls(Console& con) {
  con.clear_screen();
}

void header(Console& con) {
  cls(con);
  con.out("\n\n*** KVUPDATE - update firmware in flash EEPROM ***\n\n");
}

void clrline(Console&) {}

} // namespace kvscsi

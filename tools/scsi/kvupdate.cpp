// kvupdate: interactive firmware update of the QMX units on the SCSI buses and their pods.
#include <unistd.h>

#include "console.h"
#include "diag_port.h"
#include "updater.h"

int main(int argc, char**) {
  kvscsi::StdConsole con;
  if (::geteuid() != 0) {
    con.err("You must be super user to run this utility.\n");
    return 1;
  }
  if (argc > 1) {
    con.out("usage: kvupdate\nFully interactive, no command line options.\n");
    return 1;
  }
  kvscsi::DiagNode node;
  if (!node.open()) {
    con.errf("Can't open diagnostic port %s\n", kv::kDiagNode);
    return 1;
  }
  kvscsi::Updater updater(node, con);
  return updater.menu();
}

// kvscanbus: lists every SCSI device the driver reaches on buses 0-7. Arguments are ignored.
#include <unistd.h>

#include "bus_scan.h"
#include "console.h"
#include "diag_port.h"

int main() {
  kvscsi::StdConsole con;
  if (::geteuid() != 0) {
    con.err("You must be super user to run this utility.\n");
    return 1;
  }
  kvscsi::DiagNode node;
  if (!node.open()) {
    con.errf("Can't open diagnostic port '%s'\n", kv::kDiagNode);
    return 1;
  }
  const int status = kvscsi::scan_buses(node, con);
  node.close();
  return status;
}

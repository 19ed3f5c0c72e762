// The two kinds of port the system benchmark moves data through: port nodes served by
// qdhost, opened and set as a program does it, and Linux pty pairs (the baseline). Kept apart
// because the nodes' terminal records and the host's <termios.h> cannot share a translation unit.
#pragma once

#include <string>
#include <vector>

#include "port_load.h"

namespace qdbench {

// A port node opened through the device access library, raw, 8 bits, at 115200 bit/s with
// hardware flow control (a loopback plug wires RTS to CTS), blocking; `configure` false
// leaves its settings as they are. -1 with errno when it cannot be.
int open_port_node(const std::string& path, int oflag, bool configure = true);

// Writer and reader on their own descriptors of one node per port (nodes[port]).
PortAccess node_access(std::vector<std::string> nodes);

// A pty pair per port, the slave raw: the writer on the master, the reader on the slave.
PortAccess pty_access();

// A pty pair for the echo: its master (raw) in *master and a child process echoing on its
// slave until the master closes. The child's pid, or -1 with errno.
pid_t start_pty_echo(int* master);

} // namespace qdbench

// Small socket helpers of the network programs.
#pragma once

#include <netinet/in.h>

#include <cstdio>

namespace qdnet {

// An IPv4 socket address: cleared, then family, port and address (both network order).
sockaddr_in ipv4_address(in_addr_t addr_net, unsigned short port_net);

// connect() that gives up after timeout_ms (ETIMEDOUT); 0 or less blocks as connect does.
// The socket is blocking again on return.
int connect_with_timeout(int fd, const sockaddr_in& to, int timeout_ms);

// Makes blocking reads and writes on fd give up after timeout_ms (EAGAIN); 0 clears it.
int set_io_timeout(int fd, int timeout_ms);

// "%s: %s\n" with the text and the system's message for errno, on `out`.
void perror_to(std::FILE* out, const char* text);

} // namespace qdnet

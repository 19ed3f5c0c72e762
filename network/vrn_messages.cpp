#include "qdnet/vrn_messages.h"

#include "qdnet/socket_util.h"

namespace qdnet {

VrnReporter reset_tool_reporter(std::FILE* err) {
  return [err](VrnEvent e, const VrnEventInfo& info) {
    switch (e) {
    case VrnEvent::socket_failed:
      return perror_to(err, "attempt to open socket failed");
    case VrnEvent::connect_failed:
      return perror_to(err, "connect failed");
    case VrnEvent::unlock_write_failed:
      return perror_to(err, "write to VRN failed");
    case VrnEvent::unlock_read_failed:
      return perror_to(err, "sock_read on VRN failed");
    case VrnEvent::unlock_bad_opcode:
      return perror_to(err, "unlock response code error");
    case VrnEvent::inquiry_write_failed:
      return perror_to(err, "FAS_UNIT_INQUIRY write failed");
    case VrnEvent::inquiry_read_failed:
      return perror_to(err, "sock_read VRN inquiry failed");
    case VrnEvent::inquiry_bad_opcode:
      std::fprintf(err, "inquiry response code error. op=%2.2x\n", info.answer[0]);
      return;
    case VrnEvent::data_read_failed:
      return perror_to(err, "sock_read");
    case VrnEvent::reset_write_failed:
      return perror_to(err, "FAS_UNIT_RESET write failed");
    case VrnEvent::reset_read_failed:
      return perror_to(err, "sock_read VRN reset failed");
    case VrnEvent::reset_bad_opcode:
      std::fprintf(err, "reset response code error. op=%d,stat=0x%x\n", info.answer[0],
                   info.answer[2]);
      return;
    default:
      return;
    }
  };
}

VrnReporter ipserv_reporter(std::FILE* out) {
  return [out](VrnEvent e, const VrnEventInfo&) {
    switch (e) {
    case VrnEvent::socket_failed:
      return perror_to(out, "socket");
    case VrnEvent::connect_failed:
      return perror_to(out, "connect");
    case VrnEvent::unlock_write_failed:
    case VrnEvent::inquiry_write_failed:
    case VrnEvent::reset_write_failed:
      return perror_to(out, "write");
    case VrnEvent::unlock_read_failed:
    case VrnEvent::inquiry_read_failed:
    case VrnEvent::data_read_failed:
    case VrnEvent::reset_read_failed:
      return perror_to(out, "read");
    case VrnEvent::unlock_bad_opcode:
      std::fputs("Bad unlock response received from Lanvara module.\n", out);
      return;
    case VrnEvent::inquiry_bad_opcode:
      std::fputs("Bad inquiry response received from Lanvara module.\n", out);
      return;
    case VrnEvent::reset_bad_opcode:
      std::fputs("Bad reset response received from Lanvara module.\n"
                 "You will need to upgrade the firmware in the module to version 6.0\n"
                 "or later before you can reset it remotely.\n",
                 out);
      return;
    default:
      return;
    }
  };
}

} // namespace qdnet

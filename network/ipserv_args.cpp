// kvipserv's command line: flags, then the hardware address, then the address to serve.
#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"

namespace qdnet::ipserv {
namespace {

constexpr const char kUsageBody[] = "\n  flags can include:\n"
                                    "    -reset    to reset the module before doing anything else\n"
                                    "    -store    to store the IP address in the module's EEPROM\n"
                                    "    -erase    to erase a stored IP from the module's EEPROM\n"
                                    "    -host auth_ip [ auth_netmask ]\n"
                                    "              to add an IP address or list of IP addresses\n"
                                    "              to the module's authorized host list\n"
                                    "              (may be used up to eight times)\n"
                                    "    -firmware filename\n"
                                    "              to upload a firmware image to the Lanvara\n"
                                    "              module once the IP address has been served\n"
                                    "\n"
                                    "  hw_addr is the hardware (MAC) address of the device to\n"
                                    "    be served its IP address.\n"
                                    "  ip_addr is the IP address to be served.\n"
                                    "\n"
                                    "  N.B.: hw_addr should be expressed in hexadecimal\n"
                                    "        (as on the underside of the Lanvara module),\n"
                                    "        and ip_addr in Internet standard (decimal) dot\n"
                                    "        notation (e.g., 192.9.200.10).\n";

void append_octets(std::vector<std::uint8_t>& list, in_addr_t addr) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&addr);
  list.insert(list.end(), b, b + 4);
}

class Scan {
public:
  Scan(int argc, char** argv, std::FILE* out) : argc_(argc), argv_(argv), out_(out) {}
  std::optional<Config> run();

private:
  // Refusals print their message, then the usage.
  std::nullopt_t refuse() {
    print_usage(out_, argv_[0]);
    return std::nullopt;
  }
  bool next_is_flag(int i) const { return i + 1 < argc_ && argv_[i + 1][0] == '-'; }
  bool host(int* i);
  bool command(std::uint8_t which);
  bool firmware(int* i);

  int argc_;
  char** argv_;
  std::FILE* out_;
  Config cfg_;
  int hosts_ = 0;
  bool have_firmware_ = false;
};

bool Scan::host(int* i) {
  if (hosts_ == kMaxHosts) {
    std::fprintf(out_, "Only %d hosts may be declared authorized.\n", kMaxHosts);
    std::fputs("Consider using host lists instead of specifying individual hosts.\n\n", out_);
    return false;
  }
  if (*i == argc_ - 3 || next_is_flag(*i)) {
    std::fputs("-hosts requires an IP address (and optional bitmask)\n\n", out_);
    return false;
  }
  const char* addr_text = argv_[*i + 1];
  const in_addr_t addr = ::inet_addr(addr_text);
  if (addr == INADDR_NONE) {
    std::fprintf(out_, "Bad IP address: \"%s\"\n\n", addr_text);
    return false;
  }
  ++hosts_;
  if (*i == argc_ - 4 || next_is_flag(*i + 1)) {
    cfg_.options.insert(cfg_.options.end(), {kOptHost, 4});
    append_octets(cfg_.options, addr);
    *i += 1;
    return true;
  }
  const char* mask_text = argv_[*i + 2];
  const in_addr_t mask = ::inet_addr(mask_text);
  if (mask == INADDR_NONE) {
    std::fprintf(out_, "Bad netmask: \"%s\"\n\n", mask_text);
    return false;
  }
  cfg_.options.insert(cfg_.options.end(), {kOptHostList, 8});
  append_octets(cfg_.options, mask);
  append_octets(cfg_.options, addr);
  dumpdata(out_, cfg_.options.data(), static_cast<int>(cfg_.options.size()));
  *i += 2;
  return true;
}

bool Scan::command(std::uint8_t which) {
  const bool store = which == kCmdStore;
  if (store ? cfg_.erase : cfg_.store) {
    std::fputs("You cannot use -store and -erase simultaneously.\n\n", out_);
    return false;
  }
  // A second entry would only repeat the first and could overrun the option list.
  if (store ? cfg_.store : cfg_.erase) {
    std::fprintf(out_, "%s may be given only once.\n\n", store ? "-store" : "-erase");
    return false;
  }
  cfg_.options.insert(cfg_.options.end(), {kOptCommand, 1, which});
  (store ? cfg_.store : cfg_.erase) = true;
  return true;
}

bool Scan::firmware(int* i) {
  if (*i == argc_ - 3 || next_is_flag(*i)) {
    std::fputs("-file (-firmware) requires an argument: the file to be uploaded\n\n", out_);
    return false;
  }
  if (have_firmware_) {
    std::fputs("Only one file may be uploaded.\n\n", out_);
    return false;
  }
  const char* name = argv_[*i + 1];
  if (std::strlen(name) > kMaxFileName) {
    std::fprintf(out_, "Filename is too long: \"%s\".Must be %d characters or fewer.\n\n", name,
                 static_cast<int>(kMaxFileName));
    return false;
  }
  struct stat st;
  if (::stat(name, &st) < 0) {
    std::fprintf(out_, "Can't open file \"%s\".\n", name);
    perror_to(out_, "stat");
    std::fputs("\n", out_);
    return false;
  }
  if (st.st_size > tftp::kMaxFileSize) {
    std::fprintf(out_,
                 "File \"%s\" is too large to upload: %lld bytes; TFTP's 16-bit block numbers "
                 "allow at most %lld.\n\n",
                 name, static_cast<long long>(st.st_size), tftp::kMaxFileSize);
    return false;
  }
  cfg_.firmware = name;
  have_firmware_ = true;
  *i += 1;
  return true;
}

std::optional<Config> Scan::run() {
  const char* hw_text = nullptr;
  const char* ip_text = nullptr;
  for (int i = 1; i < argc_; ++i) {
    const char* a = argv_[i];
    if (i == argc_ - 2) {
      hw_text = a;
      continue;
    }
    if (i == argc_ - 1) {
      ip_text = a;
      continue;
    }
    const char f = a[0] == '-' ? a[1] : '\0';
    bool ok = false;
    if (f == 'r') {
      cfg_.reset = ok = true;
    } else if (f == 's') {
      ok = command(kCmdStore);
    } else if (f == 'e') {
      ok = command(kCmdErase);
    } else if (f == 'h') {
      ok = host(&i);
    } else if (f == 'f') {
      ok = firmware(&i);
    } else {
      std::fprintf(out_, "Unrecognized argument: \"%s\"\n\n", a);
    }
    if (!ok) {
      return refuse();
    }
  }
  if (hw_text == nullptr || ip_text == nullptr) {
    std::fputs("Too few arguments.\n\n", out_);
    return refuse();
  }
  std::string hw(hw_text);
  for (char& c : hw) {
    if (c == '-') {
      c = ':';
    }
  }
  if (str2hwaddr(hw.c_str(), cfg_.hwaddr.data()) < 0) {
    std::fprintf(out_, "Bad hardware address: \"%s\"\n", hw.c_str());
    std::fputs("A hardware address should be a six-byte value (e.g., 02-6A-11-00-03-63).\n\n",
               out_);
    return refuse();
  }
  cfg_.served = ::inet_addr(ip_text);
  if (cfg_.served == INADDR_NONE) {
    std::fprintf(out_, "Bad IP address: \"%s\"\n", ip_text);
    std::fputs("An IP address should be a four-byte value (e.g., 192.9.200.10).\n\n", out_);
    return refuse();
  }
  cfg_.served_text = ip_text;
  return cfg_;
}

} // namespace

void print_usage(std::FILE* out, const char* prog) {
  std::fprintf(out, "usage: %s [flags] hw_addr ip_addr\n", prog);
  std::fputs(kUsageBody, out);
}

std::optional<Config> scan_args(int argc, char** argv, std::FILE* out) {
  return Scan(argc, argv, out).run();
}

} // namespace qdnet::ipserv

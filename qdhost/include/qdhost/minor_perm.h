// The minor-node permission table: which mode, owner and group each node's socket gets, as a
// system keeps one for its device nodes. qdhost reads etc/minor_perm unless --minor-perm
// names another file. One entry a line, '#' starts a comment:
//
//   PATTERN MODE OWNER GROUP
//   qmxdiag 0600  root  root
//   tty*    0666  root  root
//
// PATTERN is a shell pattern over the node's name (*, ?, [...]); the first entry that
// matches a node decides, and a node no entry matches gets 0600 root root. MODE is octal,
// at most 0777; OWNER and GROUP are names or numbers. Owner and group are applied only
// when qdhost runs as root; otherwise the sockets stay its own user's.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qdhost {

struct NodePerm {
  std::string pattern;
  mode_t mode = 0600;
  uid_t owner = 0;
  gid_t group = 0;
};

struct MinorPerms {
  std::vector<NodePerm> entries;
  // What a node no entry matches gets. Without a table (tests serving the loopback driver
  // in-process) every node is open to all and stays the server's user's.
  NodePerm fallback{"*", 0666, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  const NodePerm& for_node(std::string_view name) const;
};

struct MinorPermError {
  std::string file;
  int line = 0;
  std::string reason;
  std::string text() const; // "FILE:LINE: reason"
};

std::variant<MinorPerms, MinorPermError> parse_minor_perm(std::string_view file,
                                                          std::string_view text);

// Where qdhost looks for the table when no flag names one.
std::string default_minor_perm_path();
// Reads and parses the file; no value and *why set ("FILE:LINE: reason", or why it could
// not be read) when refused.
std::optional<MinorPerms> load_minor_perm(const std::string& path, std::string* why);

} // namespace qdhost

#include "qdhost/minor_perm.h"

#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qdhost {

namespace {

constexpr NodePerm kUnlisted{"", 0600, 0, 0};

std::optional<unsigned long> number(std::string_view s, int base) {
  unsigned long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return v;
}

std::optional<uid_t> user_id(const std::string& name) {
  if (auto n = number(name, 10); n && *n <= 0xfffffffe) {
    return static_cast<uid_t>(*n);
  }
  passwd pw{};
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->pw_uid;
}

std::optional<gid_t> group_id(const std::string& name) {
  if (auto n = number(name, 10); n && *n <= 0xfffffffe) {
    return static_cast<gid_t>(*n);
  }
  group gr{};
  group* found = nullptr;
  char buf[4096];
  if (::getgrnam_r(name.c_str(), &gr, buf, sizeof buf, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

} // namespace

const NodePerm& MinorPerms::for_node(std::string_view name) const {
  const std::string n(name);
  for (const NodePerm& e : entries) {
    if (::fnmatch(e.pattern.c_str(), n.c_str(), 0) == 0) {
      return e;
    }
  }
  return fallback;
}

std::string MinorPermError::text() const {
  return file + ":" + std::to_string(line) + ": " + reason;
}

std::variant<MinorPerms, MinorPermError> parse_minor_perm(std::string_view file,
                                                          std::string_view text) {
  MinorPerms perms;
  perms.fallback = kUnlisted;
  std::istringstream in{std::string(text)};
  std::string line;
  for (int line_no = 1; std::getline(in, line); ++line_no) {
    auto refuse = [&](std::string reason) -> MinorPermError {
      return {std::string(file), line_no, std::move(reason)};
    };
    if (auto hash = line.find('#'); hash != std::string::npos) {
      line.erase(hash);
    }
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) {
      w.push_back(word);
    }
    if (w.empty()) {
      continue;
    }
    if (w.size() != 4) {
      return refuse("expected PATTERN MODE OWNER GROUP, not " + std::to_string(w.size()) +
                    " words");
    }
    NodePerm e;
    e.pattern = w[0];
    if (e.pattern.find('/') != std::string::npos) {
      return refuse("pattern '" + e.pattern + "' holds a '/'; node names never do");
    }
    auto mode = number(w[1], 8);
    if (!mode || *mode > 0777) {
      return refuse("mode '" + w[1] + "' is no octal permission from 0 to 0777");
    }
    e.mode = static_cast<mode_t>(*mode);
    auto owner = user_id(w[2]);
    if (!owner) {
      return refuse("unknown user '" + w[2] + "'");
    }
    e.owner = *owner;
    auto grp = group_id(w[3]);
    if (!grp) {
      return refuse("unknown group '" + w[3] + "'");
    }
    e.group = *grp;
    perms.entries.push_back(std::move(e));
  }
  return perms;
}

std::string default_minor_perm_path() {
  return std::string(QD_DEFAULT_ETC) + "/minor_perm";
}

std::optional<MinorPerms> load_minor_perm(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::ostringstream s;
  s << in.rdbuf();
  auto parsed = parse_minor_perm(path, s.str());
  if (auto* err = std::get_if<MinorPermError>(&parsed)) {
    *why = err->text();
    return std::nullopt;
  }
  return std::get<MinorPerms>(std::move(parsed));
}

} // namespace qdhost

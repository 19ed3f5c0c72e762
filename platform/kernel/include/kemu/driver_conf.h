// The driver.conf syntax: entries of name=value properties, each entry ended by ';'.
//
//   # comment to the end of the line
//   forceload=1;                                   global property
//   vrn1a="Model,10.0.0.5";                        global string property
//   name="qd" parent="pseudo" instance=0;          node under the pseudo nexus
//   name="qd" class="scsi"
//        target=2 lun=0;                           node under every SCSI adapter
//
// Integers are decimal (optionally negative) or 0x hexadecimal and fit 32 bits; strings
// are double-quoted on one line (\" and \\ escape). An entry with a "name" property is a
// node entry, any other entry holds global properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kemu {

struct ConfError {
  std::string file;
  int line = 0; // 0: the file as a whole
  std::string reason;
  // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about the insert at the
  // front that ":" + std::to_string(line) makes.
  std::string text() const {
    std::string t = file;
    if (line > 0) {
      t += ':';
      t += std::to_string(line);
    }
    t += ": ";
    t += reason;
    return t;
  }
};

struct ConfValue {
  bool is_string = false;
  std::int32_t number = 0;
  std::string text;
};

struct ConfProp {
  std::string name;
  ConfValue value;
  int line = 0;
};

struct ConfEntry {
  int line = 0; // where the entry starts
  std::vector<ConfProp> props;
  const ConfProp* find(std::string_view name) const;
  bool is_node() const { return find("name") != nullptr; }
};

struct ConfFile {
  std::vector<ConfEntry> entries;
  std::optional<ConfError> error; // set: the file is refused as a whole
};

// Syntax only: what the entries mean is checked when the file is applied to a tree.
ConfFile parse_driver_conf(std::string_view file, std::string_view text);

} // namespace kemu

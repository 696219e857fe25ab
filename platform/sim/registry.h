// The simulated registry: keys by path (case-insensitive), DWORD, string and
// binary values. Seeded from a Windows .reg file or set by a test.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ntdef.h"

namespace sim {

struct registry_value {
    ULONG type = 0;             // REG_DWORD, REG_SZ, ...
    std::vector<uint8_t> data;  // as stored: DWORD little-endian, strings UTF-16LE with terminator
};

class registry {
 public:
    // Paths take the hive spelled as in .reg files or as the kernel spells it:
    // HKEY_LOCAL_MACHINE\..., HKLM\..., \REGISTRY\MACHINE\...
    static std::string normalise(const std::string& path);

    void create_key(const std::string& path);
    bool key_exists(const std::string& path) const;
    void delete_key(const std::string& path);  // with its subkeys

    void set_dword(const std::string& key, const std::string& name, uint32_t value);
    void set_string(const std::string& key, const std::string& name, const std::string& utf8);
    void set_value(const std::string& key, const std::string& name, registry_value value);
    void delete_value(const std::string& key, const std::string& name);
    std::optional<registry_value> value(const std::string& key, const std::string& name) const;

    // Loads a .reg file's text ("Windows Registry Editor Version 5.00" or
    // "REGEDIT4"). On a malformed line returns false and sets `error` to
    // "<source>:<line>: <what>".
    bool load_reg(const std::string& text, const std::string& source, std::string* error);
    bool load_reg_file(const std::string& path, std::string* error);

    void clear() { keys_.clear(); }

 private:
    struct key_data {
        std::map<std::string, std::pair<std::string, registry_value>> values;  // upper-cased name -> (name, value)
    };
    static std::string key_of(const std::string& path);
    key_data& make_key(const std::string& path);  // with its ancestors

    std::map<std::string, key_data, std::less<>> keys_;  // normalised upper-cased path
};

// Well-known places.
inline const char* services_key() { return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services"; }
inline const char* enum_key() { return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"; }

}  // namespace sim

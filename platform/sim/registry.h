// The simulated registry: keys by path (case-insensitive), DWORD, string and
// binary values. Seeded from a Windows .reg file or set by a test.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntdef.h"

namespace sim {

struct registry_value {
    ULONG type = 0;             // REG_DWORD, REG_SZ, ...
    std::vector<uint8_t> data;  // as stored: DWORD little-endian, strings UTF-16LE with terminator
};

// A key's path as the registry indexes it, worked out once for a caller that
// comes back to the same key again and again.
class key_name {
 public:
    explicit key_name(std::string_view path);
    const std::string& str() const { return name_; }

 private:
    std::string name_;  // normalised, upper-cased
};

class registry {
 public:
    // Paths take the hive spelled as in .reg files or as the kernel spells it:
    // HKEY_LOCAL_MACHINE\..., HKLM\..., \REGISTRY\MACHINE\...
    static std::string normalise(const std::string& path);

    void create_key(const std::string& path);
    bool key_exists(const std::string& path) const;
    // A key's identity, 0 when there is none: a key created again after it
    // was deleted is another key to the handles opened on the first.
    uint64_t key_id(const key_name& key) const;
    void delete_key(const std::string& path);  // with its subkeys

    // Value names are case-insensitive.
    void set_dword(const std::string& key, const std::string& name, uint32_t value);
    void set_dword(const key_name& key, std::string_view name, uint32_t value);
    void set_string(const std::string& key, const std::string& name, const std::string& utf8);
    void set_string(const key_name& key, std::string_view name, const std::u16string& text);
    void set_value(const std::string& key, const std::string& name, registry_value value);
    void delete_value(const std::string& key, const std::string& name);
    std::optional<registry_value> value(const std::string& key, const std::string& name) const;
    // The value as stored, without a copy; valid until the key or the value
    // next changes.
    const registry_value* find_value(const key_name& key, std::string_view name) const;

    // Loads a .reg file's text ("Windows Registry Editor Version 5.00" or
    // "REGEDIT4"). On a malformed line returns false and sets `error` to
    // "<source>:<line>: <what>".
    bool load_reg(const std::string& text, const std::string& source, std::string* error);
    bool load_reg_file(const std::string& path, std::string* error);

    void clear() { keys_.clear(); }  // ids are never reused

 private:
    // Orders value names as the registry matches them: ASCII letters without
    // their case.
    struct name_less {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    struct key_data {
        uint64_t id = 0;
        std::map<std::string, registry_value, name_less> values;  // by name as first set
    };
    key_data& make_key(const std::string& path);  // with its ancestors
    key_data& make_key(const key_name& key);
    key_data& make_key(std::string_view name);  // name: as indexed
    const key_data* find_key(std::string_view name) const;
    const registry_value* find_value(std::string_view key, std::string_view name) const;
    static void set_in(key_data& key, std::string_view name, registry_value value);

    std::map<std::string, key_data, std::less<>> keys_;  // normalised upper-cased path
    uint64_t last_id_ = 0;
};

// Well-known places.
inline const char* services_key() { return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services"; }
inline const char* enum_key() { return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"; }

}  // namespace sim

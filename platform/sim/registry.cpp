#include "sim/registry.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string_view>

#include "sim/strings.h"
#include "wdm.h"

namespace sim {
namespace {

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

registry_value string_value(ULONG type, const std::string& utf8) {
    registry_value v;
    v.type = type;
    std::u16string w = to_utf16(utf8);
    for (char16_t c : w) {
        v.data.push_back(static_cast<uint8_t>(c & 0xff));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

bool parse_hex_list(const std::string& text, std::vector<uint8_t>* out) {
    std::string item;
    std::stringstream ss(text);
    while (std::getline(ss, item, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        if (item.size() > 2 || !std::all_of(item.begin(), item.end(), [](char c) { return std::isxdigit(c); })) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
    }
    return true;
}

// Parses a quoted .reg string starting at text[*pos] == '"'; advances past the
// closing quote.
bool parse_quoted(const std::string& text, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    out->clear();
    while (i < text.size()) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        out->push_back(c);
        i++;
    }
    return false;
}

const std::pair<std::string_view, std::string_view> hives[] = {
    {"\\REGISTRY\\MACHINE", "HKEY_LOCAL_MACHINE"},
    {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"\\REGISTRY\\USER", "HKEY_USERS"},
    {"HKU", "HKEY_USERS"},
};

char separator(char c) { return c == '/' ? '\\' : c; }

// The hive `path` starts with as the kernel or an abbreviation spells it, and
// the length of that spelling; none when it names the hive in full.
const std::pair<std::string_view, std::string_view>* hive_alias(const std::string& path, size_t end, size_t* length) {
    for (const auto& h : hives) {
        const size_t n = h.first.size();
        if (end < n || (end > n && separator(path[n]) != '\\')) continue;
        size_t i = 0;
        while (i < n && std::toupper(static_cast<unsigned char>(separator(path[i]))) == h.first[i]) i++;
        if (i == n) {
            *length = n;
            return &h;
        }
    }
    return nullptr;
}

// Where the path ends without its trailing separators.
size_t trimmed_end(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && separator(path[end - 1]) == '\\') end--;
    return end;
}

}  // namespace

std::string registry::normalise(const std::string& path) {
    const size_t end = trimmed_end(path);
    size_t from = 0;
    const auto* alias = hive_alias(path, end, &from);
    std::string p(alias != nullptr ? alias->second : std::string_view());
    p.reserve(p.size() + end - from);
    for (size_t i = from; i < end; i++) p.push_back(separator(path[i]));
    return p;
}

// The map's key for a path: normalised and upper-cased in one pass, as every
// registry call looks its key up.
std::string registry::key_of(const std::string& path) {
    const size_t end = trimmed_end(path);
    size_t from = 0;
    const auto* alias = hive_alias(path, end, &from);
    std::string k(alias != nullptr ? alias->second : std::string_view());
    k.reserve(k.size() + end - from);
    for (size_t i = from; i < end; i++) {
        k.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(separator(path[i])))));
    }
    return k;
}

void registry::create_key(const std::string& path) { make_key(path); }

registry::key_data& registry::make_key(const std::string& path) {
    // Creating a key creates its ancestors, as the registry does, and
    // deleting one deletes its subkeys: a key that exists has them all.
    std::string k = key_of(path);
    const auto found = keys_.find(k);
    if (found != keys_.end()) return found->second;
    size_t pos = 0;
    while ((pos = k.find('\\', pos + 1)) != std::string::npos) {
        const std::string_view ancestor(k.data(), pos);
        if (keys_.find(ancestor) == keys_.end()) keys_.emplace(std::string(ancestor), key_data());
    }
    return keys_.emplace(std::move(k), key_data()).first->second;
}

bool registry::key_exists(const std::string& path) const { return keys_.count(key_of(path)) != 0; }

void registry::delete_key(const std::string& path) {
    std::string k = key_of(path);
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->first == k || it->first.compare(0, k.size() + 1, k + "\\") == 0) {
            it = keys_.erase(it);
        } else {
            ++it;
        }
    }
}

void registry::set_value(const std::string& key, const std::string& name, registry_value value) {
    make_key(key).values[upper(name)] = {name, std::move(value)};
}

void registry::set_dword(const std::string& key, const std::string& name, uint32_t value) {
    registry_value v;
    v.type = REG_DWORD;
    for (int i = 0; i < 4; i++) v.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    set_value(key, name, std::move(v));
}

void registry::set_string(const std::string& key, const std::string& name, const std::string& utf8) {
    set_value(key, name, string_value(REG_SZ, utf8));
}

void registry::delete_value(const std::string& key, const std::string& name) {
    auto it = keys_.find(key_of(key));
    if (it != keys_.end()) it->second.values.erase(upper(name));
}

std::optional<registry_value> registry::value(const std::string& key, const std::string& name) const {
    auto it = keys_.find(key_of(key));
    if (it == keys_.end()) return std::nullopt;
    auto v = it->second.values.find(upper(name));
    if (v == it->second.values.end()) return std::nullopt;
    return v->second.second;
}

bool registry::load_reg(const std::string& text, const std::string& source, std::string* error) {
    std::vector<std::string> lines;
    {
        std::string line;
        std::stringstream ss(text);
        while (std::getline(ss, line)) lines.push_back(line);
    }
    auto fail = [&](size_t line_no, const std::string& what) {
        *error = source + ":" + std::to_string(line_no) + ": " + what;
        return false;
    };
    std::string key;
    bool key_deleted = false;
    bool header = false;
    for (size_t i = 0; i < lines.size(); i++) {
        size_t line_no = i + 1;
        std::string line = trim(lines[i]);
        if (i == 0 && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line = trim(line.substr(3));
        if (line.empty() || line[0] == ';') continue;
        if (!header) {
            if (line != "Windows Registry Editor Version 5.00" && line != "REGEDIT4") {
                return fail(line_no, "not a registry file (expected \"Windows Registry Editor Version 5.00\")");
            }
            header = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') return fail(line_no, "key line without closing ']'");
            std::string path = trim(line.substr(1, line.size() - 2));
            key_deleted = !path.empty() && path[0] == '-';
            if (key_deleted) path = trim(path.substr(1));
            std::string hive = upper(path.substr(0, path.find('\\')));
            if (path.empty() ||
                (hive != "HKEY_LOCAL_MACHINE" && hive != "HKLM" && hive != "HKEY_USERS" &&
                 hive != "HKEY_CURRENT_USER" && hive != "HKEY_CLASSES_ROOT" && hive != "HKEY_CURRENT_CONFIG")) {
                return fail(line_no, "unknown registry hive in key \"" + path + "\"");
            }
            key = path;
            if (key_deleted) {
                delete_key(key);
            } else {
                create_key(key);
            }
            continue;
        }
        if (key.empty()) return fail(line_no, "value outside a key section");
        // Values: "name"=data or @=data; hex data may continue over lines ending in '\'.
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!parse_quoted(line, &pos, &name)) return fail(line_no, "unterminated value name");
        } else {
            return fail(line_no, "expected a quoted value name, '@' or a [key]");
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) pos++;
        if (pos >= line.size() || line[pos] != '=') return fail(line_no, "expected '=' after the value name");
        std::string data = trim(line.substr(pos + 1));
        while (!data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
            data.pop_back();
            data += trim(lines[++i]);
        }
        if (key_deleted) continue;
        if (data == "-") {
            delete_value(key, name);
            continue;
        }
        if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string s;
            if (!parse_quoted(data, &p, &s) || trim(data.substr(p)) != "") {
                return fail(line_no, "malformed string value");
            }
            set_string(key, name, s);
        } else if (upper(data.substr(0, 6)) == "DWORD:") {
            std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(c); })) {
                return fail(line_no, "malformed dword value (expected up to 8 hex digits)");
            }
            set_dword(key, name, static_cast<uint32_t>(std::stoul(digits, nullptr, 16)));
        } else if (upper(data.substr(0, 3)) == "HEX") {
            ULONG type = REG_BINARY;
            size_t colon = data.find(':');
            if (colon == std::string::npos) return fail(line_no, "malformed hex value");
            std::string kind = data.substr(3, colon - 3);
            if (!kind.empty()) {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') {
                    return fail(line_no, "malformed hex value type");
                }
                std::string t = kind.substr(1, kind.size() - 2);
                // A value type is a DWORD: more digits would not fit (and would throw).
                if (t.empty() || t.size() > 8 ||
                    !std::all_of(t.begin(), t.end(), [](char c) { return std::isxdigit(c); })) {
                    return fail(line_no, "malformed hex value type");
                }
                type = static_cast<ULONG>(std::stoul(t, nullptr, 16));
            }
            registry_value v;
            v.type = type;
            if (!parse_hex_list(data.substr(colon + 1), &v.data)) return fail(line_no, "malformed hex byte list");
            set_value(key, name, std::move(v));
        } else {
            return fail(line_no, "unknown value data \"" + data + "\"");
        }
    }
    if (!header) return fail(1, "empty registry file");
    return true;
}

bool registry::load_reg_file(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open file";
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // regedit writes UTF-16LE with a byte-order mark.
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        std::u16string w;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            w.push_back(
                static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        }
        bytes = to_utf8(reinterpret_cast<const WCHAR*>(w.data()), w.size());
    }
    return load_reg(bytes, path, error);
}

}  // namespace sim

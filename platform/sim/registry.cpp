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

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

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

// Stored UTF-16LE with its terminator.
registry_value string_value(ULONG type, const std::u16string& text) {
    registry_value v;
    v.type = type;
    v.data.reserve(2 * (text.size() + 1));
    for (char16_t c : text) {
        v.data.push_back(static_cast<uint8_t>(c & 0xff));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

registry_value dword_value(uint32_t value) {
    registry_value v;
    v.type = REG_DWORD;
    v.data.resize(4);
    for (int i = 0; i < 4; i++) v.data[i] = static_cast<uint8_t>(value >> (8 * i));
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
const std::pair<std::string_view, std::string_view>* hive_alias(std::string_view path, size_t end, size_t* length) {
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
size_t trimmed_end(std::string_view path) {
    size_t end = path.size();
    while (end > 0 && separator(path[end - 1]) == '\\') end--;
    return end;
}

// A path's name in the registry's index: normalised and upper-cased in one
// pass, as every registry call looks its key up.
struct name_parts {
    explicit name_parts(std::string_view p) : path(p), end(trimmed_end(p)) {
        const auto* alias = hive_alias(path, end, &from);
        if (alias != nullptr) hive = alias->second;
    }
    size_t size() const { return hive.size() + end - from; }
    void write(char* out) const {
        out = std::copy(hive.begin(), hive.end(), out);
        for (size_t i = from; i < end; i++) *out++ = ascii_upper(separator(path[i]));
    }

    std::string_view path;
    size_t end;
    size_t from = 0;
    std::string_view hive;
};

// The same, on the stack for the usual lengths: a lookup that finds its key
// costs no allocation.
class scratch_name {
 public:
    explicit scratch_name(std::string_view path) {
        const name_parts parts(path);
        char* out = short_;
        if (parts.size() > sizeof(short_)) {
            long_.resize(parts.size());
            out = long_.data();
        }
        parts.write(out);
        text_ = std::string_view(out, parts.size());
    }
    scratch_name(const scratch_name&) = delete;
    scratch_name& operator=(const scratch_name&) = delete;
    std::string_view text() const { return text_; }

 private:
    char short_[256];
    std::string long_;
    std::string_view text_;
};

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

key_name::key_name(std::string_view path) {
    const name_parts parts(path);
    name_.resize(parts.size());
    parts.write(name_.data());
}

bool registry::name_less::operator()(std::string_view a, std::string_view b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        const auto x = static_cast<unsigned char>(ascii_upper(a[i]));
        const auto y = static_cast<unsigned char>(ascii_upper(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

void registry::create_key(const std::string& path) { make_key(path); }

registry::key_data& registry::make_key(const std::string& path) { return make_key(scratch_name(path).text()); }

registry::key_data& registry::make_key(const key_name& key) { return make_key(std::string_view(key.str())); }

registry::key_data& registry::make_key(std::string_view name) {
    // Creating a key creates its ancestors, as the registry does, and
    // deleting one deletes its subkeys: a key that exists has them all.
    const auto found = keys_.find(name);
    if (found != keys_.end()) return found->second;
    size_t pos = 0;
    while ((pos = name.find('\\', pos + 1)) != std::string_view::npos) {
        const std::string_view ancestor = name.substr(0, pos);
        if (keys_.find(ancestor) == keys_.end()) keys_.emplace(std::string(ancestor), key_data{++last_id_, {}});
    }
    return keys_.emplace(std::string(name), key_data{++last_id_, {}}).first->second;
}

const registry::key_data* registry::find_key(std::string_view name) const {
    const auto it = keys_.find(name);
    return it != keys_.end() ? &it->second : nullptr;
}

bool registry::key_exists(const std::string& path) const { return find_key(scratch_name(path).text()) != nullptr; }

uint64_t registry::key_id(const key_name& key) const {
    const key_data* k = find_key(key.str());
    return k != nullptr ? k->id : 0;
}

void registry::delete_key(const std::string& path) {
    const scratch_name name(path);
    const std::string_view k = name.text();
    for (auto it = keys_.begin(); it != keys_.end();) {
        const std::string_view n = it->first;
        if (n == k || (n.size() > k.size() && n.compare(0, k.size(), k) == 0 && n[k.size()] == '\\')) {
            it = keys_.erase(it);
        } else {
            ++it;
        }
    }
}

void registry::set_in(key_data& key, std::string_view name, registry_value value) {
    const auto it = key.values.find(name);
    if (it != key.values.end()) {
        it->second = std::move(value);
    } else {
        key.values.emplace(std::string(name), std::move(value));
    }
}

void registry::set_value(const std::string& key, const std::string& name, registry_value value) {
    set_in(make_key(key), name, std::move(value));
}

void registry::set_dword(const std::string& key, const std::string& name, uint32_t value) {
    set_value(key, name, dword_value(value));
}

void registry::set_dword(const key_name& key, std::string_view name, uint32_t value) {
    set_in(make_key(key), name, dword_value(value));
}

void registry::set_string(const std::string& key, const std::string& name, const std::string& utf8) {
    set_value(key, name, string_value(REG_SZ, to_utf16(utf8)));
}

void registry::set_string(const key_name& key, std::string_view name, const std::u16string& text) {
    set_in(make_key(key), name, string_value(REG_SZ, text));
}

void registry::delete_value(const std::string& key, const std::string& name) {
    auto it = keys_.find(scratch_name(key).text());
    if (it != keys_.end()) {
        auto v = it->second.values.find(name);
        if (v != it->second.values.end()) it->second.values.erase(v);
    }
}

std::optional<registry_value> registry::value(const std::string& key, const std::string& name) const {
    const registry_value* v = find_value(scratch_name(key).text(), name);
    if (v == nullptr) return std::nullopt;
    return *v;
}

const registry_value* registry::find_value(const key_name& key, std::string_view name) const {
    return find_value(std::string_view(key.str()), name);
}

const registry_value* registry::find_value(std::string_view key, std::string_view name) const {
    const key_data* k = find_key(key);
    if (k == nullptr) return nullptr;
    const auto v = k->values.find(name);
    return v != k->values.end() ? &v->second : nullptr;
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

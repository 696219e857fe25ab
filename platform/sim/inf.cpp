#include "sim/inf.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/registry.h"

namespace sim {
namespace {

constexpr uint32_t flg_addreg_noclobber = 0x00000002;
constexpr uint32_t flg_addreg_type_mask = 0xFFFF0001;
constexpr uint32_t flg_addreg_type_sz = 0x00000000;
constexpr uint32_t flg_addreg_type_dword = 0x00010001;
constexpr uint32_t spsvcinst_assocservice = 0x00000002;

// The framework version the platform provides.
constexpr unsigned kmdf_major = 1, kmdf_minor = 9;

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Equal without regard to case, compared in place: matching runs over every
// model for each ID at every plug.
bool same(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

struct inf_error {
    unsigned line;
    std::string what;
};

struct entry {
    unsigned line = 0;
    bool has_key = false;
    std::string key;
    std::vector<std::string> values;  // unquoted, strings not yet substituted
};

struct section {
    std::string name;
    unsigned line = 0;
    std::vector<entry> entries;
};

// Splits "a, "b,c", d" at commas outside quotes and takes the quotes off
// ("" inside quotes is one quote).
std::vector<std::string> split_values(const std::string& text, unsigned line) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                current += '"';
                i++;
            } else {
                quoted = !quoted;
            }
        } else if (c == ',' && !quoted) {
            out.push_back(trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (quoted) throw inf_error{line, "unterminated quoted string"};
    out.push_back(trim(current));
    return out;
}

// Logical lines: comments (';' outside quotes) dropped, a trailing '\' joins
// the next physical line. Each keeps the number of its first physical line.
std::map<std::string, section> read_sections(const std::string& text, std::vector<std::string>* order) {
    std::map<std::string, section> sections;
    section* current = nullptr;
    std::istringstream in(text);
    std::string physical;
    unsigned number = 0;
    std::string logical;
    unsigned logical_line = 0;
    while (std::getline(in, physical)) {
        number++;
        if (number == 1 && physical.size() >= 3 && physical.compare(0, 3, "\xEF\xBB\xBF") == 0) physical.erase(0, 3);
        bool quoted = false;
        size_t cut = physical.size();
        for (size_t i = 0; i < physical.size(); i++) {
            if (physical[i] == '"') quoted = !quoted;
            if (physical[i] == ';' && !quoted) {
                cut = i;
                break;
            }
        }
        std::string part = trim(physical.substr(0, cut));
        if (logical.empty()) logical_line = number;
        if (!part.empty() && part.back() == '\\') {
            logical += part.substr(0, part.size() - 1);
            continue;
        }
        logical += part;
        std::string line = trim(logical);
        logical.clear();
        if (line.empty()) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) throw inf_error{logical_line, "section name without a closing ']'"};
            if (!trim(line.substr(close + 1)).empty()) throw inf_error{logical_line, "text after the section name"};
            std::string name = trim(line.substr(1, close - 1));
            if (name.empty()) throw inf_error{logical_line, "empty section name"};
            auto it = sections.find(upper(name));
            if (it == sections.end()) {
                it = sections.emplace(upper(name), section{name, logical_line, {}}).first;
                order->push_back(upper(name));
            }
            current = &it->second;
            continue;
        }
        if (current == nullptr) throw inf_error{logical_line, "line outside any section"};
        entry e;
        e.line = logical_line;
        bool quoted_eq = false;
        size_t eq = std::string::npos;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"') quoted_eq = !quoted_eq;
            if (line[i] == '=' && !quoted_eq) {
                eq = i;
                break;
            }
        }
        if (eq != std::string::npos) {
            e.has_key = true;
            std::vector<std::string> key = split_values(line.substr(0, eq), logical_line);
            if (key.size() != 1 || key[0].empty()) throw inf_error{logical_line, "malformed key before '='"};
            e.key = key[0];
            e.values = split_values(line.substr(eq + 1), logical_line);
        } else {
            e.values = split_values(line, logical_line);
        }
        current->entries.push_back(std::move(e));
    }
    if (!logical.empty()) throw inf_error{logical_line, "line continued past the end of the file"};
    return sections;
}

class parser {
 public:
    explicit parser(std::map<std::string, section> sections) : sections_(std::move(sections)) {
        if (const section* s = find("Strings")) {
            for (const entry& e : s->entries) {
                if (!e.has_key || e.values.size() != 1)
                    throw inf_error{e.line, "a string needs the form key = \"text\""};
                strings_[upper(e.key)] = e.values[0];
            }
        }
    }

    const section* find(const std::string& name) const {
        auto it = sections_.find(upper(name));
        return it == sections_.end() ? nullptr : &it->second;
    }

    const section& require(const std::string& name, unsigned line, const std::string& why) const {
        const section* s = find(name);
        if (s == nullptr) throw inf_error{line, why + " [" + name + "] is missing"};
        return *s;
    }

    // %key% from [Strings]; %% is a percent sign; a number is a directory id and stays.
    std::string expand(const std::string& text, unsigned line) const {
        std::string out;
        for (size_t i = 0; i < text.size(); i++) {
            if (text[i] != '%') {
                out += text[i];
                continue;
            }
            size_t close = text.find('%', i + 1);
            if (close == std::string::npos) throw inf_error{line, "unmatched '%' in \"" + text + "\""};
            std::string key = text.substr(i + 1, close - i - 1);
            if (key.empty()) {
                out += '%';
            } else if (std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(c); })) {
                out += "%" + key + "%";
            } else {
                auto it = strings_.find(upper(key));
                if (it == strings_.end()) throw inf_error{line, "string %" + key + "% is not defined in [Strings]"};
                out += it->second;
            }
            i = close;
        }
        return out;
    }

    std::vector<std::string> values(const entry& e) const {
        std::vector<std::string> out;
        for (const auto& v : e.values) out.push_back(expand(v, e.line));
        return out;
    }

    // The single value of `key` in the section, expanded; nullopt when absent.
    std::optional<std::pair<std::string, unsigned>> value(const section& s, const std::string& key) const {
        for (const entry& e : s.entries) {
            if (e.has_key && same(e.key, key)) {
                std::vector<std::string> v = values(e);
                return std::make_pair(v.empty() ? std::string() : v[0], e.line);
            }
        }
        return std::nullopt;
    }

    static uint32_t number(const std::string& text, unsigned line, const char* what) {
        std::string t = trim(text);
        char* end = nullptr;
        errno = 0;
        unsigned long long v = 0;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            v = std::strtoull(t.c_str() + 2, &end, 16);
        } else if (!t.empty() && std::isdigit(static_cast<unsigned char>(t[0]))) {
            v = std::strtoull(t.c_str(), &end, 10);
        }
        if (end == nullptr || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) {
            throw inf_error{line, std::string("malformed ") + what + " \"" + text + "\""};
        }
        return static_cast<uint32_t>(v);
    }

    // AddReg = section[, section ...] lines of `s`, read into values.
    std::vector<inf_reg_value> add_reg(const section& s) const {
        std::vector<inf_reg_value> out;
        for (const entry& e : s.entries) {
            if (!e.has_key || !same(e.key, "AddReg")) continue;
            for (const std::string& name : values(e)) {
                const section& reg = require(name, e.line, "registry section");
                for (const entry& r : reg.entries) out.push_back(reg_line(r));
            }
        }
        return out;
    }

    inf_reg_value reg_line(const entry& r) const {
        if (r.has_key) throw inf_error{r.line, "a registry line has no '='"};
        std::vector<std::string> v = values(r);
        if (v.size() < 3) throw inf_error{r.line, "a registry line needs root, subkey, value name, flags, value"};
        if (!same(v[0], "HKR")) throw inf_error{r.line, "registry root " + v[0] + " is not HKR"};
        inf_reg_value out;
        out.line = r.line;
        out.subkey = v[1];
        out.name = v[2];
        out.flags = v.size() > 3 && !v[3].empty() ? number(v[3], r.line, "registry flags") : 0;
        std::string data = v.size() > 4 ? v[4] : std::string();
        switch (out.flags & flg_addreg_type_mask) {
            case flg_addreg_type_dword:
                out.dword = true;
                out.dword_value = number(data, r.line, "DWORD value");
                break;
            case flg_addreg_type_sz:
                out.string_value = data;
                break;
            default:
                throw inf_error{r.line, "registry value type of flags " + v[3] + " is not supported"};
        }
        return out;
    }

    // Windows reads [name.NTamd64], else [name.NT], else [name] on x64.
    std::string decorated_install(const std::string& name) const {
        for (const char* suffix : {".NTamd64", ".NT", ""}) {
            if (find(name + suffix) != nullptr) return name + suffix;
        }
        return std::string();
    }

    inf_service service(const std::string& name, const std::string& install, unsigned line) const {
        const section& s = require(install, line, "service-install section");
        inf_service out;
        out.name = name;
        auto field = [&](const char* key) {
            auto v = value(s, key);
            if (!v) throw inf_error{s.line, std::string("[") + s.name + "] has no " + key};
            return *v;
        };
        auto type = field("ServiceType");
        out.service_type = number(type.first, type.second, "ServiceType");
        auto start = field("StartType");
        out.start_type = number(start.first, start.second, "StartType");
        auto error = field("ErrorControl");
        out.error_control = number(error.first, error.second, "ErrorControl");
        out.binary = field("ServiceBinary").first;
        out.values = add_reg(s);
        return out;
    }

    void read_install(inf_model* model, unsigned line, std::vector<inf_service>* services) const {
        std::string base = decorated_install(model->install);
        if (base.empty()) throw inf_error{line, "install section [" + model->install + "] is missing"};
        const section& svc = require(base + ".Services", line, "services section");
        for (const entry& e : svc.entries) {
            if (!e.has_key || !same(e.key, "AddService")) continue;
            std::vector<std::string> v = values(e);
            if (v.size() < 3 || v[0].empty()) throw inf_error{e.line, "AddService needs name, flags, install section"};
            uint32_t flags = number(v[1], e.line, "AddService flags");
            if (flags & spsvcinst_assocservice) model->service = v[0];
            auto known = std::find_if(services->begin(), services->end(),
                                      [&](const inf_service& s) { return same(s.name, v[0]); });
            if (known == services->end()) services->push_back(service(v[0], v[2], e.line));
        }
        if (model->service.empty()) throw inf_error{svc.line, "[" + svc.name + "] names no function driver (flag 0x2)"};
        if (const section* hw = find(base + ".HW")) model->hardware_values = add_reg(*hw);
        if (const section* wdf = find(base + ".Wdf")) {
            auto kmdf = std::find_if(wdf->entries.begin(), wdf->entries.end(),
                                     [](const entry& e) { return e.has_key && same(e.key, "KmdfService"); });
            if (kmdf == wdf->entries.end()) throw inf_error{wdf->line, "[" + wdf->name + "] has no KmdfService"};
            std::vector<std::string> v = values(*kmdf);
            if (v.size() != 2 || v[0].empty()) throw inf_error{kmdf->line, "KmdfService needs service name, section"};
            model->kmdf_service = v[0];
            const section& lib = require(v[1], kmdf->line, "KMDF section");
            auto version = value(lib, "KmdfLibraryVersion");
            if (!version) throw inf_error{lib.line, "[" + lib.name + "] has no KmdfLibraryVersion"};
            unsigned major = 0, minor = 0;
            char dot = 0, extra = 0;
            if (std::sscanf(version->first.c_str(), "%u%c%u%c", &major, &dot, &minor, &extra) != 3 || dot != '.') {
                throw inf_error{version->second, "malformed KmdfLibraryVersion \"" + version->first + "\""};
            }
            if (major != kmdf_major || minor > kmdf_minor) {
                throw inf_error{version->second, "KmdfLibraryVersion " + version->first +
                                                     " needs a newer framework than the installed 1.9"};
            }
            model->kmdf_version = version->first;
        }
    }

 private:
    std::map<std::string, section> sections_;
    std::map<std::string, std::string> strings_;
};

bool is_amd64(const std::string& decoration) {
    std::string d = upper(decoration);
    return d == "NTAMD64" || d.rfind("NTAMD64.", 0) == 0;
}

}  // namespace

std::optional<inf_file> inf_file::parse(const std::string& text, const std::string& source, std::string* error) {
    inf_file inf;
    inf.source_ = source;
    inf.name_ = source.substr(source.find_last_of("/\\") == std::string::npos ? 0 : source.find_last_of("/\\") + 1);
    try {
        std::vector<std::string> order;
        parser p(read_sections(text, &order));
        const section& version = p.require("Version", 1, "section");
        auto signature = p.value(version, "Signature");
        if (!signature || (!same(signature->first, "$Windows NT$") && !same(signature->first, "$Chicago$"))) {
            throw inf_error{signature ? signature->second : version.line, "Signature must be \"$Windows NT$\""};
        }
        auto field = [&](const char* key, std::string* out) {
            auto v = p.value(version, key);
            if (!v || v->first.empty()) throw inf_error{version.line, std::string("[Version] has no ") + key};
            *out = v->first;
            return v->second;
        };
        field("Class", &inf.class_);
        unsigned guid_line = field("ClassGuid", &inf.class_guid_);
        if (inf.class_guid_.size() != 38 || inf.class_guid_.front() != '{' || inf.class_guid_.back() != '}') {
            throw inf_error{guid_line, "malformed ClassGuid \"" + inf.class_guid_ + "\""};
        }
        field("Provider", &inf.provider_);
        unsigned ver_line = field("DriverVer", &inf.driver_ver_);
        for (const entry& e : version.entries) {
            if (!e.has_key || !same(e.key, "DriverVer")) continue;
            std::vector<std::string> parts = p.values(e);
            if (parts.size() > 1) inf.driver_ver_ += "," + parts[1];
            break;
        }
        unsigned mm = 0, dd = 0, yyyy = 0;
        if (std::sscanf(inf.driver_ver_.c_str(), "%u/%u/%u", &mm, &dd, &yyyy) != 3 || mm < 1 || mm > 12 || dd < 1 ||
            dd > 31 || yyyy < 1980) {
            throw inf_error{ver_line, "DriverVer must begin with a date mm/dd/yyyy"};
        }
        if (auto catalog = p.value(version, "CatalogFile")) inf.catalog_ = catalog->first;

        const section& manufacturer = p.require("Manufacturer", 1, "section");
        for (const entry& m : manufacturer.entries) {
            std::vector<std::string> v = p.values(m);
            if (!m.has_key || v.empty() || v[0].empty()) throw inf_error{m.line, "a manufacturer needs name = models"};
            std::string models = v[0];
            if (v.size() > 1) {
                auto amd64 = std::find_if(v.begin() + 1, v.end(), is_amd64);
                if (amd64 == v.end()) continue;  // nothing for x64
                models += "." + *amd64;
            }
            const section& list = p.require(models, m.line, "models section");
            for (const entry& e : list.entries) {
                std::vector<std::string> mv = p.values(e);
                if (!e.has_key || mv.size() < 2 || mv[0].empty() || mv[1].empty()) {
                    throw inf_error{e.line, "a model needs description = install section, hardware ID"};
                }
                inf_model model;
                model.section = list.name;
                model.line = e.line;
                model.description = p.expand(e.key, e.line);
                model.install = mv[0];
                for (size_t i = 1; i < mv.size(); i++) {
                    if (!mv[i].empty()) model.ids.push_back(mv[i]);
                }
                p.read_install(&model, e.line, &inf.services_);
                inf.models_.push_back(std::move(model));
            }
        }
    } catch (const inf_error& e) {
        *error = source + ":" + std::to_string(e.line) + ": " + e.what;
        return std::nullopt;
    }
    return inf;
}

std::optional<inf_file> inf_file::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open file";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string bytes = text.str();
    // An INF saved as UTF-16LE (as the WDK's tools often write it).
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::string narrow;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            unsigned c = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
            if (c < 0x80) {
                narrow += static_cast<char>(c);
            } else if (c < 0x800) {
                narrow += static_cast<char>(0xC0 | c >> 6);
                narrow += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                narrow += static_cast<char>(0xE0 | c >> 12);
                narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                narrow += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        bytes = narrow;
    }
    return parse(bytes, path, error);
}

void write_inf_values(registry& reg, const std::string& key, const std::vector<inf_reg_value>& values) {
    for (const inf_reg_value& v : values) {
        std::string path = v.subkey.empty() ? key : key + "\\" + v.subkey;
        reg.create_key(path);
        if (v.name.empty() && !v.dword && v.string_value.empty()) continue;  // a key only
        if ((v.flags & flg_addreg_noclobber) && reg.value(path, v.name)) continue;
        if (v.dword) {
            reg.set_dword(path, v.name, v.dword_value);
        } else {
            reg.set_string(path, v.name, v.string_value);
        }
    }
}

void driver_store::install(inf_file inf, registry& reg) {
    for (const inf_service& s : inf.services()) {
        std::string key = std::string(services_key()) + "\\" + s.name;
        reg.create_key(key);
        write_inf_values(reg, key, s.values);
    }
    infs_.push_back(std::move(inf));
}

std::optional<inf_match> driver_store::best_match(const std::vector<std::string>& hardware_ids,
                                                  const std::vector<std::string>& compatible_ids) const {
    std::optional<inf_match> best;
    for (const inf_file& inf : infs_) {
        for (const inf_model& model : inf.models()) {
            for (size_t m = 0; m < model.ids.size(); m++) {
                const bool model_hardware = m == 0;
                for (int list = 0; list < 2; list++) {
                    const std::vector<std::string>& ids = list == 0 ? hardware_ids : compatible_ids;
                    for (size_t d = 0; d < ids.size(); d++) {
                        if (!same(ids[d], model.ids[m])) continue;
                        unsigned kind = (list == 0 ? 0 : 2) + (model_hardware ? 0 : 1);
                        unsigned position =
                            static_cast<unsigned>(std::min<size_t>(d * 0x10 + (m == 0 ? 0 : m - 1), 0xFFF));
                        unsigned rank = kind * 0x1000 + position;
                        if (!best || rank < best->rank) {
                            best = inf_match{inf.name(), &model, ids[d], list == 0, rank};
                        }
                    }
                }
            }
        }
    }
    return best;
}

inf_file system_usb_inf() {
    static const char* text =
        "[Version]\n"
        "Signature = \"$Windows NT$\"\n"
        "Class = USB\n"
        "ClassGuid = {36FC9E60-C465-11CF-8056-444553540000}\n"
        "Provider = %Msft%\n"
        "DriverVer = 06/21/2006,10.0.19041.1\n"
        "[Manufacturer]\n"
        "%Generic% = Generic, NTamd64\n"
        "[Generic.NTamd64]\n"
        "%UsbComposite% = Composite.Dev, USB\\COMPOSITE\n"
        "[Composite.Dev.NT]\n"
        "[Composite.Dev.NT.Services]\n"
        "AddService = usbccgp, 0x00000002, CommonClassParent_Service_Inst\n"
        "[CommonClassParent_Service_Inst]\n"
        "ServiceType = 1\n"
        "StartType = 3\n"
        "ErrorControl = 1\n"
        "ServiceBinary = %12%\\usbccgp.sys\n"
        "[Strings]\n"
        "Msft = \"Microsoft\"\n"
        "Generic = \"(Generic USB)\"\n"
        "UsbComposite = \"USB Composite Device\"\n";
    std::string error;
    return *inf_file::parse(text, "usb.inf", &error);
}

}  // namespace sim

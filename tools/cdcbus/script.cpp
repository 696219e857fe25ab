#include "script.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "devices/sysfs_loader.h"

namespace cdcbus {
namespace {

struct token {
    std::string text;
    bool quoted = false;
    std::vector<uint8_t> bytes;  // a quoted token's value
};

// Thrown for a malformed line; the parser adds the line number.
struct malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::vector<token> tokenize(const std::string& line) {
    std::vector<token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (isspace(static_cast<unsigned char>(c))) {
            i++;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            token t;
            t.quoted = true;
            i++;
            bool closed = false;
            while (i < line.size()) {
                char q = line[i++];
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q != '\\') {
                    t.bytes.push_back(static_cast<uint8_t>(q));
                    continue;
                }
                if (i >= line.size()) throw malformed("unfinished escape");
                char e = line[i++];
                switch (e) {
                    case 'r':
                        t.bytes.push_back('\r');
                        break;
                    case 'n':
                        t.bytes.push_back('\n');
                        break;
                    case 't':
                        t.bytes.push_back('\t');
                        break;
                    case '\\':
                    case '"':
                        t.bytes.push_back(static_cast<uint8_t>(e));
                        break;
                    case 'x': {
                        int hi = i < line.size() ? hex_digit(line[i]) : -1;
                        int lo = i + 1 < line.size() ? hex_digit(line[i + 1]) : -1;
                        if (hi < 0 || lo < 0) throw malformed("\\x needs two hex digits");
                        t.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
                        i += 2;
                        break;
                    }
                    default:
                        throw malformed(std::string("unknown escape \\") + e);
                }
            }
            if (!closed) throw malformed("unterminated string");
            if (i < line.size() && !isspace(static_cast<unsigned char>(line[i])) && line[i] != '#') {
                throw malformed("text after a closing quote");
            }
            tokens.push_back(std::move(t));
        } else {
            token t;
            while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])) && line[i] != '#') {
                if (line[i] == '"') throw malformed("quote inside a word");
                t.text.push_back(line[i++]);
            }
            tokens.push_back(std::move(t));
        }
    }
    return tokens;
}

bool parse_number(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty()) return false;
    int base = 10;
    std::string digits = text;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text.substr(2);
    }
    for (char c : digits) {
        if (base == 10 ? !isdigit(static_cast<unsigned char>(c)) : hex_digit(c) < 0) return false;
    }
    errno = 0;
    unsigned long long v = strtoull(digits.c_str(), nullptr, base);
    if (errno != 0 || v > max) return false;
    *out = v;
    return true;
}

class line_parser {
 public:
    explicit line_parser(std::vector<token> tokens) : tokens_(std::move(tokens)) {}

    size_t left() const { return tokens_.size() - next_; }
    bool more() const { return next_ < tokens_.size(); }
    const token& peek() const { return tokens_[next_]; }

    std::string word(const char* what) {
        if (!more()) throw malformed(std::string("missing ") + what);
        const token& t = tokens_[next_++];
        if (t.quoted) throw malformed(std::string("expected ") + what + ", found a quoted string");
        return t.text;
    }
    std::string choice(const char* what, std::initializer_list<const char*> options) {
        std::string w = word(what);
        for (const char* o : options) {
            if (w == o) return w;
        }
        std::string list;
        for (const char* o : options) list += (list.empty() ? "" : "|") + std::string(o);
        throw malformed(std::string(what) + " must be " + list + ", not '" + w + "'");
    }
    uint64_t number(const char* what, uint64_t max) {
        std::string w = word(what);
        uint64_t v;
        if (!parse_number(w, max, &v)) throw malformed(std::string("bad ") + what + " '" + w + "'");
        return v;
    }
    std::vector<uint8_t> text(const char* what) {
        if (!more()) throw malformed(std::string("missing ") + what);
        const token& t = tokens_[next_++];
        if (!t.quoted) throw malformed(std::string(what) + " must be a double-quoted string");
        return t.bytes;
    }
    void end() {
        if (more()) throw malformed("unexpected '" + (peek().quoted ? std::string("\"...\"") : peek().text) + "'");
    }

 private:
    std::vector<token> tokens_;
    size_t next_ = 0;
};

std::vector<uint8_t> counting(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

std::vector<uint8_t> parse_hex(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0) throw malformed("HEX needs an even number of hex digits");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) throw malformed("bad HEX '" + text + "'");
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

void load_descriptors(action& a, const std::string& base_dir) {
    std::string path = a.file;
    if (path[0] != '/' && access(path.c_str(), R_OK) != 0 && !base_dir.empty()) {
        std::string beside = base_dir + "/" + path;
        if (access(beside.c_str(), R_OK) == 0) path = beside;
    }
    auto loaded = sim::usb::load_sysfs_file(path);
    if (!loaded.ok()) throw malformed(a.file + ": " + loaded.error);
    a.descriptors = std::move(loaded.descriptors);
}

action parse_line(line_parser& p, const std::string& base_dir) {
    action a;
    std::string verb = p.word("action");
    using k = action::kind;
    if (verb == "plug") {
        a.type = k::plug;
        std::string what = p.word("modem or FILE");
        if (what == "modem") {
            a.modem = true;
        } else {
            a.file = what;
        }
        if (p.more()) {
            p.choice("'at'", {"at"});
            a.location = p.word("LOCATION");
        }
        p.end();
        if (!a.modem) load_descriptors(a, base_dir);
        return a;
    }
    if (verb == "unplug" || verb == "surprise-remove" || verb == "sleep" || verb == "resume") {
        a.type = verb == "unplug"            ? k::unplug
                 : verb == "surprise-remove" ? k::surprise_remove
                 : verb == "sleep"           ? k::sleep
                                             : k::resume;
        p.end();
        return a;
    }
    if (verb == "replug") {
        a.type = k::replug;
        if (p.more()) {
            p.choice("'at'", {"at"});
            a.location = p.word("LOCATION");
        }
        p.end();
        return a;
    }
    static const std::pair<const char*, k> with_child[] = {
        {"open", k::open},
        {"close", k::close},
        {"write", k::write},
        {"device-send", k::device_send},
        {"expect", k::expect},
        {"line-coding", k::line_coding},
        {"control-lines", k::control_lines},
        {"class", k::class_request},
        {"notify", k::notify},
        {"fault", k::fault},
        {"purge", k::purge},
        {"restart", k::restart},
        {"reset", k::reset},
        {"idle", k::idle},
    };
    bool known = false;
    for (const auto& entry : with_child) {
        if (verb == entry.first) {
            a.type = entry.second;
            known = true;
        }
    }
    if (!known) throw malformed("unknown action '" + verb + "'");
    a.child = p.word("CHILD");
    switch (a.type) {
        case k::write:
            if (p.more() && !p.peek().quoted) {
                std::string w = p.word("TEXT or *N");
                uint64_t n;
                if (w.size() < 2 || w[0] != '*' || !parse_number(w.substr(1), 1u << 24, &n)) {
                    throw malformed("write takes TEXT or *N, not '" + w + "'");
                }
                a.bytes = counting(n);
            } else {
                a.bytes = p.text("TEXT");
            }
            break;
        case k::device_send:
        case k::expect:
            a.bytes = p.text("TEXT");
            break;
        case k::line_coding: {
            a.baud = static_cast<uint32_t>(p.number("BAUD", 0xFFFFFFFF));
            a.data_bits = static_cast<uint8_t>(p.number("DATABITS", 255));
            std::string parity = p.choice("PARITY", {"N", "O", "E", "M", "S"});
            a.parity = parity[0];
            std::string stop = p.choice("STOPBITS", {"1", "1.5", "2"});
            a.stop_bits = stop == "1.5" ? 1.5 : stop == "2" ? 2 : 1;
            break;
        }
        case k::control_lines:
            a.dtr = p.choice("DTR", {"dtr", "nodtr"}) == "dtr";
            a.rts = p.choice("RTS", {"rts", "norts"}) == "rts";
            break;
        case k::class_request:
            a.in = p.choice("direction", {"in", "out"}) == "in";
            a.request = static_cast<uint8_t>(p.number("REQUEST", 0xFF));
            a.value = static_cast<uint16_t>(p.number("VALUE", 0xFFFF));
            if (p.more()) {
                a.have_data = true;
                if (p.peek().quoted) {
                    if (a.in) throw malformed("an IN class request takes a LENGTH, not TEXT");
                    a.bytes = p.text("TEXT");
                    if (a.bytes.size() > 0xFFFF) throw malformed("TEXT longer than a control transfer");
                } else {
                    a.length = static_cast<uint16_t>(p.number("LENGTH", 0xFFFF));
                    if (!a.in) a.bytes = counting(a.length);
                }
                a.length = a.in ? a.length : static_cast<uint16_t>(a.bytes.size());
            }
            break;
        case k::notify:
            a.bytes = parse_hex(p.word("HEX"));
            break;
        case k::fault:
            a.pipe = p.choice("pipe", {"in", "out", "notify"});
            a.fault_kind = p.choice("fault", {"stall", "error", "hang", "short", "gone"});
            if (a.fault_kind == "short") a.short_bytes = static_cast<size_t>(p.number("N", 1u << 24));
            break;
        case k::purge:
        case k::restart:
            a.in = p.choice("direction", {"in", "out"}) == "in";
            break;
        default:
            break;
    }
    p.end();
    return a;
}

}  // namespace

parse_result parse_script(const std::string& text, const std::string& base_dir) {
    parse_result result;
    std::istringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        try {
            std::vector<token> tokens = tokenize(line);
            if (tokens.empty()) continue;
            line_parser p(std::move(tokens));
            action a = parse_line(p, base_dir);
            a.line = number;
            a.source = line;
            result.actions.push_back(std::move(a));
        } catch (const malformed& e) {
            result.actions.clear();
            result.error = "line " + std::to_string(number) + ": " + e.what();
            return result;
        }
    }
    return result;
}

std::string escape_text(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        switch (b) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (b >= 0x20 && b < 0x7F) {
                    out.push_back(static_cast<char>(b));
                } else {
                    char buf[8];
                    snprintf(buf, sizeof(buf), "\\x%02X", b);
                    out += buf;
                }
        }
    }
    return out;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        snprintf(buf, sizeof(buf), "%02X", b);
        out += buf;
    }
    return out;
}

}  // namespace cdcbus

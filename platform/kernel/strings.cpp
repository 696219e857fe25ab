// UTF-8 <-> UTF-16 conversions used by the formatter, the tools and the tests.
#include "sim/strings.h"

namespace sim {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_utf8(std::string& out, const char16_t* s, size_t len) {
    out.reserve(out.size() + len);
    for (size_t i = 0; i < len; ++i) {
        // A run of ASCII (most IDs and paths are nothing else) goes in at once.
        size_t run = 0;
        while (i + run < len && s[i + run] < 0x80) ++run;
        if (run != 0) {
            const size_t at = out.size();
            out.append(run, '\0');
            for (size_t k = 0; k < run; ++k) out[at + k] = static_cast<char>(s[i + k]);
            i += run - 1;
            continue;
        }
        char32_t u = s[i];
        if (is_high_surrogate(u) && i + 1 < len && is_low_surrogate(s[i + 1])) {
            u = 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        append_utf8(out, u);
    }
}

void append_utf16(std::u16string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void append_utf16(std::u16string& out, const char* s, size_t len) {
    const auto* b = reinterpret_cast<const unsigned char*>(s);
    out.reserve(out.size() + len);
    size_t i = 0;
    while (i < len) {
        const unsigned char lead = b[i];
        if (lead < 0x80) {
            size_t run = 1;
            while (i + run < len && b[i + run] < 0x80) ++run;
            const size_t at = out.size();
            out.append(run, u'\0');
            for (size_t k = 0; k < run; ++k) out[at + k] = b[i + k];
            i += run;
            continue;
        }
        size_t need;
        char32_t cp;
        char32_t min;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, cp = lead & 0x1F, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, cp = lead & 0x0F, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= need && i + k < len && (b[i + k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (b[i + k] & 0x3F);
        if (k <= need || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        append_utf16(out, cp);
        i += need + 1;
    }
}

std::string to_utf8(const char16_t* s, size_t len) {
    std::string out;
    if (s != nullptr) append_utf8(out, s, len);
    return out;
}

std::string to_utf8(const WCHAR* s, size_t len) { return to_utf8(reinterpret_cast<const char16_t*>(s), len); }

std::string to_utf8(const WCHAR* s) {
    if (s == nullptr) return {};
    size_t len = 0;
    while (s[len] != 0) ++len;
    return to_utf8(s, len);
}

std::string to_utf8(const std::u16string& s) { return to_utf8(s.data(), s.size()); }

std::string to_utf8(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) return {};
    return to_utf8(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string to_utf16(const char* s, size_t len) {
    std::u16string out;
    if (s != nullptr) append_utf16(out, s, len);
    return out;
}

std::u16string to_utf16(const std::string& s) { return to_utf16(s.data(), s.size()); }

}  // namespace sim

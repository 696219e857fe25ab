// DbgPrint and the debugger sink that collects its output as lines.
#include <cstring>
#include <mutex>
#include <string>

#include "sim/kernel.h"

namespace {

// Windows formats each DbgPrint into a fixed buffer and sends at most this much.
constexpr size_t kMaxPrintBytes = 512;

struct debugger_sink {
    std::mutex lock;
    std::vector<std::string> lines;  // guarded by lock
    std::string pending;             // guarded by lock
    FILE* mirror = nullptr;          // guarded by lock
};

// Never destroyed: a driver image may still print while the process exits.
debugger_sink& sink() {
    static auto* s = new debugger_sink;
    return *s;
}

// Cuts at most `limit` bytes without splitting a UTF-8 sequence.
size_t utf8_cut(const std::string& s, size_t limit) {
    if (s.size() <= limit) return s.size();
    size_t c = limit;
    for (int back = 0; c > 0 && back < 3 && (s[c] & 0xC0) == 0x80; ++back) --c;
    return static_cast<unsigned char>(s[c]) >= 0xC0 ? c : limit;
}

void sink_write(const std::string& text) {
    debugger_sink& d = sink();
    std::lock_guard<std::mutex> guard(d.lock);
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        d.pending.append(text, start, nl - start);
        // "\r\n" endings are common in Windows traces; the line is the same.
        if (!d.pending.empty() && d.pending.back() == '\r') d.pending.pop_back();
        if (d.mirror != nullptr) {
            fprintf(d.mirror, "%s\n", d.pending.c_str());
            fflush(d.mirror);
        }
        d.lines.push_back(std::move(d.pending));
        d.pending.clear();
        start = nl + 1;
    }
    d.pending.append(text, start, std::string::npos);
}

// The first Unicode conversion (%C %S %lc %ls %wc %ws %wZ) of a format, or
// an empty string: those touch paged data and are allowed only at PASSIVE_LEVEL.
std::string unicode_conversion(const char* format) {
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        const char* start = p++;
        if (*p == '%') continue;
        while (*p != '\0' && std::strchr("-+ #0123456789*.", *p) != nullptr) ++p;
        const bool wide_prefix =
            (*p == 'w' && (p[1] == 'c' || p[1] == 's' || p[1] == 'Z')) || (*p == 'l' && (p[1] == 'c' || p[1] == 's'));
        if (wide_prefix) return std::string(start, p + 2);
        if (*p == 'C' || *p == 'S') return std::string(start, p + 1);
        if (*p == '\0') break;
    }
    return std::string();
}

ULONG print(PCSTR format, va_list args) {
    if (format == nullptr)
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "DbgPrint format is NULL", nullptr, "DbgPrint");
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        const std::string conversion = unicode_conversion(format);
        if (!conversion.empty()) {
            sim::verifier_finding("DbgPrint with " + conversion + " at IRQL " + std::to_string(irql) +
                                  " (Unicode conversions only at PASSIVE_LEVEL): \"" + format + "\"");
        }
    }
    std::string text = sim::format_windows(format, args);
    text.resize(utf8_cut(text, kMaxPrintBytes));
    sink_write(text);
    return STATUS_SUCCESS;
}

}  // namespace

EXTERN_C ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const ULONG status = print(Format, args);
    va_end(args);
    return status;
}

// Every component and level is shown, as with a debugger whose filter mask is
// fully open: the simulator's user wants the whole trace.
EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    const ULONG status = print(Format, args);
    va_end(args);
    return status;
}

namespace sim {

std::vector<std::string> debugger_lines() {
    debugger_sink& d = sink();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.lines;
}

std::string debugger_text() {
    debugger_sink& d = sink();
    std::lock_guard<std::mutex> guard(d.lock);
    std::string text;
    for (const std::string& line : d.lines) {
        text += line;
        text += '\n';
    }
    return text;
}

void debugger_clear() {
    debugger_sink& d = sink();
    std::lock_guard<std::mutex> guard(d.lock);
    d.lines.clear();
    d.pending.clear();
}

void debugger_mirror(FILE* stream) {
    debugger_sink& d = sink();
    std::lock_guard<std::mutex> guard(d.lock);
    d.mirror = stream;
}

}  // namespace sim

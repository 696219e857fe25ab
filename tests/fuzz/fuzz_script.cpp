// A cdcbus scenario script through the parser, and its texts back through
// the escaper the summary uses.
#include <string>

#include "script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // No base directory: a FILE is looked for as given only.
    auto parsed = cdcbus::parse_script(text);
    if (!parsed.ok()) return 0;
    for (const auto& a : parsed.actions) {
        cdcbus::escape_text(a.bytes);
        cdcbus::hex_bytes(a.bytes);
    }
    return 0;
}

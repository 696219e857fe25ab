// A .reg file's text into the simulated registry, then read back.
#include <string>

#include "sim/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::registry reg;
    std::string error;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (reg.load_reg(text, "fuzz.reg", &error)) {
        reg.value("HKLM\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters", "DebugLevel");
    } else if (error.empty()) {
        __builtin_trap();  // a refused file always says why
    }
    return 0;
}

#include "sim/kernel.h"
#include "sim/strings.h"
#include "wdf/wdf_internal.h"

namespace wdf {

std::u16string from_unicode(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::string to_utf8(const std::u16string& s) {
    return sim::to_utf8(reinterpret_cast<const WCHAR*>(s.data()), s.size());
}

std::u16string to_utf16(const std::string& s) { return sim::to_utf16(s); }

void require_irql_max(KIRQL level, const char* caller) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > level) {
        std::string rule = "called at IRQL " + std::to_string(irql) + ", above the allowed " + std::to_string(level);
        sim::bug_check(irql > DISPATCH_LEVEL ? IRQL_NOT_LESS_OR_EQUAL : DRIVER_IRQL_NOT_LESS_OR_EQUAL, rule.c_str(),
                       nullptr, caller);
    }
}

device_init* validate_init(PWDFDEVICE_INIT init, const char* caller) {
    auto* di = reinterpret_cast<device_init*>(init);
    if (di == nullptr || di->magic != device_init::live) {
        sim::bug_check(WDF_VIOLATION, "invalid WDFDEVICE_INIT", init, caller);
    }
    if (di->consumed) {
        sim::bug_check(WDF_VIOLATION, "WDFDEVICE_INIT used after WdfDeviceCreate consumed it", init, caller);
    }
    require_irql_max(PASSIVE_LEVEL, caller);
    return di;
}

}  // namespace wdf

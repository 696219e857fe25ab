#include <cstring>

#include "sim/kernel.h"
#include "sim/registry.h"
#include "wdf/wdf_internal.h"

namespace wdf {

sim::registry& current_registry() {
    static sim::registry* r = new sim::registry();
    return *r;
}

std::string device::hardware_key() const {
    return std::string(sim::enum_key()) + "\\" + to_utf8(own_pdo.instance_path()) + "\\Device Parameters";
}

namespace {

NTSTATUS open_key(const std::string& path, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes, WDFKEY* key,
                  const char* site) {
    require_irql_max(PASSIVE_LEVEL, site);
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *key = nullptr;
    NTSTATUS injected;
    if (sim::fault_should_fail(site, &injected)) {
        return injected;
    }
    if (!current_registry().key_exists(path)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* k = new key_object();
    k->path = path;
    k->access = access;
    NTSTATUS status = attach(k, attributes, default_parent(), site);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *key = reinterpret_cast<WDFKEY>(k);
    return STATUS_SUCCESS;
}

key_object* validate_key(WDFKEY key, const char* caller) {
    require_irql_max(PASSIVE_LEVEL, caller);
    return validate_as<key_object>(key, object_type::key, caller);
}

std::string value_name(PCUNICODE_STRING name) { return name != nullptr ? to_utf8(from_unicode(name)) : ""; }

}  // namespace
}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    auto* drv = validate_as<driver_object>(Driver, object_type::driver, "WdfDriverOpenParametersRegistryKey");
    return open_key(to_utf8(drv->registry_path) + "\\Parameters", DesiredAccess, KeyAttributes, Key,
                    "WdfDriverOpenParametersRegistryKey");
}

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceOpenRegistryKey");
    std::string path;
    switch (DeviceInstanceKeyType & ~(ULONG)PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
        case PLUGPLAY_REGKEY_DEVICE:
            path = dev->hardware_key();
            break;
        case PLUGPLAY_REGKEY_DRIVER:
            path = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                   to_utf8(dev->own_pdo.instance_path());
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    return open_key(path, DesiredAccess, KeyAttributes, Key, "WdfDeviceOpenRegistryKey");
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    if (KeyName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string path = value_name(KeyName);
    if (ParentKey != nullptr) {
        path = validate_key(ParentKey, "WdfRegistryOpenKey")->path + "\\" + path;
    }
    return open_key(path, DesiredAccess, KeyAttributes, Key, "WdfRegistryOpenKey");
}

VOID WdfRegistryClose(WDFKEY Key) { delete_object(validate_key(Key, "WdfRegistryClose")); }

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryValue");
    if (ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryValue", &injected)) return injected;
    auto v = current_registry().value(k->path, value_name(ValueName));
    if (!v) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (ValueLengthQueried != nullptr) *ValueLengthQueried = static_cast<ULONG>(v->data.size());
    if (ValueType != nullptr) *ValueType = v->type;
    if (Value == nullptr || ValueLength < v->data.size()) {
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(Value, v->data.data(), v->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryULong");
    if (ValueName == nullptr || Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryULong", &injected)) return injected;
    auto v = current_registry().value(k->path, value_name(ValueName));
    if (!v) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (v->type != REG_DWORD || v->data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    memcpy(Value, v->data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryUnicodeString");
    if (ValueName == nullptr || (Value == nullptr && ValueByteLength == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryUnicodeString", &injected)) return injected;
    auto v = current_registry().value(k->path, value_name(ValueName));
    if (!v) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // The stored size counts the terminator, as the registry stores it.
    std::vector<uint8_t> data = v->data;
    if (data.size() % 2 != 0) data.push_back(0);
    if (data.size() < 2 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) {
        data.push_back(0);
        data.push_back(0);
    }
    if (data.size() > 0xFFFF) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (ValueByteLength != nullptr) {
        *ValueByteLength = static_cast<USHORT>(data.size());
    }
    if (Value == nullptr) {
        return STATUS_BUFFER_OVERFLOW;
    }
    size_t text_bytes = data.size() - sizeof(WCHAR);
    if (Value->Buffer == nullptr || Value->MaximumLength < text_bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(Value->Buffer, data.data(), text_bytes);
    Value->Length = static_cast<USHORT>(text_bytes);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryString");
    auto* str = validate_as<string_object>(String, object_type::string, "WdfRegistryQueryString");
    auto v = current_registry().value(k->path, value_name(ValueName));
    if (!v) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
        if (c == 0) break;
        text.push_back(c);
    }
    str->text = text;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryAssignULong");
    if ((k->access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    current_registry().set_dword(k->path, value_name(ValueName), Value);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryAssignUnicodeString");
    if ((k->access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    current_registry().set_string(k->path, value_name(ValueName), to_utf8(from_unicode(Value)));
    return STATUS_SUCCESS;
}

}  // extern "C"

#include <cstring>

#include "sim/kernel.h"
#include "sim/registry.h"
#include "sim/strings.h"
#include "wdf/wdf_internal.h"

namespace wdf {

sim::registry& current_registry() {
    static sim::registry* r = new sim::registry();
    return *r;
}

size_t report_open_keys(std::string* report) {
    size_t open = 0;
    for (object* obj : live_objects()) {
        if (obj->type() != object_type::key || obj->deleting()) continue;
        open++;
        report->append("registry key left open: " + static_cast<key_object*>(obj)->key->path + " (opened by " +
                       obj->created_by_ + ")\n");
    }
    return open;
}

const std::shared_ptr<const key_location>& device::hardware_key() const {
    std::call_once(hardware_key_once_, [this] {
        static constexpr std::string_view tail = "\\Device Parameters";
        const std::string_view head = sim::enum_key();
        std::string path;
        path.reserve(head.size() + 3 + own_pdo.enumerator.size() + own_pdo.device_id.size() +
                     own_pdo.instance_id.size() + tail.size());
        path.append(head);
        for (const std::u16string* part : {&own_pdo.enumerator, &own_pdo.device_id, &own_pdo.instance_id}) {
            path.push_back('\\');
            sim::append_utf8(path, part->data(), part->size());
        }
        path.append(tail);
        hardware_key_ = std::make_shared<const key_location>(std::move(path));
    });
    return hardware_key_;
}

const std::shared_ptr<const key_location>& driver_object::parameters_key() const {
    std::call_once(parameters_key_once_, [this] {
        parameters_key_ = std::make_shared<const key_location>(to_utf8(registry_path) + "\\Parameters");
    });
    return parameters_key_;
}

namespace {

// The framework's FxPointerNotNull: a NULL required pointer is a bug check.
void require_pointer(const void* pointer, const char* name, const void* handle, const char* caller) {
    if (pointer == nullptr) {
        std::string rule = std::string("NULL required pointer ") + name;
        sim::bug_check(WDF_VIOLATION, rule.c_str(), handle, caller);
    }
}

NTSTATUS open_key(std::shared_ptr<const key_location> location, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                  WDFKEY* key, const char* site) {
    require_irql_max(PASSIVE_LEVEL, site);
    require_pointer(key, "Key", nullptr, site);
    *key = nullptr;
    NTSTATUS injected;
    if (sim::fault_should_fail(site, &injected)) {
        return injected;
    }
    const uint64_t id = current_registry().key_id(location->name);
    if (id == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* k = new key_object();
    k->key = std::move(location);
    k->id = id;
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

// A key deleted while a handle is open fails every later call through the
// handle, even once a key of its name exists again.
bool deleted(const key_object* k) { return current_registry().key_id(k->key->name) != k->id; }

// A value name as the registry spells it, in UTF-8; on the heap only when it
// is long or not ASCII.
class value_name {
 public:
    explicit value_name(PCUNICODE_STRING name) {
        if (name == nullptr || name->Buffer == nullptr) return;
        const size_t n = name->Length / sizeof(WCHAR);
        bool ascii = n <= sizeof(short_);
        for (size_t i = 0; ascii && i < n; i++) ascii = name->Buffer[i] < 0x80;
        if (!ascii) {
            long_ = to_utf8(from_unicode(name));
            text_ = long_;
            return;
        }
        for (size_t i = 0; i < n; i++) short_[i] = static_cast<char>(name->Buffer[i]);
        text_ = std::string_view(short_, n);
    }
    value_name(const value_name&) = delete;
    value_name& operator=(const value_name&) = delete;

    std::string_view text() const { return text_; }
    std::string str() const { return std::string(text_); }

 private:
    char short_[128];
    std::string long_;
    std::string_view text_;
};

}  // namespace
}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    auto* drv = validate_as<driver_object>(Driver, object_type::driver, "WdfDriverOpenParametersRegistryKey");
    return open_key(drv->parameters_key(), DesiredAccess, KeyAttributes, Key, "WdfDriverOpenParametersRegistryKey");
}

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceOpenRegistryKey");
    std::shared_ptr<const key_location> location;
    switch (DeviceInstanceKeyType & ~(ULONG)PLUGPLAY_REGKEY_CURRENT_HWPROFILE) {
        case PLUGPLAY_REGKEY_DEVICE:
            location = dev->hardware_key();
            break;
        case PLUGPLAY_REGKEY_DRIVER:
            location =
                std::make_shared<const key_location>("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                                                     to_utf8(dev->own_pdo.instance_path()));
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    return open_key(std::move(location), DesiredAccess, KeyAttributes, Key, "WdfDeviceOpenRegistryKey");
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    sim::count_framework_call();
    require_pointer(KeyName, "KeyName", ParentKey, "WdfRegistryOpenKey");
    require_pointer(Key, "Key", ParentKey, "WdfRegistryOpenKey");
    std::string path = value_name(KeyName).str();
    if (ParentKey != nullptr) {
        const key_object* parent = validate_key(ParentKey, "WdfRegistryOpenKey");
        if (deleted(parent)) {
            return STATUS_KEY_DELETED;
        }
        path = parent->key->path + "\\" + path;
    }
    return open_key(std::make_shared<const key_location>(std::move(path)), DesiredAccess, KeyAttributes, Key,
                    "WdfRegistryOpenKey");
}

VOID WdfRegistryClose(WDFKEY Key) { delete_object(validate_key(Key, "WdfRegistryClose")); }

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryValue");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryQueryValue");
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryValue", &injected)) return injected;
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    const sim::registry_value* v = current_registry().find_value(k->key->name, value_name(ValueName).text());
    if (v == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (ValueLengthQueried != nullptr) *ValueLengthQueried = static_cast<ULONG>(v->data.size());
    if (ValueType != nullptr) *ValueType = v->type;
    // Without a buffer the query has room for no data at all.
    if (v->data.size() > (Value != nullptr ? ValueLength : 0)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (!v->data.empty()) memcpy(Value, v->data.data(), v->data.size());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryULong");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryQueryULong");
    require_pointer(Value, "Value", Key, "WdfRegistryQueryULong");
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryULong", &injected)) return injected;
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    const sim::registry_value* v = current_registry().find_value(k->key->name, value_name(ValueName).text());
    if (v == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // The query has room for a ULONG: the type decides first, then the size.
    if (v->type != REG_DWORD) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (v->data.size() > sizeof(ULONG)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    ULONG value = 0;
    memcpy(&value, v->data.data(), v->data.size());
    *Value = value;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryUnicodeString");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryQueryUnicodeString");
    if (Value != nullptr && Value->MaximumLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfRegistryQueryUnicodeString", &injected)) return injected;
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    const sim::registry_value* v = current_registry().find_value(k->key->name, value_name(ValueName).text());
    if (v == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // The value as stored (its terminator included) must fit the caller's
    // buffer; the type is looked at only once it did.
    const size_t stored = v->data.size();
    const size_t room = Value != nullptr ? Value->MaximumLength : 0;
    if (stored > room) {
        if (ValueByteLength != nullptr) *ValueByteLength = static_cast<USHORT>(stored);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (ValueByteLength != nullptr) *ValueByteLength = static_cast<USHORT>(stored);
    if (Value == nullptr) {
        return STATUS_SUCCESS;
    }
    if (Value->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (stored != 0) memcpy(Value->Buffer, v->data.data(), stored);
    Value->Length = static_cast<USHORT>(stored);
    if (Value->Length >= sizeof(WCHAR) && Value->Buffer[Value->Length / sizeof(WCHAR) - 1] == 0) {
        Value->Length -= sizeof(WCHAR);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryQueryString");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryQueryString");
    require_pointer(String, "String", Key, "WdfRegistryQueryString");
    auto* str = validate_as<string_object>(String, object_type::string, "WdfRegistryQueryString");
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    const sim::registry_value* v = current_registry().find_value(k->key->name, value_name(ValueName).text());
    if (v == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (v->type != REG_SZ && v->type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (v->data.empty()) {
        return STATUS_RESOURCE_DATA_NOT_FOUND;
    }
    if (v->data.size() > 0xFFFF) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    // Everything stored but a final terminator.
    std::u16string text;
    for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
        text.push_back(static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8)));
    }
    if (!text.empty() && text.back() == 0) text.pop_back();
    str->text = text;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryAssignULong");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryAssignULong");
    if ((k->access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    current_registry().set_dword(k->key->name, value_name(ValueName).text(), Value);
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value) {
    sim::count_framework_call();
    auto* k = validate_key(Key, "WdfRegistryAssignUnicodeString");
    require_pointer(ValueName, "ValueName", Key, "WdfRegistryAssignUnicodeString");
    require_pointer(Value, "Value", Key, "WdfRegistryAssignUnicodeString");
    if ((k->access & KEY_SET_VALUE) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (deleted(k)) {
        return STATUS_KEY_DELETED;
    }
    current_registry().set_string(k->key->name, value_name(ValueName).text(), from_unicode(Value));
    return STATUS_SUCCESS;
}

}  // extern "C"

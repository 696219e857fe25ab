// The simulated registry: .reg files, paths, and the framework's query
// statuses for missing and mistyped values.
#include "sim/registry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim/host.h"
#include "sim/strings.h"
#include "wdf.h"

namespace {

const char* const params = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters";

TEST(reg_file, values_of_each_kind_and_deletions) {
    sim::registry reg;
    std::string error;
    ASSERT_TRUE(
        reg.load_reg("Windows Registry Editor Version 5.00\n"
                     "; a comment\n"
                     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\n"
                     "\"DebugLevel\"=dword:0000000A\n"
                     "\"DeviceName\"=\"Modem \\\"A\\\" \\\\ port\"\n"
                     "\"Blob\"=hex:01,02,\\\n"
                     "  03\n"
                     "\"Gone\"=dword:1\n"
                     "\"Gone\"=-\n",
                     "t.reg", &error))
        << error;
    auto level = reg.value(params, "debuglevel");  // names are case-insensitive
    ASSERT_TRUE(level);
    EXPECT_EQ(level->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(level->data, (std::vector<uint8_t>{10, 0, 0, 0}));
    auto name = reg.value("HKLM\\system\\currentcontrolset\\services\\CDCBUS\\Parameters", "DeviceName");
    ASSERT_TRUE(name);
    EXPECT_EQ(name->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(sim::to_utf8(reinterpret_cast<const char16_t*>(name->data.data()), name->data.size() / 2 - 1),
              "Modem \"A\" \\ port");
    auto blob = reg.value(params, "Blob");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(reg.value(params, "Gone"));
    EXPECT_TRUE(reg.key_exists("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services"));
}

TEST(reg_file, malformed_lines_are_named_with_their_line) {
    struct bad {
        const char* text;
        const char* error;
    };
    const bad cases[] = {
        {"REGEDIT5\n", "x.reg:1: not a registry file (expected \"Windows Registry Editor Version 5.00\")"},
        {"REGEDIT4\n\"A\"=dword:1\n", "x.reg:2: value outside a key section"},
        {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", "x.reg:2: unknown registry hive in key \"HKEY_NOWHERE\\X\""},
        {"REGEDIT4\n[HKLM\\X\n", "x.reg:2: key line without closing ']'"},
        {"REGEDIT4\n[HKLM\\X]\n\"A\"=dword:123456789\n",
         "x.reg:3: malformed dword value (expected up to 8 hex digits)"},
        {"REGEDIT4\n[HKLM\\X]\n\"A\"=\"open\n", "x.reg:3: malformed string value"},
        {"REGEDIT4\n[HKLM\\X]\n\"A\"=hex:1g\n", "x.reg:3: malformed hex byte list"},
        // A type wider than a DWORD once escaped as an exception.
        {"REGEDIT4\n[HKLM\\X]\n\"A\"=hex(1ffffffffffffffff):00\n", "x.reg:3: malformed hex value type"},
        {"REGEDIT4\n[HKLM\\X]\n\"A\"=hex(123456789):00\n", "x.reg:3: malformed hex value type"},
        {"REGEDIT4\n[HKLM\\X]\n\"A\" dword:1\n", "x.reg:3: expected '=' after the value name"},
        {"REGEDIT4\n[HKLM\\X]\nA=dword:1\n", "x.reg:3: expected a quoted value name, '@' or a [key]"},
        {"", "x.reg:1: empty registry file"},
    };
    for (const auto& c : cases) {
        sim::registry reg;
        std::string error;
        EXPECT_FALSE(reg.load_reg(c.text, "x.reg", &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

class framework_registry : public ::testing::Test {
 protected:
    sim::host host;
    WDFKEY key = nullptr;

    void SetUp() override {
        ASSERT_EQ(host.load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
        ASSERT_EQ(WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
    }
    void TearDown() override { WdfRegistryClose(key); }

    static UNICODE_STRING name(const WCHAR* text) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, text);
        return s;
    }
};

TEST_F(framework_registry, ulong_statuses) {
    host.registry().set_dword(params, "Level", 7);
    host.registry().set_string(params, "Text", "7");
    ULONG value = 99;
    UNICODE_STRING level = name(L"Level"), text = name(L"Text"), missing = name(L"Missing");
    EXPECT_EQ(WdfRegistryQueryULong(key, &level, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    value = 99;
    EXPECT_EQ(WdfRegistryQueryULong(key, &text, &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(WdfRegistryQueryULong(key, &missing, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 99u);  // untouched on failure
}

TEST_F(framework_registry, unicode_string_fits_or_overflows) {
    host.registry().set_string(params, "DeviceName", "abc");
    WCHAR buffer[4];
    UNICODE_STRING value = {0, sizeof(buffer), buffer};
    USHORT bytes = 0;
    UNICODE_STRING device_name = name(L"DeviceName");
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, &value), STATUS_SUCCESS);
    EXPECT_EQ(value.Length, 6u);
    EXPECT_EQ(bytes, 8u);  // the stored size counts the terminator

    host.registry().set_string(params, "DeviceName", "abcde");
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, 12u);

    host.registry().set_dword(params, "DeviceName", 1);
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, &value), STATUS_OBJECT_TYPE_MISMATCH);
}

// The statuses the framework's queries give, as ZwQueryValueKey shapes them:
// a query too small for the data overflows (and says how much is stored)
// before the type is looked at.
TEST_F(framework_registry, query_statuses_follow_the_stored_data) {
    host.registry().set_string(params, "DeviceName", "abcd");  // 10 bytes stored
    host.registry().set_value(params, "Empty", sim::registry_value{REG_BINARY, {}});
    host.registry().set_value(params, "Wide", sim::registry_value{REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}});
    host.registry().set_value(params, "Blob", sim::registry_value{REG_BINARY, {1, 0, 0, 0}});
    host.registry().set_value(params, "Blank", sim::registry_value{REG_SZ, {}});
    UNICODE_STRING device_name = name(L"DeviceName"), empty = name(L"Empty"), wide = name(L"Wide"),
                   blob = name(L"Blob"), blank = name(L"Blank");

    // The size query: no buffer, the stored length and type.
    ULONG length = 0, type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, &device_name, 0, nullptr, &length, &type), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(WdfRegistryQueryValue(key, &empty, 0, nullptr, &length, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);

    ULONG value = 99;
    EXPECT_EQ(WdfRegistryQueryULong(key, &wide, &value), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(WdfRegistryQueryULong(key, &blob, &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 99u);

    // The buffer must hold the terminator too.
    WCHAR buffer[4];
    UNICODE_STRING text = {0, sizeof(buffer), buffer};
    USHORT bytes = 0;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, &text), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, 10u);
    bytes = 0;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, nullptr), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, 10u);
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &blob, &bytes, &text), STATUS_OBJECT_TYPE_MISMATCH);
    UNICODE_STRING no_room = {0, 0, buffer};
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &device_name, &bytes, &no_room), STATUS_INVALID_PARAMETER);

    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryString(key, &blank, string), STATUS_RESOURCE_DATA_NOT_FOUND);
    EXPECT_EQ(WdfRegistryQueryString(key, &blob, string), STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(WdfRegistryQueryString(key, &device_name, string), STATUS_SUCCESS);
    UNICODE_STRING got;
    WdfStringGetUnicodeString(string, &got);
    EXPECT_EQ(got.Length, 8u);
    WdfObjectDelete(string);
}

// A handle names its key once; the registry's rules for names still hold on
// every call through it.
TEST_F(framework_registry, handles_follow_the_registrys_names) {
    host.registry().set_dword(params, "Level", 1);
    UNICODE_STRING level = name(L"LEVEL"), other = name(L"level");
    ULONG value = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, &level, &value), STATUS_SUCCESS);  // value names ignore case
    EXPECT_EQ(value, 1u);

    // A key the kernel's way, another case and a trailing separator.
    WDFKEY same = nullptr;
    UNICODE_STRING path = name(L"\\Registry\\Machine\\system\\CurrentControlSet\\Services\\CDCBUS\\parameters\\");
    ASSERT_EQ(WdfRegistryOpenKey(nullptr, &path, KEY_READ | KEY_SET_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &same),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignULong(same, &other, 2), STATUS_SUCCESS);  // the same value, not a second one
    EXPECT_EQ(WdfRegistryQueryULong(key, &level, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    auto stored = host.registry().value(params, "Level");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{2, 0, 0, 0}));

    // Only ASCII letters fold: U+00E9 and U+00C9 are two names.
    UNICODE_STRING small_e = name(L"caf\u00e9"), capital_e = name(L"CAF\u00c9");
    EXPECT_EQ(WdfRegistryAssignULong(same, &small_e, 3), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryULong(key, &capital_e, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfRegistryQueryULong(key, &small_e, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_TRUE(host.registry().value(params, "CAF\xc3\xa9"));

    // A name longer than any the driver uses.
    const std::string long_text(300, 'x');
    std::u16string long_wide(long_text.begin(), long_text.end());
    UNICODE_STRING long_name = {static_cast<USHORT>(long_wide.size() * 2), static_cast<USHORT>(long_wide.size() * 2),
                                reinterpret_cast<PWCH>(long_wide.data())};
    host.registry().set_dword(params, std::string(300, 'X'), 4);
    EXPECT_EQ(WdfRegistryQueryULong(same, &long_name, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 4u);

    // Strings are stored as given, terminated.
    WCHAR text[] = {u'a', 0xD800, u'b'};
    UNICODE_STRING odd = {sizeof(text), sizeof(text), text};
    UNICODE_STRING label = name(L"Label");
    EXPECT_EQ(WdfRegistryAssignUnicodeString(same, &label, &odd), STATUS_SUCCESS);
    auto label_value = host.registry().value(params, "label");
    ASSERT_TRUE(label_value);
    EXPECT_EQ(label_value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(label_value->data, (std::vector<uint8_t>{'a', 0, 0x00, 0xD8, 'b', 0, 0, 0}));
    WdfRegistryClose(same);

    // The handle reads the key as it is now.
    host.registry().set_dword(params, "Level", 5);
    EXPECT_EQ(WdfRegistryQueryULong(key, &level, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
}

// A deleted key fails every call through the handles open on it, the
// subkeys' too, and a key of its name created again is another key.
TEST_F(framework_registry, handles_on_a_deleted_key_stay_with_it) {
    const std::string sub = std::string(params) + "\\Sub";
    host.registry().set_dword(sub, "Level", 1);
    WDFKEY child = nullptr, writer = nullptr;
    UNICODE_STRING sub_name = name(L"Sub"), level = name(L"Level");
    ASSERT_EQ(WdfRegistryOpenKey(key, &sub_name, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &child), STATUS_SUCCESS);
    ASSERT_EQ(
        WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ | KEY_SET_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &writer),
        STATUS_SUCCESS);

    host.registry().delete_key(params);
    ULONG value = 99;
    EXPECT_EQ(WdfRegistryQueryULong(key, &level, &value), STATUS_KEY_DELETED);
    EXPECT_EQ(WdfRegistryQueryULong(child, &level, &value), STATUS_KEY_DELETED);
    EXPECT_EQ(value, 99u);
    ULONG length = 0;
    EXPECT_EQ(WdfRegistryQueryValue(child, &level, 0, nullptr, &length, nullptr), STATUS_KEY_DELETED);
    WCHAR buffer[4];
    UNICODE_STRING text = {0, sizeof(buffer), buffer};
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, &level, nullptr, &text), STATUS_KEY_DELETED);
    WDFKEY again = nullptr;
    EXPECT_EQ(WdfRegistryOpenKey(key, &sub_name, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &again), STATUS_KEY_DELETED);
    EXPECT_EQ(WdfRegistryAssignULong(writer, &level, 2), STATUS_KEY_DELETED);
    EXPECT_FALSE(host.registry().key_exists(params));  // the write did not bring the key back

    host.registry().set_dword(sub, "Level", 3);
    EXPECT_EQ(WdfRegistryQueryULong(child, &level, &value), STATUS_KEY_DELETED);
    EXPECT_EQ(WdfRegistryAssignULong(writer, &level, 2), STATUS_KEY_DELETED);
    UNICODE_STRING full = name(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters\\Sub");
    ASSERT_EQ(WdfRegistryOpenKey(nullptr, &full, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &again), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryULong(again, &level, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    WdfRegistryClose(again);
    WdfRegistryClose(writer);
    WdfRegistryClose(child);
}

using framework_registry_DeathTest = framework_registry;

TEST_F(framework_registry_DeathTest, a_null_value_name_is_a_bug_check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ULONG value = 0;
    EXPECT_DEATH((void)WdfRegistryQueryULong(key, nullptr, &value), "BUGCHECK.*NULL required pointer ValueName");
    UNICODE_STRING level = name(L"Level");
    EXPECT_DEATH((void)WdfRegistryQueryULong(key, &level, nullptr), "BUGCHECK.*NULL required pointer Value");
    WDFKEY sub = nullptr;
    EXPECT_DEATH((void)WdfRegistryOpenKey(key, nullptr, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &sub),
                 "BUGCHECK.*NULL required pointer KeyName");
}

}  // namespace

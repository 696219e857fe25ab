// The Windows build's framework calls, made on the host: each routine goes
// through its KMDF 1.9 slot of the table the loader fills in, with the
// driver's globals first and the caller's arguments after them in order.
#define WDF_CALLS_THROUGH_TABLE

#include <gtest/gtest.h>

#include <vector>

#include "ntddk.h"
#include "usb.h"
#include "wdf.h"
#include "wdfusb.h"

extern "C" {
WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
PWDF_DRIVER_GLOBALS WdfDriverGlobals;
}

namespace {

// What the slot routines saw. Each records its slot, the globals it got and
// the arguments that identify the call.
struct call {
    int slot;
    PWDF_DRIVER_GLOBALS globals;
    std::vector<ULONG_PTR> args;
};
std::vector<call> calls;

NTSTATUS slot_116(PWDF_DRIVER_GLOBALS g, PDRIVER_OBJECT driver_object, PCUNICODE_STRING path,
                  PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* driver) {
    calls.push_back({116, g, {(ULONG_PTR)driver_object, (ULONG_PTR)path, (ULONG_PTR)attributes, (ULONG_PTR)config}});
    *driver = g->Driver;
    return STATUS_SUCCESS;
}
NTSTATUS slot_88(PWDF_DRIVER_GLOBALS g, WDFDEVICE device, BOOLEAN wait_for_d0) {
    calls.push_back({88, g, {(ULONG_PTR)device, wait_for_d0}});
    return STATUS_PENDING;
}
VOID slot_89(PWDF_DRIVER_GLOBALS g, WDFDEVICE device) { calls.push_back({89, g, {(ULONG_PTR)device}}); }
VOID slot_205(PWDF_DRIVER_GLOBALS g, WDFOBJECT object, PVOID tag, LONG line, PCHAR file) {
    calls.push_back({205, g, {(ULONG_PTR)object, (ULONG_PTR)tag, (ULONG_PTR)line, (ULONG_PTR)file}});
}
ULONG slot_14(PWDF_DRIVER_GLOBALS g, WDFCOLLECTION collection) {
    calls.push_back({14, g, {(ULONG_PTR)collection}});
    return 7;
}
NTSTATUS slot_349(PWDF_DRIVER_GLOBALS g, WDFUSBPIPE pipe, WDFREQUEST request, WDFMEMORY memory,
                  PWDFMEMORY_OFFSET offset) {
    calls.push_back({349, g, {(ULONG_PTR)pipe, (ULONG_PTR)request, (ULONG_PTR)memory, (ULONG_PTR)offset}});
    return STATUS_INVALID_DEVICE_STATE;
}

template <typename T>
T handle(ULONG_PTR value) {
    return reinterpret_cast<T>(value);
}

class FunctionTable : public ::testing::Test {
 protected:
    void SetUp() override {
        calls.clear();
        globals.Driver = handle<WDFDRIVER>(0xD0);
        WdfDriverGlobals = &globals;
        WdfFunctions[116] = (WDFFUNC)slot_116;
        WdfFunctions[88] = (WDFFUNC)slot_88;
        WdfFunctions[89] = (WDFFUNC)slot_89;
        WdfFunctions[205] = (WDFFUNC)slot_205;
        WdfFunctions[14] = (WDFFUNC)slot_14;
        WdfFunctions[349] = (WDFFUNC)slot_349;
    }
    WDF_DRIVER_GLOBALS globals{};
};

TEST_F(FunctionTable, CallsGoThroughTheirSlotWithTheGlobalsFirst) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    UNICODE_STRING path = RTL_CONSTANT_STRING(L"\\Registry\\Machine\\System\\x");
    WDFDRIVER driver = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              WdfDriverCreate(handle<PDRIVER_OBJECT>(0x10), &path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver));
    EXPECT_EQ(globals.Driver, driver);
    EXPECT_EQ(STATUS_PENDING, WdfDeviceStopIdle(handle<WDFDEVICE>(0x20), FALSE));
    WdfDeviceResumeIdle(handle<WDFDEVICE>(0x20));
    const ULONG_PTR reference_line = __LINE__ + 1;
    WdfObjectReferenceWithTag(handle<WDFOBJECT>(0x30), handle<PVOID>(0x31));
    EXPECT_EQ(7u, WdfCollectionGetCount(handle<WDFCOLLECTION>(0x40)));
    WDFMEMORY_OFFSET offset{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
              WdfUsbTargetPipeFormatRequestForRead(handle<WDFUSBPIPE>(0x50), handle<WDFREQUEST>(0x51),
                                                   handle<WDFMEMORY>(0x52), &offset));

    ASSERT_EQ(6u, calls.size());
    for (const call& c : calls) EXPECT_EQ(&globals, c.globals) << "slot " << c.slot;
    EXPECT_EQ(116, calls[0].slot);
    EXPECT_EQ((std::vector<ULONG_PTR>{0x10, (ULONG_PTR)&path, 0, (ULONG_PTR)&config}), calls[0].args);
    EXPECT_EQ(88, calls[1].slot);
    EXPECT_EQ((std::vector<ULONG_PTR>{0x20, FALSE}), calls[1].args);
    EXPECT_EQ(89, calls[2].slot);
    EXPECT_EQ(205, calls[3].slot);
    EXPECT_EQ(0x30u, calls[3].args[0]);
    EXPECT_EQ(0x31u, calls[3].args[1]);
    EXPECT_EQ(reference_line, calls[3].args[2]);
    EXPECT_STREQ(__FILE__, (const char*)calls[3].args[3]);
    EXPECT_EQ(14, calls[4].slot);
    EXPECT_EQ(349, calls[5].slot);
    EXPECT_EQ((std::vector<ULONG_PTR>{0x50, 0x51, 0x52, (ULONG_PTR)&offset}), calls[5].args);
}

// The driver object comes from the globals, not from a slot.
TEST_F(FunctionTable, GetDriverReadsTheGlobals) { EXPECT_EQ(handle<WDFDRIVER>(0xD0), WdfGetDriver()); }

// The loader checks the function count against the versions it knows.
TEST(FunctionTableLayout, HasKmdf19Count) { EXPECT_EQ(396, WdfFunctionTableNumEntries); }

}  // namespace

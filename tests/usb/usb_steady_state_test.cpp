// The transfer path allocates nothing once warm: a request reused, formatted,
// sent and completed on a completion thread, with the device's recording off.
#include <atomic>
#include <cstdlib>
#include <new>

#include "usb_test_support.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};

void* counted_allocation(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(size_t size) { return counted_allocation(size); }
void* operator new[](size_t size) { return counted_allocation(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace usb_test {
namespace {

// A device that takes what the host writes without keeping it.
class sink_device : public sim::usb::device {
 public:
    using device::device;

 protected:
    int32_t on_out(uint8_t, const uint8_t*, size_t) override { return USBD_STATUS_SUCCESS; }
};

class steady_state : public usb_host_test {};

TEST_F(steady_state, async_writes_and_reads_allocate_nothing_once_warm) {
    auto dev = std::make_shared<sink_device>(simple_device());
    dev->set_recording(false);
    device_ = dev;
    WDFDEVICE d = bind(dev);
    WDFUSBDEVICE usb = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_SUCCESS);
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBPIPE out = pipe(usb, 0x02);
    WDFUSBPIPE in = pipe(usb, 0x81);

    WDFREQUEST write = nullptr;
    WDFREQUEST read = nullptr;
    ASSERT_EQ(WdfRequestCreate(nullptr, WdfUsbTargetPipeGetIoTarget(out), &write), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestCreate(nullptr, WdfUsbTargetPipeGetIoTarget(in), &read), STATUS_SUCCESS);
    uint8_t out_bytes[64] = {1, 2, 3};
    uint8_t in_bytes[64];
    WDFMEMORY out_memory = nullptr;
    WDFMEMORY in_memory = nullptr;
    ASSERT_EQ(WdfMemoryCreatePreallocated(nullptr, out_bytes, sizeof(out_bytes), &out_memory), STATUS_SUCCESS);
    ASSERT_EQ(WdfMemoryCreatePreallocated(nullptr, in_bytes, sizeof(in_bytes), &in_memory), STATUS_SUCCESS);

    constexpr int rounds = 200;
    for (int i = 0; i < rounds + 20; ++i) dev->push_in(0x81, std::vector<uint8_t>(64, 5));

    completion_log log;
    auto round = [&] {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        WdfRequestReuse(write, &reuse);
        WdfRequestReuse(read, &reuse);
        WdfUsbTargetPipeFormatRequestForWrite(out, write, out_memory, nullptr);
        WdfUsbTargetPipeFormatRequestForRead(in, read, in_memory, nullptr);
        WdfRequestSetCompletionRoutine(write, completion_log::routine, &log);
        WdfRequestSetCompletionRoutine(read, completion_log::routine, &log);
        const int before = log.count();
        WdfRequestSend(write, WdfUsbTargetPipeGetIoTarget(out), nullptr);
        WdfRequestSend(read, WdfUsbTargetPipeGetIoTarget(in), nullptr);
        log.wait(before + 2);
    };
    for (int i = 0; i < 20; ++i) round();  // warm: threads started, lists grown

    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < rounds; ++i) round();
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0u);
    EXPECT_EQ(log.status, STATUS_SUCCESS);

    WdfObjectDelete(write);
    WdfObjectDelete(read);
    WdfObjectDelete(out_memory);
    WdfObjectDelete(in_memory);
}

}  // namespace
}  // namespace usb_test

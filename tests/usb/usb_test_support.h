// The fixture of the USB host-side tests: a simulated host (which resets the
// kernel), a simulated USB device, and a framework device bound to one of its
// functions as the PnP manager binds an FDO to its PDO, without the driver.
// The tests call the Wdf* functions at PASSIVE_LEVEL as a driver would.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "devices/sysfs_loader.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_composite.h"
#include "usb/usb_device.h"
#include "wdf.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_request.h"
#include "wdfusb.h"

namespace usb_test {

using sim::usb::descriptor_builder;
using sim::usb::descriptor_set;
using sim::usb::endpoint_type;
using sim::usb::setup_packet;
using sim::usb::transfer_record;

inline std::string real_descriptor_file(const std::string& name) {
    return std::string(CDC_SOURCE_DIR) + "/devices/descriptors/" + name;
}

// A minimal well-formed vendor device: one interface, bulk IN 0x81 and OUT
// 0x02 (64 bytes), interrupt IN 0x83 (16 bytes), strings 1-3.
inline descriptor_set simple_device() {
    return descriptor_builder()
        .device(0x1234, 0x00aa, 0xff, 0, 0)
        .strings(u"Maker", u"Gadget", u"SN42")
        .configuration(1, USB_CONFIG_BUS_POWERED, 50)
        .interface(0, 0, 0xff, 0, 0)
        .endpoint(0x81, endpoint_type::bulk, 64)
        .endpoint(0x02, endpoint_type::bulk, 64)
        .endpoint(0x83, endpoint_type::interrupt, 16, 10)
        .build();
}

class usb_host_test : public testing::Test {
 protected:
    void SetUp() override { host_ = std::make_unique<sim::host>(); }

    void TearDown() override {
        for (wdf::device* d : devices_) wdf::delete_object(d);
        devices_.clear();
        std::string report;
        EXPECT_EQ(wdf::report_leaks(&report), 0u) << report;
        EXPECT_TRUE(sim::pool_outstanding_all().empty());
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        sim::io_threads_stop();
        host_.reset();
    }

    // A framework device bound to one function of the device (the whole
    // device unless it is composite).
    WDFDEVICE bind(std::shared_ptr<sim::usb::device> dev, size_t function = 0,
                   sim::usb::split_mode mode = sim::usb::split_mode::composite) {
        auto functions = sim::usb::split_functions(dev->shared_descriptors(), mode);
        auto* d = new wdf::device();
        d->own_pdo.usb =
            std::make_shared<sim::usb::function_binding>(sim::usb::function_binding{dev, functions.at(function)});
        EXPECT_EQ(wdf::attach(d, nullptr, nullptr, "test"), STATUS_SUCCESS);
        devices_.push_back(d);
        return reinterpret_cast<WDFDEVICE>(d->handle());
    }

    WDFDEVICE bind(const descriptor_set& descriptors, size_t function = 0) {
        device_ = std::make_shared<sim::usb::device>(descriptors);
        return bind(device_, function);
    }

    // Binds and creates the USB target, asserting success.
    WDFUSBDEVICE create(const descriptor_set& descriptors, size_t function = 0) {
        WDFDEVICE dev = bind(descriptors, function);
        WDFUSBDEVICE usb = nullptr;
        NTSTATUS status = WdfUsbTargetDeviceCreate(dev, WDF_NO_OBJECT_ATTRIBUTES, &usb);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return usb;
    }

    // Selects setting 0 of every interface (or the single interface).
    NTSTATUS select_all(WDFUSBDEVICE usb) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        return WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params);
    }

    // The configured pipe of the device's interfaces with this endpoint address.
    WDFUSBPIPE pipe(WDFUSBDEVICE usb, uint8_t address) {
        for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usb); ++i) {
            WDFUSBINTERFACE itf = WdfUsbTargetDeviceGetInterface(usb, i);
            for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(itf); ++p) {
                WDF_USB_PIPE_INFORMATION info;
                WDF_USB_PIPE_INFORMATION_INIT(&info);
                WDFUSBPIPE found = WdfUsbInterfaceGetConfiguredPipe(itf, p, &info);
                if (info.EndpointAddress == address) return found;
            }
        }
        return nullptr;
    }

    std::vector<transfer_record> control_traffic(const sim::usb::control_predicate& p = sim::usb::match::any) {
        return device_->control_traffic(p);
    }

    std::unique_ptr<sim::host> host_;
    std::shared_ptr<sim::usb::device> device_;
    std::vector<wdf::device*> devices_;
};

// Death tests re-run the program in a child, so the platform's threads
// cannot deadlock the fork.
class usb_host_death_test : public usb_host_test {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        usb_host_test::SetUp();
    }
};

// A completion routine's record of what it saw, and a latch to wait for it.
struct completion_log {
    std::mutex lock;
    std::condition_variable done;
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    USBD_STATUS usbd_status = 0;
    WDF_USB_REQUEST_TYPE usb_type = WdfUsbRequestTypeInvalid;
    size_t length = 0;
    KIRQL irql = PASSIVE_LEVEL;
    WDFIOTARGET target = nullptr;

    static VOID routine(WDFREQUEST, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
        auto* log = static_cast<completion_log*>(context);
        std::lock_guard<std::mutex> guard(log->lock);
        log->calls++;
        log->status = params->IoStatus.Status;
        log->information = params->IoStatus.Information;
        log->target = target;
        log->irql = KeGetCurrentIrql();
        if (params->Type == WdfRequestTypeUsb) {
            log->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
            log->usb_type = params->Parameters.Usb.Completion->Type;
            if (log->usb_type == WdfUsbRequestTypePipeRead) {
                log->length = params->Parameters.Usb.Completion->Parameters.PipeRead.Length;
            } else if (log->usb_type == WdfUsbRequestTypePipeWrite) {
                log->length = params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
            }
        }
        log->done.notify_all();
    }

    void wait(int count = 1) {
        std::unique_lock<std::mutex> guard(lock);
        done.wait(guard, [&] { return calls >= count; });
    }

    int count() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
};

}  // namespace usb_test

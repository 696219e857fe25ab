#include "scenario.h"

#include <memory>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "cdcbus.h"
#include "devices/catalogue.h"
#include "devices/sysfs_loader.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/strings.h"
#include "usb/usb_device.h"

namespace cdcbus {
namespace {

const char* pipe_type_name(WDF_USB_PIPE_TYPE type) {
    switch (type) {
        case WdfUsbPipeTypeControl:
            return "control";
        case WdfUsbPipeTypeIsochronous:
            return "isochronous";
        case WdfUsbPipeTypeBulk:
            return "bulk";
        case WdfUsbPipeTypeInterrupt:
            return "interrupt";
        default:
            return "invalid";
    }
}

void add_interface(device_summary& summary, WDFUSBINTERFACE ifc, const char* role) {
    if (ifc == nullptr) return;
    for (auto& existing : summary.interfaces) {
        if (existing.number == WdfUsbInterfaceGetInterfaceNumber(ifc)) {
            existing.role += std::string(" and ") + role;
            return;
        }
    }
    interface_summary s;
    s.role = role;
    s.number = WdfUsbInterfaceGetInterfaceNumber(ifc);
    s.settings = WdfUsbInterfaceGetNumSettings(ifc);
    s.current_setting = WdfUsbInterfaceGetConfiguredSettingIndex(ifc);
    USB_INTERFACE_DESCRIPTOR desc;
    WdfUsbInterfaceGetDescriptor(ifc, static_cast<UCHAR>(s.current_setting), &desc);
    s.interface_class = desc.bInterfaceClass;
    s.subclass = desc.bInterfaceSubClass;
    s.protocol = desc.bInterfaceProtocol;
    summary.interfaces.push_back(s);
}

void add_pipe(device_summary& summary, WDFUSBPIPE pipe, const char* role) {
    if (pipe == nullptr) return;
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbTargetPipeGetInformation(pipe, &info);
    summary.pipes.push_back({role, info.EndpointAddress, pipe_type_name(info.PipeType), info.MaximumPacketSize});
}

// What the driver made of one function device, read as a debugger would
// read its context, while the device is still started.
device_summary describe(const sim::device_stack& stack) {
    device_summary summary;
    summary.hardware_id = stack.config().device_id;
    summary.location = stack.config().instance_id;
    summary.start_status = static_cast<uint32_t>(stack.start_status());
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack.context("DEVICE_CONTEXT"));
    if (fdx == nullptr || !stack.started()) {
        return summary;
    }
    if (fdx->ids.qd_enumerator != nullptr) {
        summary.function = sim::to_utf8(fdx->ids.qd_enumerator);
    }
    add_interface(summary, fdx->usb_ifc_comm, "communication");
    add_interface(summary, fdx->usb_ifc_data, "data");
    add_pipe(summary, fdx->pipe_comm_notify, "notification");
    add_pipe(summary, fdx->pipe_data_in, "data in");
    add_pipe(summary, fdx->pipe_data_out, "data out");
    summary.alternate_settings = fdx->alt_enable != fdx->alt_disable;
    summary.alt_enable = fdx->alt_enable;
    summary.alt_disable = fdx->alt_disable;
    return summary;
}

void add_children(device_summary& summary, const std::vector<sim::child_info>& children) {
    for (const auto& child : children) {
        child_summary c;
        c.device_id = child.device_id;
        c.hardware_ids = child.hardware_ids;
        c.compatible_ids = child.compatible_ids;
        c.instance_id = child.instance_id;
        c.device_text = child.device_text;
        c.location_text = child.location_text;
        c.address = child.pnp_capabilities.Address;
        c.ui_number = child.pnp_capabilities.UINumber;
        summary.children.push_back(c);
    }
}

}  // namespace

int run_scenario(const options& opts, FILE* out, FILE* err) {
    sim::usb::descriptor_set descriptors;
    if (opts.descriptors.empty()) {
        descriptors = sim::usb::catalogue::acm_modem();
    } else {
        auto loaded = sim::usb::load_sysfs_file(opts.descriptors);
        if (!loaded.ok()) {
            fprintf(err, "cdcbus: %s: %s\n", opts.descriptors.c_str(), loaded.error.c_str());
            return 2;
        }
        for (const auto& warning : loaded.warnings) {
            fprintf(err, "cdcbus: %s: warning: %s\n", opts.descriptors.c_str(), warning.c_str());
        }
        descriptors = std::move(loaded.descriptors);
    }

    sim::host host;
    for (const auto& file : opts.reg_files) {
        std::string error;
        if (!host.registry().load_reg_file(file, &error)) {
            fprintf(err, "cdcbus: %s\n", error.c_str());
            return 2;
        }
    }
    if (opts.debug_level) {
        host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", *opts.debug_level);
    }
    if (opts.control_device) {
        host.registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    }

    // The trace is the program's main output; with --json it makes way for
    // the summary on stdout.
    FILE* trace = opts.json ? err : out;
    sim::clock_use_virtual(false);
    sim::debugger_mirror(trace);

    int exit_status = 0;
    NTSTATUS status = host.load_driver(driver_image_path());
    if (!NT_SUCCESS(status)) {
        sim::debugger_mirror(nullptr);
        fprintf(err, "cdcbus: driver load failed 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }

    sim::device_stack* control = nullptr;
    if (opts.root_device) {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        root.description = "CDC bus control device";
        control = &host.add_device(root);
        if (!NT_SUCCESS(control->add_status())) {
            exit_status = 1;
        } else if (!NT_SUCCESS(host.start_device(*control))) {
            exit_status = 1;
        }
    }

    auto dev = std::make_shared<sim::usb::device>(descriptors);
    sim::plug_options plug;
    if (!opts.location.empty()) plug.location = opts.location;
    plug.whole_device = opts.whole_device;
    std::vector<device_summary> summaries;
    for (sim::device_stack* stack : host.plug(dev, plug)) {
        device_summary summary = describe(*stack);
        if (!NT_SUCCESS(stack->start_status())) exit_status = 1;
        if (control == nullptr || !control->started()) {
            add_children(summary, host.children(*stack));
        }
        summaries.push_back(summary);
    }
    // In control-device mode the children belong to the control device; each
    // goes with the function whose hardware id it carries.
    if (control != nullptr && control->started()) {
        for (const auto& child : host.children(*control)) {
            for (auto& summary : summaries) {
                if (child.device_id.find("\\" + summary.hardware_id) != std::string::npos) {
                    add_children(summary, {child});
                    break;
                }
            }
        }
    }
    host.unplug(dev);
    host.unload_driver();
    sim::debugger_mirror(nullptr);

    if (opts.json) {
        print_json(summaries, out);
    } else {
        print_summary(summaries, out);
    }
    return exit_status;
}

}  // namespace cdcbus

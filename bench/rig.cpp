#include "bench/rig.h"

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_composite.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_object.h"
#include "wdf/wdf_request.h"

namespace cdc::bench {

namespace {

void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

void require_success(NTSTATUS status, const std::string& what) {
    if (!NT_SUCCESS(status)) {
        char text[16];
        snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(status));
        throw std::runtime_error(what + " failed, status 0x" + text);
    }
}

// The port of a lane: the last part of the device's instance id.
std::string location(unsigned lane) { return "6&1a2b3c4d&0&" + std::to_string(lane + 1); }

std::string hardware_key(const sim::usb::descriptor_set& set, unsigned lane) {
    return std::string(sim::enum_key()) + "\\USB\\" +
           sim::usb::device_hardware_id(set.device.idVendor, set.device.idProduct) + "\\" + location(lane) +
           "\\Device Parameters";
}

// The platform's completion switch, where this build has it.
void apply(completion mode) {
    require(completion_offered(mode), std::string("completion mode ") + completion_name(mode) + " not offered");
#if CDC_BENCH_COMPLETION_SWITCH
    sim::set_completion_mode(mode == completion::inline_send ? sim::completion_mode::inline_send
                                                             : sim::completion_mode::threads);
#endif
}

std::vector<std::shared_ptr<sink_device>> make_devices(const options& opts) {
    require(opts.lanes > 0, "at least one lane");
    std::vector<std::shared_ptr<sink_device>> out;
    for (unsigned i = 0; i < opts.lanes; ++i) {
        out.push_back(std::make_shared<sink_device>(modem(opts)));
        out.back()->set_recording(opts.recording);
    }
    return out;
}

}  // namespace

const char* completion_name(completion mode) { return mode == completion::inline_send ? "inline" : "threads"; }

bool completion_offered(completion mode) {
#if CDC_BENCH_COMPLETION_SWITCH
    (void)mode;
    return true;
#else
    return mode == completion::threads;
#endif
}

NTSTATUS query_bus_interface(WDFDEVICE child, const char* version, CDC_BUS_INTERFACE* out) {
    return sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(out), sizeof(*out),
                                CDC_BUS_INTERFACE_VERSION, const_cast<char*>(version));
}

// ---- tally ---------------------------------------------------------------------------

// The waiter announces itself before its last look at the count and the
// counter looks for it after counting, so one of them always sees the other
// (both sequentially consistent); a completion without a waiter takes no lock.
void tally::add() {
    count_.fetch_add(1);
    if (waiting_.load()) {
        std::lock_guard<std::mutex> guard(lock_);
        changed_.notify_all();
    }
}

void tally::wait_for(uint64_t n) {
    if (count_.load() >= n) return;
    std::unique_lock<std::mutex> guard(lock_);
    waiting_.store(true);
    changed_.wait(guard, [&] { return count_.load() >= n; });
    waiting_.store(false);
}

int32_t sink_device::on_out(uint8_t, const uint8_t*, size_t) { return USBD_STATUS_SUCCESS; }

sim::usb::descriptor_set modem(const options& opts) {
    sim::usb::catalogue::device_options device;
    device.speed = opts.speed;
    return sim::usb::catalogue::acm_modem(device);
}

void path::quiesce() { sim::io_threads_stop(); }

void path::finished(NTSTATUS status, ULONG bytes) {
    if (!NT_SUCCESS(status)) failures_.fetch_add(1);
    last_bytes_.store(bytes);
    done_.add();
}

// ---- driver_path ----------------------------------------------------------------------

driver_path::driver_path(const options& opts) {
    devices_ = make_devices(opts);
    host_ = std::make_unique<sim::host>();
    apply(opts.mode);
    host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", opts.debug_level);
    host_->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", opts.control_device ? 1 : 0);
    require_success(host_->load_driver(CDC_DRIVER_IMAGE), "loading the driver");
    if (opts.control_device) {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control_ = &host_->add_device(root);
        require_success(control_->add_status(), "adding the control device");
        require_success(host_->start_device(*control_), "starting the control device");
    }

    // Each child's pools hold a whole window's transfers, with room for
    // records still on their way back (the driver doubles the OUT pool
    // itself for the zero-length packets).
    const ULONG records = opts.depth + 2;
    for (unsigned lane = 0; lane < opts.lanes; ++lane) {
        host_->registry().set_dword(hardware_key(devices_[lane]->descriptors(), lane), "EnableZLP", opts.enable_zlp);
        sim::plug_options plug;
        plug.location = location(lane);
        plug.whole_device = true;
        auto stacks = host_->plug(devices_[lane], plug);
        require(stacks.size() == 1 && stacks[0]->start_status() == STATUS_SUCCESS, "plugging the modem");
        // In control-device mode every modem's child joins the control device's list.
        auto children = control_ != nullptr ? host_->children(*control_) : host_->children(*stacks[0]);
        require(children.size() == (control_ != nullptr ? lane + 1 : 1), "one child per modem");
        children_.push_back(children.back().device);
    }
    buses_.resize(children_.size());
    for (size_t lane = 0; lane < children_.size(); ++lane) {
        CDC_BUS_INTERFACE& bus = buses_[lane];
        require_success(query_bus_interface(children_[lane], CDC_BUS_DRIVER_VERSION, &bus), "querying the interface");
        require_success(bus.cdc_data_io_init(children_[lane], records, records), "cdc_data_io_init");
        require_success(bus.cdc_transport_enable(children_[lane]), "cdc_transport_enable");
    }
}

driver_path::~driver_path() {
    close();
    // Unloading checks that nothing the driver made is left behind.
    host_.reset();
    apply(completion::threads);
}

NTSTATUS driver_path::close() {
    // A write's callback comes with its zero-length packet, while the data
    // request may still be completing on the other completion thread: closing
    // now would find the pool busy. Let every queued completion run first.
    quiesce();
    NTSTATUS outcome = STATUS_SUCCESS;
    for (size_t lane = 0; lane < buses_.size(); ++lane) {
        CDC_BUS_INTERFACE& bus = buses_[lane];
        if (bus.header.InterfaceDereference == nullptr) continue;
        NTSTATUS status = bus.cdc_transport_disable(children_[lane]);
        if (NT_SUCCESS(outcome)) outcome = status;
        status = bus.cdc_data_io_uninit(children_[lane]);
        if (NT_SUCCESS(outcome)) outcome = status;
        bus.header.InterfaceDereference(bus.header.Context);
        bus.header.InterfaceDereference = nullptr;
    }
    return outcome;
}

VOID driver_path::on_complete(PVOID context, NTSTATUS status, ULONG bytes) {
    static_cast<driver_path*>(context)->finished(status, bytes);
}

bool driver_path::write(size_t lane, const void* buffer, ULONG length) {
    return buses_[lane].cdc_data_out_async(children_[lane], const_cast<void*>(buffer), length, on_complete, this, 0);
}

bool driver_path::read(size_t lane, void* buffer, ULONG length) {
    return buses_[lane].cdc_data_in_async(children_[lane], buffer, length, on_complete, this, 0);
}

// ---- bare_path ------------------------------------------------------------------------

namespace {
UCHAR placeholder[1];

WDFUSBPIPE find_pipe(WDFUSBDEVICE usb, uint8_t address, ULONG* packet) {
    for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usb); ++i) {
        WDFUSBINTERFACE itf = WdfUsbTargetDeviceGetInterface(usb, i);
        for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(itf); ++p) {
            WDF_USB_PIPE_INFORMATION info;
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WDFUSBPIPE found = WdfUsbInterfaceGetConfiguredPipe(itf, p, &info);
            if (info.EndpointAddress == address) {
                *packet = info.MaximumPacketSize;
                return found;
            }
        }
    }
    return nullptr;
}
}  // namespace

bare_path::bare_path(const options& opts) : enable_zlp_(opts.enable_zlp) {
    devices_ = make_devices(opts);
    host_ = std::make_unique<sim::host>();
    apply(opts.mode);
    const unsigned slots = opts.depth + 1;
    lanes_.resize(opts.lanes);
    for (unsigned i = 0; i < opts.lanes; ++i) {
        lane_state& lane = lanes_[i];
        // Bound to the device as the PnP manager binds a function driver to its PDO.
        auto functions = sim::usb::split_functions(devices_[i]->descriptors(), sim::usb::split_mode::whole_device);
        auto* d = new wdf::device();
        d->own_pdo.usb =
            std::make_shared<sim::usb::function_binding>(sim::usb::function_binding{devices_[i], functions.at(0)});
        require_success(wdf::attach(d, nullptr, nullptr, "bench"), "attaching the bare device");
        lane.device = reinterpret_cast<WDFDEVICE>(d->handle());

        WDFUSBDEVICE usb = nullptr;
        require_success(WdfUsbTargetDeviceCreate(lane.device, WDF_NO_OBJECT_ATTRIBUTES, &usb),
                        "WdfUsbTargetDeviceCreate");
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        require_success(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params),
                        "WdfUsbTargetDeviceSelectConfig");
        ULONG in_packet = 0;
        lane.in = find_pipe(usb, data_in, &in_packet);
        lane.out = find_pipe(usb, data_out, &lane.out_packet);
        require(lane.in != nullptr && lane.out != nullptr, "the modem's data pipes");

        for (unsigned n = 0; n < slots; ++n) {
            auto s = std::make_unique<slot>();
            s->owner = this;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = lane.device;
            require_success(WdfRequestCreate(&attributes, nullptr, &s->data), "WdfRequestCreate");
            require_success(WdfRequestCreate(&attributes, nullptr, &s->zlp), "WdfRequestCreate");
            require_success(WdfMemoryCreatePreallocated(&attributes, placeholder, sizeof(placeholder), &s->memory),
                            "WdfMemoryCreatePreallocated");
            lane.slots.push_back(std::move(s));
        }
    }
}

bare_path::~bare_path() {
    for (lane_state& lane : lanes_) {
        if (lane.device != nullptr) {
            wdf::delete_object(wdf::validate_as<wdf::device>(lane.device, wdf::object_type::device, "bench"));
        }
    }
    host_.reset();
    apply(completion::threads);
}

// The lane's next slot. The window keeps fewer transfers in flight than a
// lane has slots, so the slot is free by now; a caller that broke the window
// gets a refusal, not a request still in use.
bare_path::slot* bare_path::take(lane_state& lane) {
    slot* s = lane.slots[lane.next].get();
    if (s->busy.load(std::memory_order_acquire)) return nullptr;
    lane.next = (lane.next + 1) % lane.slots.size();
    return s;
}

bool bare_path::send(slot* s, WDFREQUEST request, WDFUSBPIPE pipe) {
    WdfRequestSetCompletionRoutine(request, on_complete, s);
    return WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS);
}

bool bare_path::write(size_t index, const void* buffer, ULONG length) {
    lane_state& lane = lanes_[index];
    slot* s = take(lane);
    if (s == nullptr) return false;
    const bool zlp = enable_zlp_ == 0 || (length > 0 && length % lane.out_packet == 0);
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(s->data, &reuse);
    WDFMEMORY memory = nullptr;
    if (length > 0) {
        WdfMemoryAssignBuffer(s->memory, const_cast<void*>(buffer), length);
        memory = s->memory;
    }
    if (!NT_SUCCESS(WdfUsbTargetPipeFormatRequestForWrite(lane.out, s->data, memory, nullptr))) return false;
    if (zlp) {
        WdfRequestReuse(s->zlp, &reuse);
        if (!NT_SUCCESS(WdfUsbTargetPipeFormatRequestForWrite(lane.out, s->zlp, nullptr, nullptr))) return false;
    }
    s->length = length;
    s->status.store(STATUS_SUCCESS, std::memory_order_relaxed);
    s->pending.store(zlp ? 2 : 1, std::memory_order_relaxed);
    s->busy.store(true, std::memory_order_release);
    if (!send(s, s->data, lane.out)) {
        // Nothing went out: refused, as the driver refuses it.
        s->busy.store(false, std::memory_order_release);
        return false;
    }
    if (zlp && !send(s, s->zlp, lane.out)) settle(s, WdfRequestGetStatus(s->zlp));
    return true;
}

bool bare_path::read(size_t index, void* buffer, ULONG length) {
    lane_state& lane = lanes_[index];
    slot* s = take(lane);
    if (s == nullptr) return false;
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(s->data, &reuse);
    WdfMemoryAssignBuffer(s->memory, buffer, length);
    if (!NT_SUCCESS(WdfUsbTargetPipeFormatRequestForRead(lane.in, s->data, s->memory, nullptr))) return false;
    s->length = length;
    s->status.store(STATUS_SUCCESS, std::memory_order_relaxed);
    s->pending.store(1, std::memory_order_relaxed);
    s->busy.store(true, std::memory_order_release);
    if (!send(s, s->data, lane.in)) {
        s->busy.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

// One request of the slot's transfer is done; the last one finishes the
// transfer with the last failure seen, if any, and only then frees the slot.
void bare_path::settle(slot* s, NTSTATUS status) {
    if (!NT_SUCCESS(status)) s->status.store(status, std::memory_order_relaxed);
    if (s->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const NTSTATUS outcome = s->status.load(std::memory_order_relaxed);
        const ULONG length = s->length;
        s->busy.store(false, std::memory_order_release);
        s->owner->finished(outcome, length);
    }
}

// The data request's outcome is the transfer's; a write's length is what
// went out before its zero-length packet.
VOID bare_path::on_complete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                            WDFCONTEXT context) {
    auto* s = static_cast<slot*>(context);
    if (request == s->data) {
        const auto* usb = params->Parameters.Usb.Completion;
        s->length = usb->Type == WdfUsbRequestTypePipeRead ? static_cast<ULONG>(usb->Parameters.PipeRead.Length)
                                                           : static_cast<ULONG>(usb->Parameters.PipeWrite.Length);
    }
    s->owner->settle(s, params->IoStatus.Status);
}

}  // namespace cdc::bench

// WDFUSBPIPE: pipe information, read and write formatting, synchronous
// transfers, abort and reset.
#include "sim/kernel.h"
#include "wdf/wdf_usb.h"

namespace wdf {

namespace {

bool is_data_pipe(const usb_pipe_object* pipe) {
    return pipe->info.PipeType == WdfUsbPipeTypeBulk || pipe->info.PipeType == WdfUsbPipeTypeInterrupt;
}

bool is_in(const usb_pipe_object* pipe) { return (pipe->info.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }

// The checks a read or write format makes before it touches the request.
NTSTATUS check_transfer(const usb_pipe_object* pipe, bool read, size_t length) {
    if (!is_data_pipe(pipe) || is_in(pipe) != read) return STATUS_INVALID_DEVICE_REQUEST;
    // A read must end on a packet boundary unless the driver lifted the check.
    if (read && !pipe->no_packet_size_check.load() && pipe->info.MaximumPacketSize != 0 &&
        length % pipe->info.MaximumPacketSize != 0) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return STATUS_SUCCESS;
}

// Fills a transfer operation; the request's (if any) format is already reset.
void prepare_transfer(usb_pipe_object* pipe, io_operation* op, bool read, uint8_t* buffer, size_t length) {
    op->kind = read ? io_kind::pipe_read : io_kind::pipe_write;
    op->formatted_for = pipe;
    op->transfer.endpoint = pipe->info.EndpointAddress;
    op->transfer.buffer = buffer;
    op->transfer.length = length;
    op->transfer.view = nullptr;
}

NTSTATUS format_transfer(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset, bool read,
                         const char* caller) {
    require_irql_max(DISPATCH_LEVEL, caller);
    usb_pipe_object* pipe = validate_usb_pipe(Pipe, caller);
    request_object* request = validate_request(Request, caller);
    memory_object* memory =
        Memory != nullptr ? validate_as<memory_object>(Memory, object_type::memory, caller) : nullptr;
    uint8_t* buffer;
    size_t length;
    NTSTATUS status = memory_range(memory, Offset, &buffer, &length);
    if (!NT_SUCCESS(status)) return status;
    status = check_transfer(pipe, read, length);
    if (!NT_SUCCESS(status)) return status;
    if (sim::fault_should_fail(caller, &status)) return status;
    if (!format_begin(request, &status)) return status;
    format_memory(request, memory);
    std::lock_guard<std::mutex> guard(request->op.lock);
    prepare_transfer(pipe, &request->op, read, buffer, length);
    const size_t offset = Offset != nullptr ? Offset->BufferOffset : 0;
    if (read) {
        request->usb.Type = WdfUsbRequestTypePipeRead;
        request->usb.Parameters.PipeRead.Buffer = Memory;
        request->usb.Parameters.PipeRead.Offset = offset;
    } else {
        request->usb.Type = WdfUsbRequestTypePipeWrite;
        request->usb.Parameters.PipeWrite.Buffer = Memory;
        request->usb.Parameters.PipeWrite.Offset = offset;
    }
    return STATUS_SUCCESS;
}

NTSTATUS transfer_synchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG Bytes, bool read, const char* caller) {
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_pipe_object* pipe = validate_usb_pipe(Pipe, caller);
    request_object* request = Request != nullptr ? validate_request(Request, caller) : nullptr;
    if (Bytes != nullptr) *Bytes = 0;
    uint8_t* buffer;
    size_t length;
    NTSTATUS status = descriptor_range(MemoryDescriptor, &buffer, &length, caller);
    if (!NT_SUCCESS(status)) return status;
    status = check_transfer(pipe, read, length);
    if (!NT_SUCCESS(status)) return status;
    io_operation local;
    io_operation* op = &local;
    if (request != nullptr) {
        if (!format_begin(request, &status)) return status;
        op = &request->op;
        std::lock_guard<std::mutex> guard(request->op.lock);
        request->usb.Type = read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite;
    }
    prepare_transfer(pipe, op, read, buffer, length);
    status = io_execute(op, pipe, RequestOptions, caller);
    if (Bytes != nullptr) *Bytes = static_cast<ULONG>(op->information);
    return status;
}

}  // namespace

usb_pipe_object* validate_usb_pipe(WDFUSBPIPE handle, const char* caller) {
    return validate_as<usb_pipe_object>(handle, object_type::usb_pipe, caller);
}

void usb_pipe_object::on_delete() { purge(); }

void usb_pipe_object::deliver(io_operation* op) {
    if (op->kind != io_kind::pipe_abort && usb_bus_suspended(this, op)) return;
    if (op->kind == io_kind::pipe_reset) {
        // The USB stack's reset: what is queued on the endpoint is cancelled,
        // then CLEAR_FEATURE(ENDPOINT_HALT) goes to the device.
        device->dev().abort_endpoint(info.EndpointAddress);
        device->dev().submit(&op->transfer);
        return;
    }
    if (op->kind == io_kind::pipe_abort) {
        // Aborting completes the endpoint's pending transfers with
        // USBD_STATUS_CANCELED; the abort itself needs a present device.
        if (!device->dev().connected()) {
            io_complete(op, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, 0);
            return;
        }
        device->dev().abort_endpoint(info.EndpointAddress);
        io_complete(op, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
        return;
    }
    device->dev().submit(&op->transfer);
}

bool usb_pipe_object::cancel_delivered(io_operation* op, uint64_t sequence) {
    return device->dev().cancel(&op->transfer, sequence);
}

}  // namespace wdf

using namespace wdf;

extern "C" {

VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetPipeGetInformation");
    usb_pipe_object* pipe = validate_usb_pipe(Pipe, "WdfUsbTargetPipeGetInformation");
    if (PipeInformation == nullptr || PipeInformation->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        sim::bug_check(WDF_VIOLATION, "pipe information record missing or with a wrong Size", PipeInformation,
                       "WdfUsbTargetPipeGetInformation");
    }
    *PipeInformation = pipe->info;
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetPipeIsInEndpoint");
    return is_in(validate_usb_pipe(Pipe, "WdfUsbTargetPipeIsInEndpoint")) ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetPipeIsOutEndpoint");
    return is_in(validate_usb_pipe(Pipe, "WdfUsbTargetPipeIsOutEndpoint")) ? FALSE : TRUE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetPipeGetType");
    return validate_usb_pipe(Pipe, "WdfUsbTargetPipeGetType")->info.PipeType;
}

VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck");
    validate_usb_pipe(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck")->no_packet_size_check.store(true);
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset) {
    sim::count_framework_call();
    return format_transfer(Pipe, Request, ReadMemory, ReadOffset, true, "WdfUsbTargetPipeFormatRequestForRead");
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset) {
    sim::count_framework_call();
    return format_transfer(Pipe, Request, WriteMemory, WriteOffset, false, "WdfUsbTargetPipeFormatRequestForWrite");
}

NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead) {
    sim::count_framework_call();
    return transfer_synchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesRead, true,
                                  "WdfUsbTargetPipeReadSynchronously");
}

NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten) {
    sim::count_framework_call();
    return transfer_synchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesWritten, false,
                                  "WdfUsbTargetPipeWriteSynchronously");
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetPipeAbortSynchronously";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_pipe_object* pipe = validate_usb_pipe(Pipe, caller);
    request_object* request = Request != nullptr ? validate_request(Request, caller) : nullptr;
    io_operation local;
    io_operation* op = &local;
    if (request != nullptr) {
        NTSTATUS status;
        if (!format_begin(request, &status)) return status;
        op = &request->op;
        std::lock_guard<std::mutex> guard(request->op.lock);
        request->usb.Type = WdfUsbRequestTypePipeAbort;
    }
    op->kind = io_kind::pipe_abort;
    op->formatted_for = pipe;
    op->transfer.endpoint = pipe->info.EndpointAddress;
    return io_execute(op, pipe, RequestOptions, caller);
}

// Resetting a pipe clears the endpoint's halt: what the pipe has sent is
// cancelled (not waited for), then CLEAR_FEATURE(ENDPOINT_HALT) goes out on
// the default pipe through the pipe's own target, whatever its state.
NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetPipeResetSynchronously";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_pipe_object* pipe = validate_usb_pipe(Pipe, caller);
    request_object* request = Request != nullptr ? validate_request(Request, caller) : nullptr;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    if (RequestOptions != nullptr) {
        if (RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) return STATUS_INFO_LENGTH_MISMATCH;
        if ((RequestOptions->Flags & ~(WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                       WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE)) != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        options = *RequestOptions;
        options.Flags |= WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
    }
    pipe->cancel_sent();
    sim::usb::setup_packet setup;
    setup.bmRequestType = 0x02;
    setup.bRequest = USB_REQUEST_CLEAR_FEATURE;
    setup.wValue = USB_FEATURE_ENDPOINT_STALL;
    setup.wIndex = pipe->info.EndpointAddress;
    return usb_control_sync(pipe->device, pipe, request, &options, io_kind::pipe_reset, setup, nullptr, nullptr,
                            caller);
}

}  // extern "C"

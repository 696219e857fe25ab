// The bus interface the CDC bus driver offers on every child PDO: what a
// function driver built separately includes. Obtained with
// IRP_MN_QUERY_INTERFACE for GUID_CDC_BUS_INTERFACE (Size 344, Version 1),
// carrying the caller's version string as InterfaceSpecificData. Every
// operation takes the record's Context (the child's WDFDEVICE) first.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbspec.h>
#include <wdf.h>

DEFINE_GUID(GUID_CDC_BUS_INTERFACE, 0x6bad27c6, 0xc38b, 0x4d4f, 0x9a, 0x22, 0x68, 0xc3, 0x4e, 0x64, 0x87, 0xa0);

#define CDC_BUS_INTERFACE_VERSION 1
#define CDC_BUS_INTERFACE_SIZE 344
// The version string a child must pass to get the interface.
#define CDC_BUS_DRIVER_VERSION "2.1.5.52"

// Completion of a data or asynchronous control transfer.
typedef VOID (*PFN_CDC_DATA_COMPLETE)(PVOID cb_ctx, NTSTATUS cb_status, ULONG bytes);
// One notification packet, valid only during the call.
typedef VOID (*PFN_CDC_NOTIFY_CB)(PVOID notify_cb_ctx, PVOID buffer, ULONG bytes);
typedef LONG (*PFN_CDC_CHILDREN_MSG_CB)(PVOID ctx, ULONG_PTR msg);
// Control-device mode: stop before the serving function device leaves D0,
// start after it is back; the final pair when it starts or leaves for good.
// A start-final always comes from a device that has just started: what the
// child set up before died with the earlier device. Every device that leaves
// for good sends stop-final first, also one removed while in a low-power
// state (then from its hardware stop, with the device already out of D0).
//
// The callbacks run at PASSIVE_LEVEL on the serving function device's own
// PnP/power thread, inside its power transition (start-final and start
// inside its D0 entry or self-managed I/O restart, stop inside its
// self-managed I/O suspend or D0 exit, stop-final inside its D0 exit or
// hardware stop), and the device's next transition waits until they
// return. So, from any of them, a child:
// - may call every routed slot: it reaches the device in transition. A
//   start or start-final may set the data path up (cdc_data_io_init,
//   cdc_transport_enable), start reads and send class requests: the device
//   is in D0. A stop or stop-final may purge, disable and uninit;
// - must not wait for the device to reach D0: qd_device_wakeup_sync, and the
//   wake-up a transfer makes on an idle device, do not wait there (the
//   device cannot enter D0 while its own power callback runs); a stop-final
//   from the hardware stop of a device in a low-power state finds transfers
//   failing, not waiting;
// - must not wait for anything that needs another PnP or power transition
//   of the same device, nor for its own completion callbacks while it holds
//   a lock those callbacks take;
// - should not block on the device for long: the callbacks hold the device's
//   power transition, and a synchronous transfer without a time-out that the
//   device never answers holds it for good. Give synchronous transfers a
//   time-out, or send them asynchronously.
// The is-open callback is also called from the hardware stop and from
// qd_notify_child_not_in_use: it must only read the child's own state.
typedef LONG (*PFN_CDC_CTRL_CB)(PVOID ctrl_cbs_ctx);

typedef NTSTATUS (*PFN_CDC_CLASS_CONTROL_SYNC)(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value,
                                               USHORT length, PVOID buffer, PULONG bytes_transferred, LONGLONG timeout);
typedef NTSTATUS (*PFN_CDC_GENERIC_CONTROL_SYNC)(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                                 PULONG bytes_transferred, LONGLONG timeout);
typedef NTSTATUS (*PFN_CDC_CLASS_CONTROL_ASYNC)(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value,
                                                USHORT length, PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete,
                                                PVOID cb_ctx, PULONG bytes_transferred, LONGLONG timeout);
typedef NTSTATUS (*PFN_CDC_GENERIC_CONTROL_ASYNC)(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                                  PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                                  PULONG bytes_transferred, LONGLONG timeout);
typedef NTSTATUS (*PFN_CDC_STATUS)(WDFDEVICE child);
typedef NTSTATUS (*PFN_CDC_STATUS_BOOL)(WDFDEVICE child, BOOLEAN flag);
typedef BOOLEAN (*PFN_CDC_DATA_ASYNC)(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                      PVOID cb_ctx, LONGLONG timeout);
typedef BOOLEAN (*PFN_CDC_DATA_SYNC)(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout);
typedef BOOLEAN (*PFN_CDC_SET_NOTIFY_CB)(WDFDEVICE child, PVOID notify_cb_ctx, PFN_CDC_NOTIFY_CB notify_cb);
typedef NTSTATUS (*PFN_CDC_GET_FUNCTIONAL_DESCRIPTOR)(WDFDEVICE child, UCHAR subtype, PUCHAR buffer, PUCHAR length);
typedef NTSTATUS (*PFN_CDC_GET_STRING)(WDFDEVICE child, UCHAR index, PUNICODE_STRING string, PUSHORT length);
typedef NTSTATUS (*PFN_CDC_GET_MAXPS)(WDFDEVICE child, PULONG notify_maxps, PULONG data_out_maxps, PULONG data_in_maxps,
                                      PUCHAR ep0_maxps);
typedef NTSTATUS (*PFN_CDC_DATA_IO_INIT)(WDFDEVICE child, ULONG req_in_n, ULONG req_out_n);
typedef NTSTATUS (*PFN_CDC_CTRL_CBS_INIT)(WDFDEVICE child, ULONG check_open, PFN_CDC_CTRL_CB start_final,
                                          PFN_CDC_CTRL_CB stop_final, PFN_CDC_CTRL_CB is_open, PFN_CDC_CTRL_CB stop,
                                          PFN_CDC_CTRL_CB start, PVOID ctrl_cbs_ctx);
typedef VOID (*PFN_CDC_VOID)(WDFDEVICE child);
typedef NTSTATUS (*PFN_CDC_GET_DFU_DESCRIPTOR)(WDFDEVICE child, PVOID dfu_functional_descriptor);
typedef NTSTATUS (*PFN_CDC_GET_PROTOCOL)(WDFDEVICE child, PUCHAR protocol);
typedef NTSTATUS (*PFN_CDC_GET_DEVICE_DESCRIPTOR)(WDFDEVICE child, PUSB_DEVICE_DESCRIPTOR descriptor);
typedef NTSTATUS (*PFN_CDC_GET_CONFIGURATION_COPY)(WDFDEVICE child, PUCHAR buffer, PUSHORT total_length);
typedef NTSTATUS (*PFN_CDC_GET_IDLE_TIMEOUT)(WDFDEVICE child, PULONG idle_timeout);
typedef BOOLEAN (*PFN_CDC_QUERY_BOOL)(WDFDEVICE child);
typedef ULONG (*PFN_CDC_QUERY_ULONG)(WDFDEVICE child);
typedef VOID (*PFN_CDC_CHILDREN_MSG_SET)(WDFDEVICE child, PFN_CDC_CHILDREN_MSG_CB cb, PVOID ctx);
typedef NTSTATUS (*PFN_CDC_CHILDREN_MSG_SEND)(WDFDEVICE child, ULONG_PTR msg, PULONG count);

// Layout fixed for separately built child drivers.
typedef struct _CDC_BUS_INTERFACE {
    INTERFACE header;  // Size, Version, Context, InterfaceReference, InterfaceDereference
    PFN_CDC_CLASS_CONTROL_SYNC class_control_sync;
    PFN_CDC_GENERIC_CONTROL_SYNC generic_control_sync;
    PFN_CDC_CLASS_CONTROL_ASYNC class_control_async;
    PFN_CDC_GENERIC_CONTROL_ASYNC generic_control_async;
    PFN_CDC_STATUS cdc_transport_enable;
    PFN_CDC_STATUS cdc_transport_disable;
    PFN_CDC_STATUS_BOOL cdc_restart_io_target;
    PFN_CDC_DATA_ASYNC cdc_data_in_async;
    PFN_CDC_DATA_ASYNC cdc_data_out_async;
    PFN_CDC_DATA_SYNC cdc_data_in_sync;
    PFN_CDC_DATA_SYNC cdc_data_out_sync;
    PFN_CDC_SET_NOTIFY_CB cdc_set_notify_cb;
    PFN_CDC_STATUS_BOOL cdc_inout_purge;
    PFN_CDC_GET_FUNCTIONAL_DESCRIPTOR cdc_get_functional_descriptor;
    PFN_CDC_GET_STRING cdc_get_string;
    PFN_CDC_GET_MAXPS qd_get_maxps;
    PFN_CDC_DATA_IO_INIT cdc_data_io_init;
    PFN_CDC_STATUS cdc_data_io_uninit;
    PFN_CDC_CTRL_CBS_INIT cdc_data_io_ctrl_cbs_init;
    PFN_CDC_VOID cdc_data_io_ctrl_cbs_uninit;
    PFN_CDC_STATUS qd_reset_device;
    PFN_CDC_GET_DFU_DESCRIPTOR dfu_get_functional_descriptor;
    PFN_CDC_GET_PROTOCOL qd_get_func_protocol;
    PFN_CDC_GET_DEVICE_DESCRIPTOR qd_get_device_descriptor;
    PFN_CDC_GET_CONFIGURATION_COPY qd_get_configuration_descriptor_copyout;
    PFN_CDC_STATUS reserved1;
    PFN_CDC_STATUS reserved2;
    PFN_CDC_GET_IDLE_TIMEOUT qd_get_idle_timeout;
    PFN_CDC_STATUS control_request_purge;
    PFN_CDC_QUERY_BOOL qd_is_ext_ctrl_enabled;
    PFN_CDC_QUERY_ULONG qd_ui_number_get;
    PFN_CDC_QUERY_BOOL qd_is_zlp_enabled;
    PFN_CDC_CHILDREN_MSG_SET qd_children_msg_set;
    PFN_CDC_CHILDREN_MSG_SEND qd_children_msg_send;
    PFN_CDC_QUERY_BOOL qd_is_idle;
    PFN_CDC_STATUS_BOOL qd_device_wakeup_sync;
    PFN_CDC_STATUS qd_notify_child_not_in_use;
    PFN_CDC_STATUS qd_clear_data;
    PFN_CDC_STATUS qd_abort_reads;
} CDC_BUS_INTERFACE, *PCDC_BUS_INTERFACE;

#if defined(_WIN64) || defined(__LP64__)
static_assert(sizeof(CDC_BUS_INTERFACE) == CDC_BUS_INTERFACE_SIZE, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, header.Version) == 2, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, header.Context) == 8, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, header.InterfaceReference) == 16, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, header.InterfaceDereference) == 24, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, class_control_sync) == 32, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, generic_control_sync) == 40, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, class_control_async) == 48, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, generic_control_async) == 56, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_transport_enable) == 64, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_transport_disable) == 72, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_restart_io_target) == 80, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_in_async) == 88, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_out_async) == 96, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_in_sync) == 104, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_out_sync) == 112, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_set_notify_cb) == 120, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_inout_purge) == 128, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_get_functional_descriptor) == 136, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_get_string) == 144, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_get_maxps) == 152, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_io_init) == 160, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_io_uninit) == 168, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_io_ctrl_cbs_init) == 176, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, cdc_data_io_ctrl_cbs_uninit) == 184, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_reset_device) == 192, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, dfu_get_functional_descriptor) == 200, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_get_func_protocol) == 208, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_get_device_descriptor) == 216, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_get_configuration_descriptor_copyout) == 224, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, reserved1) == 232, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, reserved2) == 240, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_get_idle_timeout) == 248, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, control_request_purge) == 256, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_is_ext_ctrl_enabled) == 264, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_ui_number_get) == 272, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_is_zlp_enabled) == 280, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_children_msg_set) == 288, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_children_msg_send) == 296, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_is_idle) == 304, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_device_wakeup_sync) == 312, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_notify_child_not_in_use) == 320, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_clear_data) == 328, "bus interface layout");
static_assert(offsetof(CDC_BUS_INTERFACE, qd_abort_reads) == 336, "bus interface layout");
#endif

// Shared records, constants and prototypes of the CDC bus driver.
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>
#include <wdmguid.h>
// wdfusb.h needs the USB stack's headers first.
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>

#include "cdc_bus_interface.h"

// ---- Build identity ------------------------------------------------------------
#define CDC_BUS_VERSION CDC_BUS_DRIVER_VERSION
#define CDC_POOL_TAG 0x43444345

// ---- Tracing -------------------------------------------------------------------
// A message of level N is printed when the driver-wide debug level is N or more.
#define TRACE_LEVEL_ERROR 1
#define TRACE_LEVEL_INFO 2
#define TRACE_LEVEL_NOTICE 3
#define TRACE_LEVEL_VERBOSE 4

extern ULONG qd_debug_level;

#define QD_TRACE(level, ...)             \
    do {                                 \
        if (qd_debug_level >= (level)) { \
            DbgPrint(__VA_ARGS__);       \
        }                                \
    } while (0)

// ---- Driver-wide state -----------------------------------------------------------
typedef struct _DRV_CTX {
    ULONG control_device_used;
    WDFDEVICE control_device;
    WDFCOLLECTION usb_devices;     // registered USB function devices
    WDFSPINLOCK usb_devices_lock;  // guards usb_devices
    ULONG ui_number_counter;       // interlocked; next UI number of a reported function
} DRV_CTX;

extern DRV_CTX drv_ctx;

// ---- Identity of a function device ------------------------------------------------
#define CDC_ID_CHARS 40

typedef struct _CDC_IDS {
    WDFDEVICE device;
    WCHAR location[CDC_ID_CHARS];
    WCHAR hwid[CDC_ID_CHARS];
    ULONG64 hwid_len;
    const WCHAR* qd_enumerator;  // compared by pointer value
} CDC_IDS, *PCDC_IDS;

static_assert(sizeof(CDC_IDS) == 184, "ids block layout");

// ---- Request records and pools ----------------------------------------------------
// The buffer of a WDFMEMORY (self). A pool's records are linked through
// their own fields, and a data transfer's completion routine gets the record
// itself as its context.
typedef struct _REQUEST_CONTEXT {
    WDFREQUEST request;
    PIRP irp;          // request's own IRP, fixed for the request's life: looked up once, not per reuse
    WDFMEMORY memory;  // data buffer formatted into the request
    WDFDEVICE owner_device;
    PFN_CDC_DATA_COMPLETE cb_complete;
    PVOID cb_ctx;
    NTSTATUS status;
    USBD_STATUS usbd_status;
    ULONG length;
    // A write and its zero-length packet are reported once, after both
    // requests have completed, so both records are back in the pool when the
    // child hears of it. Both requests complete to the data record.
    struct _REQUEST_CONTEXT* zlp_partner;  // on the write's data record: the packet's record
    volatile LONG pair_outstanding;        // on the data record: completions still to come
    NTSTATUS data_status;                  // on the data record: how the data request ended
    ULONG data_bytes;                      // on the data record: what the data request moved
    NTSTATUS zlp_status;                   // on the data record: how the packet ended (or its send failed)
    // Pool records only; under the pool's lock.
    WDFMEMORY self;                        // the memory object this context is the buffer of
    struct _DEVICE_CONTEXT* owner_fdx;     // the context of owner_device
    struct _REQUEST_CONTEXT* next_free;    // the free list, oldest first, or the returned stack
    struct _REQUEST_CONTEXT* next_record;  // every record of the pool
    volatile LONG busy;                    // interlocked: set when taken, cleared when given back
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

// The most records a child may ask for in one pool; a write pool holds two
// per write (the data and its zero-length packet).
#define CDC_MAX_POOL_RECORDS 4096
// Callbacks a pool tracks at once; one more runs with its records still busy.
#define CDC_POOL_CB_SLOTS 16

typedef struct _REQ_MANAGER {
    // Guards every field below but returned, the records' pool fields and
    // request handles, and the pool's data pipe. A completion whose requests
    // recycle in place gives its records back without it: onto returned,
    // with busy_count dropped interlocked.
    WDFSPINLOCK lock;
    PREQUEST_CONTEXT free_head;  // taken from the head, given back at the tail
    PREQUEST_CONTEXT free_tail;
    PREQUEST_CONTEXT records;
    // Records given back without the lock, newest first (interlocked push);
    // taken whole under the lock onto the free list's tail, oldest first.
    PREQUEST_CONTEXT volatile returned;
    ULONG free_count;
    volatile LONG busy_count;         // interlocked: raised under the lock, dropped with or without it
    volatile LONG purge_in_progress;  // interlocked; written under the lock, read by the lock-free give-back
    ULONG destroyed;
    ULONG pipe_users;  // maintenance calls using the pool's data pipe; a closing is refused meanwhile
    // The threads running a child's completion callback whose records are
    // already back in the pool (so that the callback may send again):
    // claimed and cleared by interlocked operations, no lock. A closing waits
    // on callbacks_idle until none runs but the closing thread's own, so no
    // callback runs after the child's uninit has returned.
    PKTHREAD volatile cb_threads[CDC_POOL_CB_SLOTS];
    volatile LONG cb_waiting;  // interlocked; a closing waits for a slot to clear
    KEVENT callbacks_idle;     // synchronization event: a slot was cleared while cb_waiting
} REQ_MANAGER, *PREQ_MANAGER;

// The notification reader. IDLE: no read in flight, a start sends one.
// ARMED: a read is in flight or its completion runs, which re-sends it.
// STOPPING: a stop has cancelled the read; its completion (or its failed
// re-send) ends the reader without re-sending. STOPPED: no read, and none is
// sent while a stop or a record taken away for a switch holds the reader.
typedef enum _CDC_NOTIFY_STATE {
    CDC_NOTIFY_IDLE = 0,
    CDC_NOTIFY_ARMED,
    CDC_NOTIFY_STOPPING,
    CDC_NOTIFY_STOPPED,
} CDC_NOTIFY_STATE;

// ---- Function device context ---------------------------------------------------------
typedef struct _DEVICE_CONTEXT {
    WDFUSBDEVICE usb_device;
    WDFUSBINTERFACE usb_ifc_comm;
    WDFUSBINTERFACE usb_ifc_data;
    WDFUSBPIPE pipe_comm_notify;
    WDFUSBPIPE pipe_data_in;
    WDFUSBPIPE pipe_data_out;
    ULONG data_pipe_type;
    volatile LONG ref_count;
    volatile LONG enable_count;  // interlocked; its 0/1 transitions and the switch they make under enable_lock
    volatile LONG data_io_count;
    ULONG notify_ep;
    ULONG data_in_ep;
    ULONG data_out_ep;
    ULONG alt_enable;
    ULONG alt_disable;
    UCHAR cdc_override_configuration;
    ULONG notify_maxps;
    ULONG data_in_maxps;
    ULONG data_out_maxps;  // with pipe_data_out, under req_out.lock: the zero-length packet is decided there
    REQ_MANAGER req_in;
    REQ_MANAGER req_out;
    PREQUEST_CONTEXT notify_req;
    WDFMEMORY notify_req_mem;
    CDC_NOTIFY_STATE notify_state;  // under notify_lock
    LONG notify_stoppers;           // under notify_lock: stops waiting for the reader or holding it stopped
    KEVENT notify_stopped;          // notification event, set under notify_lock when STOPPING becomes STOPPED
    BOOLEAN notify_cancelled;       // under notify_lock: a stop cancelled the request since it was last reused
    WDFSPINLOCK notify_lock;
    PVOID config_desc;
    CDC_IDS ids;
    ULONG child_count;
    UCHAR ext_ctrl_enabled;
    ULONG idle_timeout;
    volatile LONG d0_exited;
    // Published whole by the data path's opening (senders read it without
    // the path lock); freed only while control_req_state is 2.
    WDFMEMORY control_req_mem;
    volatile LONG control_req_state;  // 0 free, 1 a transfer in progress, 2 stopped
    ULONG zlp_enabled;
    volatile LONG clear_data_busy;
    volatile LONG wakeup_in_progress;
    volatile LONG io_enabled;
    PKTHREAD volatile notify_cb_thread;  // the thread handing a packet to the children, else NULL
    // Rundown of the control-mode routing, a remove lock: 1 for the
    // registration plus 1 per pinned call; interlocked. A pin is taken
    // (ctrl_route_acquire) only while the count is above 0 and the device is
    // not departing; registration sets it to 1 once the device is listed,
    // unregistration sets route_departing, drops the registration's 1 and
    // waits for route_drained, which the release that brings it to 0 sets.
    volatile LONG route_refs;
    volatile LONG
        route_departing;   // interlocked; 1 once unregistered: a synchronous data transfer sent later cancels itself
    KEVENT route_drained;  // notification event; initialised at registration
    // The thread that runs the children's control callbacks inside this
    // device's own power transition, else NULL: there nothing waits for D0.
    PKTHREAD volatile power_cb_thread;
    volatile LONG final_stopped;  // interlocked; 1 from the children's stop-final to the next D0 entry
    // A synchronization event used as a mutex (signalled: free), held at
    // PASSIVE_LEVEL across an opening or closing of the data path: the
    // count's decision, the setting switch and the control record.
    KEVENT enable_lock;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, usb_get_device_context);

// ---- Child PDO context -------------------------------------------------------------------
typedef struct _CDC_DEVICE_CONTEXT {
    WDFDEVICE device;
    // The function device serving the child and its context, written
    // together (cdc_child_serve) under drv_ctx.usb_devices_lock and
    // route_lock both; usb_fdx is published interlocked and a routed call
    // reads it with no lock. The child holds a framework reference on the
    // device while it is published here.
    WDFDEVICE usb_device;
    struct _DEVICE_CONTEXT* volatile usb_fdx;
    WDFSPINLOCK route_lock;  // a leaf: taken inside usb_devices_lock, never the other way round
    // Routed calls between their read of usb_fdx and their hold on that
    // device's rundown, when nothing but the device's own life keeps its
    // context: interlocked. A device that stops serving the child waits, in
    // its removal, until the count has been 0 once since (cdc_child_route_settle).
    volatile LONG route_readers;
    volatile LONG route_settling;  // interlocked; a settle is waiting for route_readers to reach 0
    KEVENT route_settled;          // notification event: route_readers reached 0 while a settle waited
    KEVENT route_settle_lock;      // synchronization event used as a mutex: one settle at a time clears route_settled
    ULONG unique_id;
    ULONG ui_number;
    PVOID notify_cb_ctx;
    PFN_CDC_NOTIFY_CB notify_cb;
    // The children-message hook: the pair under counts_lock, so a sibling's
    // send never calls one child's callback with another context or NULL.
    PVOID children_msg_ctx;
    PFN_CDC_CHILDREN_MSG_CB children_msg_cb;
    volatile LONG cdc_ref_count;
    CDC_IDS ids;
    // The control callbacks, their context and check_open: one set, written
    // and read whole under counts_lock (cdc_ctrl_cbs_get), called unlocked.
    PFN_CDC_CTRL_CB ctrl_start_final_cb;
    PFN_CDC_CTRL_CB ctrl_stop_final_cb;
    PFN_CDC_CTRL_CB ctrl_is_open_cb;
    PFN_CDC_CTRL_CB ctrl_stop_cb;
    PFN_CDC_CTRL_CB ctrl_start_cb;
    PVOID ctrl_cbs_ctx;
    ULONG ctrl_check_open;
    // What this child has counted on the function device held_on (request
    // pools, data path openings, notification registrations), so that it
    // only ever undoes its own. A function device that serves it anew starts
    // with none of them. All four under counts_lock (a leaf: taken inside
    // usb_devices_lock, never the other way round).
    WDFSPINLOCK counts_lock;
    WDFDEVICE held_on;
    LONG data_io_refs;
    LONG enable_refs;
    LONG notify_refs;
} CDC_DEVICE_CONTEXT, *PCDC_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CDC_DEVICE_CONTEXT, cdc_get_device_context);

// A copy of a child's control callbacks taken under counts_lock: the child
// may set or clear them while a power path calls them.
typedef struct _CDC_CTRL_CBS {
    PFN_CDC_CTRL_CB start_final;
    PFN_CDC_CTRL_CB stop_final;
    PFN_CDC_CTRL_CB is_open;
    PFN_CDC_CTRL_CB stop;
    PFN_CDC_CTRL_CB start;
    PVOID ctx;
    ULONG check_open;
} CDC_CTRL_CBS;

FORCEINLINE VOID cdc_ctrl_cbs_get(PCDC_DEVICE_CONTEXT cdc_pdx, CDC_CTRL_CBS* cbs) {
    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    cbs->start_final = cdc_pdx->ctrl_start_final_cb;
    cbs->stop_final = cdc_pdx->ctrl_stop_final_cb;
    cbs->is_open = cdc_pdx->ctrl_is_open_cb;
    cbs->stop = cdc_pdx->ctrl_stop_cb;
    cbs->start = cdc_pdx->ctrl_start_cb;
    cbs->ctx = cdc_pdx->ctrl_cbs_ctx;
    cbs->check_open = cdc_pdx->ctrl_check_open;
    WdfSpinLockRelease(cdc_pdx->counts_lock);
}

// ---- Child description -----------------------------------------------------------------
typedef struct _CDC_CHILD_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;  // size 216
    ULONG unique_id;                                     // 2i, or 2i+1 for the extra-control twin
    ULONG ui_number;
    CDC_IDS ids;
    volatile LONG create_attempted;
    WDFDRIVER driver;
} CDC_CHILD_DESCRIPTION, *PCDC_CHILD_DESCRIPTION;

static_assert(sizeof(CDC_CHILD_DESCRIPTION) == 216, "child description layout");
static_assert(offsetof(CDC_CHILD_DESCRIPTION, ids) == 16, "child description layout");
static_assert(offsetof(CDC_CHILD_DESCRIPTION, create_attempted) == 200, "child description layout");
static_assert(offsetof(CDC_CHILD_DESCRIPTION, driver) == 208, "child description layout");

// Device interface of every function device, and the bus type reported to children.
DEFINE_GUID(GUID_DEVINTERFACE_CDC_BUS, 0xc671678c, 0x82c1, 0x43f3, 0xd7, 0x00, 0x00, 0x49, 0x43, 0x3e, 0x9a, 0x4b);

// ---- Operations ---------------------------------------------------------------------------
EXTERN_C DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP usb_evt_driver_context_cleanup;
EVT_WDF_OBJECT_CONTEXT_CLEANUP usb_evt_device_context_cleanup;

_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    qd_open_registry_key(_In_opt_ WDFDRIVER driver, _In_opt_ WDFDEVICE device, _Out_ WDFKEY* key);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    qd_registry_rw_ulong(_In_opt_ WDFDRIVER driver, _In_opt_ WDFDEVICE device, _In_ PCWSTR name, _Out_ PULONG value);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    qd_registry_rw_unicode_str(_In_ WDFDRIVER driver, _Inout_ PUNICODE_STRING str, _Out_opt_ PUSHORT byte_len);

// Device add and the function device's PnP and power callbacks.
EVT_WDF_DRIVER_DEVICE_ADD usb_evt_device_add;
EVT_WDF_DEVICE_PREPARE_HARDWARE usb_evt_device_prepare_hardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE usb_evt_device_release_hardware;
EVT_WDF_DEVICE_D0_ENTRY usb_evt_device_d0_entry;
EVT_WDF_DEVICE_D0_EXIT usb_evt_device_d0_exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND usb_evt_dev_self_managed_io_suspend;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART usb_evt_dev_self_managed_io_restart;
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_set_power_policy(_In_ WDFDEVICE device);
const char* usb_power_state_name(WDF_POWER_DEVICE_STATE state);

// Control device.
EVT_WDF_DEVICE_PREPARE_HARDWARE ctrl_evt_dev_prepare_hardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE ctrl_evt_dev_release_hardware;
EVT_WDF_DEVICE_D0_ENTRY ctrl_evt_device_d0_entry;
EVT_WDF_DEVICE_D0_EXIT ctrl_evt_device_d0_exit;
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ctrl_usb_device_d0_entry(_In_ WDFDEVICE device, _In_ WDF_POWER_DEVICE_STATE previous_state);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ctrl_usb_device_d0_exit(_In_ WDFDEVICE device, _In_ WDF_POWER_DEVICE_STATE target_state);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    ctrl_usb_device_d0_entry_exit(_In_ WDFDEVICE device, _In_ BOOLEAN entry, _In_ BOOLEAN final);
_Requires_lock_held_(drv_ctx.usb_devices_lock) BOOLEAN ctrl_usb_device_is_listed(_In_ WDFDEVICE device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ctrl_add_usb_device(_In_ WDFDEVICE device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ctrl_remove_usb_device(_In_ WDFDEVICE device);
_IRQL_requires_max_(DISPATCH_LEVEL) WDFDEVICE ctrl_control_device_get(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ctrl_route_release(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_(PASSIVE_LEVEL) VOID ctrl_usb_device_final_stop(_In_ WDFDEVICE device);
// Detaches the children matching ids that departing serves (NULL: only
// the pending ones, for a not-in-use report) and removes them unless one is
// open or another device serves that identity by now.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS ctrl_try_to_remove_children(_In_ PCDC_IDS ids, _In_opt_ WDFDEVICE departing);
// TRUE on the thread running this device's children's control callbacks
// inside the device's own power transition.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN usb_in_own_power_callback(_In_ PDEVICE_CONTEXT fdx);

#define STATUS_CTRL_USB_DEVICE_ALREADY_LISTED ((NTSTATUS)0x20000001L)
#define STATUS_CTRL_USB_DEVICE_NOT_LISTED ((NTSTATUS)0x20000002L)
#define STATUS_CTRL_USB_DEVICE_ABSENT ((NTSTATUS)0x20000004L)

// Request records.
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    usb_request_allocate(_In_ WDFIOTARGET target, _Out_ WDFMEMORY* memory, _In_ size_t size);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    usb_request_allocate_parented(_In_ WDFOBJECT parent, _In_ WDFIOTARGET target, _Out_ WDFMEMORY* memory,
                                  _In_ size_t size);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID usb_request_free(_Inout_ WDFMEMORY* memory);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS usb_request_reuse(_In_ WDFIOTARGET target, _Inout_ PREQUEST_CONTEXT rqx);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS pipe_comm_notify_request_allocate(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS pipe_comm_notify_request_make(_In_ WDFUSBPIPE pipe, _Out_ WDFMEMORY* memory);

// Hardware start helpers.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    usb_device_get_ids(_In_ WDFDEVICE device, _Out_writes_(CDC_ID_CHARS) PWCHAR hwid, _Out_ PULONG64 hwid_len,
                       _Out_writes_(CDC_ID_CHARS) PWCHAR location);
NTSTATUS usb_device_get_composite_enumerated(_In_ PCWSTR hwid);

// Children.
EVT_WDF_CHILD_LIST_CREATE_DEVICE cdc_device_create;
EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN usb_evt_scan_for_children;
EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE cdc_evt_id_compare;
EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP cdc_evt_id_cleanup;
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_children_plugin(_In_ WDFDEVICE parent, _In_ PCDC_IDS ids,
                                                            _In_ ULONG child_count, _In_ BOOLEAN ext_ctrl_enabled);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    usb_child_plugin(_In_ WDFDEVICE parent, _In_ PCDC_IDS ids, _In_ ULONG unique_id, _In_ ULONG ui_number);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    usb_child_iteration_begin(_In_ WDFDEVICE device, _Out_ WDFCHILDLIST* list, _Out_ PWDF_CHILD_LIST_ITERATOR iterator);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    usb_child_retrieve_or_remove_next(_Out_ WDFDEVICE* child, _In_ WDFCHILDLIST list,
                                      _In_ PWDF_CHILD_LIST_ITERATOR iterator, _In_ PCDC_IDS ids, _In_ BOOLEAN remove);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_children_remove(_In_ WDFDEVICE device, _In_ PCDC_IDS ids);
VOID usb_qd_children_msg_set(_In_ WDFDEVICE child, _In_opt_ PFN_CDC_CHILDREN_MSG_CB cb, _In_opt_ PVOID ctx);
NTSTATUS usb_qd_children_msg_send(_In_ WDFDEVICE child, _In_ ULONG_PTR msg, _Out_opt_ PULONG count);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    cdc_devnode_prepare(_In_ PWDFDEVICE_INIT init, _In_ PCDC_CHILD_DESCRIPTION description);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    cdc_devnode_create(_Inout_ PWDFDEVICE_INIT* init, _In_ PCDC_CHILD_DESCRIPTION description);

// ---- Configuration and interface discovery -------------------------------------
// The block below belongs to the configuration, function-type, override and
// enable sources (usb_enum_cdc_config/_select/_override/_enable.cpp).

// An interface number or endpoint address that names nothing (registry
// override, notify_ep); also "any address" for usb_ifc_get_endpoint_maxps.
#define QD_NO_INTERFACE ((ULONG)0xFFFFFFFF)
#define QD_NO_ENDPOINT ((ULONG)0xFFFFFFFF)

// Direction codes of a pipe.
#define QD_PIPE_DIR_CONTROL 0
#define QD_PIPE_DIR_IN 1
#define QD_PIPE_DIR_OUT 2
#define QD_PIPE_DIR_ANY (-1)

// Configuration descriptor: the framework's copy, or an explicit read of the
// configuration numbered from 1; either replaces config_desc only on success.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_get_configuration_descriptor_default(_In_ WDFDEVICE device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    usb_get_configuration_descriptor(_In_ WDFDEVICE device, _In_ UCHAR configuration);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_select_configuration(_In_ WDFDEVICE device, _In_ UCHAR configuration,
                                                                 _In_ ULONG data_interface, _In_ ULONG comm_interface);
// Walks config_desc: the descriptor after current (the configuration
// descriptor itself when current is NULL), or NULL at the end. A descriptor is
// returned only when it lies whole within wTotalLength and its bLength is at
// least 2, so a malformed configuration ends the walk.
_IRQL_requires_max_(DISPATCH_LEVEL) PUSB_COMMON_DESCRIPTOR
    usb_config_desc_next(_In_ PVOID config_desc, _In_opt_ PUSB_COMMON_DESCRIPTOR current);

// Function type detection and the selection of interfaces and pipes.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_qd_select_interfaces(_In_ WDFDEVICE device);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_cdc_select_interfaces_override(_In_ WDFDEVICE device);

// Pipe lookups on the selected setting of an interface (usb_ifc_get_pipe,
// usb_ifc_get_pipe_by_address) or on any setting (usb_ifc_get_endpoint_maxps).
_IRQL_requires_max_(DISPATCH_LEVEL) WDFUSBPIPE
    usb_ifc_get_pipe(_In_ WDFUSBINTERFACE ifc, _In_ WDF_USB_PIPE_TYPE type, _In_ ULONG direction, _Out_ PULONG maxps,
                     _Out_ PULONG ep);
_IRQL_requires_max_(DISPATCH_LEVEL) WDFUSBPIPE
    usb_ifc_get_pipe_by_address(_In_ WDFUSBINTERFACE ifc, _In_ ULONG address, _Out_opt_ PULONG maxps);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    usb_ifc_get_endpoint_maxps(_In_ WDFUSBINTERFACE ifc, _In_ UCHAR setting, _In_ ULONG address, _In_ ULONG type,
                               _In_ LONG direction, _Out_ PULONG maxps);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID usb_ifc_trace(_In_ PUSB_INTERFACE_DESCRIPTOR desc);

// Opening of the data path (counted) and the alternate-setting switch under it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_cdc_enable(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN usb_cdc_enable_disable(_In_opt_ PDEVICE_CONTEXT fdx, _In_ BOOLEAN enable);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_cdc_disable(_In_ PDEVICE_CONTEXT fdx);
// enable_lock, the opening's and closing's mutex; `held`: a power hold taken
// before it, dropped after it.
_IRQL_requires_(PASSIVE_LEVEL) VOID usb_cdc_path_lock(_In_ PDEVICE_CONTEXT fdx);
VOID usb_cdc_path_unlock(_In_ PDEVICE_CONTEXT fdx, _In_ BOOLEAN held);

// A child calls from its completion and notification callbacks at
// DISPATCH_LEVEL; a slot that waits, or whose framework calls need
// PASSIVE_LEVEL, refuses it there instead of bug-checking the machine.
FORCEINLINE BOOLEAN cdc_caller_at_passive(const char* slot) {
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        return TRUE;
    }
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: called above PASSIVE_LEVEL\n", slot);
    return FALSE;
}

// The function device that serves a child, or NULL while none does.
FORCEINLINE PDEVICE_CONTEXT cdc_serving_fdx(WDFDEVICE child) {
    PCDC_DEVICE_CONTEXT cdc_pdx = child != NULL ? cdc_get_device_context(child) : NULL;
    return cdc_pdx != NULL ? cdc_pdx->usb_fdx : NULL;
}

// The child's counts now belong to fdx; those on any earlier device are gone
// with it. The move and the count change together under counts_lock, so a
// caller on another thread never counts on a device just before the move
// wipes it. device_count (optional) is the device-wide count that moves with
// the child's: changed under the same lock, a release on another thread of
// the child never falls between the two. Returns device_count's new value.
FORCEINLINE LONG cdc_child_hold_counted(PCDC_DEVICE_CONTEXT cdc_pdx, PDEVICE_CONTEXT fdx, LONG* refs,
                                        volatile LONG* device_count) {
    LONG n = 0;

    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    if (cdc_pdx->held_on != fdx->ids.device) {
        cdc_pdx->held_on = fdx->ids.device;
        cdc_pdx->data_io_refs = 0;
        cdc_pdx->enable_refs = 0;
        cdc_pdx->notify_refs = 0;
    }
    (*refs)++;
    if (device_count != NULL) {
        n = InterlockedIncrement(device_count);
    }
    WdfSpinLockRelease(cdc_pdx->counts_lock);
    return n;
}

FORCEINLINE VOID cdc_child_hold(PCDC_DEVICE_CONTEXT cdc_pdx, PDEVICE_CONTEXT fdx, LONG* refs) {
    cdc_child_hold_counted(cdc_pdx, fdx, refs, NULL);
}

// TRUE, and one count less, when the child holds one on fdx; device_count
// (optional) drops with it, never below 0 (a restart of the device zeroes it
// while children still hold theirs), and *n receives its new value.
FORCEINLINE BOOLEAN cdc_child_release_counted(PCDC_DEVICE_CONTEXT cdc_pdx, PDEVICE_CONTEXT fdx, LONG* refs,
                                              volatile LONG* device_count, LONG* n) {
    LONG current;
    BOOLEAN held;

    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    held = cdc_pdx->held_on == fdx->ids.device && *refs > 0;
    if (held) {
        (*refs)--;
        if (device_count != NULL) {
            do {
                current = ReadAcquire(device_count);
            } while (current > 0 && InterlockedCompareExchange(device_count, current - 1, current) != current);
            *n = current > 0 ? current - 1 : 0;
        }
    }
    WdfSpinLockRelease(cdc_pdx->counts_lock);
    return held;
}

FORCEINLINE BOOLEAN cdc_child_release(PCDC_DEVICE_CONTEXT cdc_pdx, PDEVICE_CONTEXT fdx, LONG* refs) {
    return cdc_child_release_counted(cdc_pdx, fdx, refs, NULL, NULL);
}

// A child detached from or re-attached to a function device holds nothing on it.
FORCEINLINE VOID cdc_child_forget(PCDC_DEVICE_CONTEXT cdc_pdx) {
    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    cdc_pdx->held_on = NULL;
    cdc_pdx->data_io_refs = 0;
    cdc_pdx->enable_refs = 0;
    cdc_pdx->notify_refs = 0;
    WdfSpinLockRelease(cdc_pdx->counts_lock);
}

// ---- Transfer engine ------------------------------------------------------------
#define QD_DIR_IN 1
#define QD_DIR_OUT 2

// Request pools of the data pipes.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS req_manager_create(_In_ PREQ_MANAGER manager, _In_ WDFUSBDEVICE usb_device,
                                                           _In_opt_ WDFUSBPIPE pipe, _In_ ULONG count);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS req_manager_destroy(_In_ PREQ_MANAGER manager);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN req_manager_close(_In_ PREQ_MANAGER manager);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID req_manager_reopen(_In_ PREQ_MANAGER manager);
// A maintenance call borrows the pool's data pipe (NULL: none to borrow); the
// data path is not closed, nor its setting switched, while it is lent.
_IRQL_requires_max_(DISPATCH_LEVEL) WDFUSBPIPE usb_data_pipe_pin(_In_ PREQ_MANAGER manager, _In_ WDFUSBPIPE* pipe);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID usb_data_pipe_unpin(_In_ PREQ_MANAGER manager, _In_opt_ WDFUSBPIPE pipe);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID req_manager_drain(_In_ PREQ_MANAGER manager);
// A slot for the calling thread while it runs a child's completion callback
// with the records given back, or -1 when every slot is taken (then the
// records go back only after the callback).
_IRQL_requires_max_(DISPATCH_LEVEL) LONG req_manager_callback_enter(_In_ PREQ_MANAGER manager);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID req_manager_callback_leave(_In_ PREQ_MANAGER manager, _In_ LONG slot);
// Waits until no callback of the pool runs but the caller's own; FALSE,
// without waiting, above PASSIVE_LEVEL while another one runs.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN req_manager_callbacks_wait(_In_ PREQ_MANAGER manager);
// Takes a free record, and for a write whose length needs one (decided
// under the pool's lock, with the pipe's packet size) a second one for its
// zero-length packet. FALSE when refused; *short_of_packet tells a refusal
// for want of the packet's record.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    usb_qd_request_prepare(_In_ PREQ_MANAGER manager, _In_ WDFUSBPIPE* pipe, _In_opt_ PDEVICE_CONTEXT zlp_fdx,
                           _In_ ULONG length, _In_ PDEVICE_CONTEXT owner, _In_opt_ PFN_CDC_DATA_COMPLETE cb_complete,
                           _In_opt_ PVOID cb_ctx, _Out_ PREQUEST_CONTEXT* rqx, _Out_ PREQUEST_CONTEXT* zlp_rqx,
                           _Out_ WDFUSBPIPE* target, _Out_ PBOOLEAN short_of_packet);
// Gives a record (and its packet's record, if any) back to the free list,
// recycling their requests first when target is given.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    usb_qd_request_release(_In_ PREQ_MANAGER manager, _In_ PREQUEST_CONTEXT rqx, _In_opt_ PREQUEST_CONTEXT zlp_rqx,
                           _In_opt_ WDFUSBPIPE target);

// Bulk data.
EVT_WDF_REQUEST_COMPLETION_ROUTINE usb_cdc_data_in_complete;
EVT_WDF_REQUEST_COMPLETION_ROUTINE usb_cdc_data_out_complete;
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS
    usb_read_write(_In_ WDFREQUEST request, _In_opt_ WDFREQUEST zlp_request, _In_opt_ WDFMEMORY memory,
                   _In_ WDFUSBPIPE pipe, _In_opt_ PFN_WDF_REQUEST_COMPLETION_ROUTINE routine1, _In_opt_ WDFCONTEXT ctx1,
                   _In_opt_ PFN_WDF_REQUEST_COMPLETION_ROUTINE routine2, _In_opt_ WDFCONTEXT ctx2, _In_ ULONG direction,
                   _In_ BOOLEAN async, _In_ LONGLONG timeout, _Out_opt_ PULONG sent);

// Notification reader.
EVT_WDF_REQUEST_COMPLETION_ROUTINE usb_cdc_interrupt_read_complete;
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS usb_interrupt_pipe_start_cont_reader(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_max_(DISPATCH_LEVEL) NTSTATUS usb_interrupt_pipe_stop_cont_reader(_In_ PDEVICE_CONTEXT fdx);
// The reader's state from hardware start on, with notify_lock made.
_IRQL_requires_(PASSIVE_LEVEL) VOID usb_notify_reader_init(_In_ PDEVICE_CONTEXT fdx);
// Takes the notification record away once no read of it can run, and hands
// the reader a new pipe and record (either may be NULL).
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN usb_cdc_notify_detach(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_(PASSIVE_LEVEL) VOID
    usb_cdc_notify_attach(_In_ PDEVICE_CONTEXT fdx, _In_opt_ WDFUSBPIPE pipe, _In_opt_ WDFMEMORY memory);

// Maintenance.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS usb_device_reset_pipe(_In_opt_ WDFUSBPIPE pipe, _In_ BOOLEAN sync);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    usb_device_wakeup(_In_ WDFDEVICE child, _In_ BOOLEAN sync, _In_ BOOLEAN reset_in_pipe);
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    usb_device_wakeup_fdx(_In_opt_ PDEVICE_CONTEXT fdx, _In_ BOOLEAN sync, _In_ BOOLEAN reset_in_pipe);

// ---- Bus interface operations (USB-direct filling) ---------------------------------
NTSTATUS cdc_register_interface(_In_ WDFDEVICE child);
EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST driver_version_verify;
VOID usb_cdc_reference(_In_ PVOID context);
VOID usb_cdc_dereference(_In_ PVOID context);

NTSTATUS usb_class_control_sync(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                PVOID buffer, PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_generic_control_sync(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                  PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_class_control_async(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                 PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                 PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_generic_control_async(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                   PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, PULONG bytes_transferred,
                                   LONGLONG timeout);
NTSTATUS usb_control_request_purge(WDFDEVICE child);
NTSTATUS usb_transport_enable(WDFDEVICE child);
NTSTATUS usb_transport_disable(WDFDEVICE child);
NTSTATUS usb_cdc_restart_io_target(WDFDEVICE child, BOOLEAN in);
BOOLEAN usb_cdc_data_read_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                PVOID cb_ctx, LONGLONG timeout);
BOOLEAN usb_cdc_data_write_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                 PVOID cb_ctx, LONGLONG timeout);
BOOLEAN usb_cdc_data_read_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN usb_cdc_data_write_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN usb_cdc_set_notify_cb(WDFDEVICE child, PVOID notify_cb_ctx, PFN_CDC_NOTIFY_CB notify_cb);
NTSTATUS usb_cdc_inout_purge(WDFDEVICE child, BOOLEAN in);
NTSTATUS usb_cdc_get_functional_descriptor(WDFDEVICE child, UCHAR subtype, PUCHAR buffer, PUCHAR length);
NTSTATUS usb_cdc_get_string(WDFDEVICE child, UCHAR index, PUNICODE_STRING string, PUSHORT length);
NTSTATUS usb_qd_get_maxps(WDFDEVICE child, PULONG notify_maxps, PULONG data_out_maxps, PULONG data_in_maxps,
                          PUCHAR ep0_maxps);
NTSTATUS usb_cdc_data_io_init(WDFDEVICE child, ULONG req_in_n, ULONG req_out_n);
NTSTATUS usb_cdc_data_io_uninit(WDFDEVICE child);
NTSTATUS usb_reset_device(WDFDEVICE child);
NTSTATUS usb_dfu_get_functional_descriptor(WDFDEVICE child, PVOID descriptor);
NTSTATUS usb_get_func_protocol(WDFDEVICE child, PUCHAR protocol);
NTSTATUS usb_qd_get_device_descriptor(WDFDEVICE child, PUSB_DEVICE_DESCRIPTOR descriptor);
NTSTATUS usb_qd_get_configuration_descriptor_copyout(WDFDEVICE child, PUCHAR buffer, PUSHORT total_length);
NTSTATUS usb_qd_get_idle_timeout(WDFDEVICE child, PULONG idle_timeout);
BOOLEAN usb_qd_is_ext_ctrl_enabled(WDFDEVICE child);
ULONG usb_qd_ui_number_get(WDFDEVICE child);
BOOLEAN usb_qd_is_zlp_enabled(WDFDEVICE child);
BOOLEAN usb_qd_is_idle(WDFDEVICE child);
NTSTATUS usb_qd_device_wakeup_sync(WDFDEVICE child, BOOLEAN reset_in_pipe);
NTSTATUS usb_qd_clear_data(WDFDEVICE child);
NTSTATUS usb_qd_abort_reads(WDFDEVICE child);

// The same operations on a given function device: the USB-direct slots pass
// the child's serving device, the control-mode routing the device it pinned.
// A NULL fdx fails as a disconnected device does.
NTSTATUS usb_class_control_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN direction_in, UCHAR request,
                                    USHORT value, USHORT length, PVOID buffer, PULONG bytes_transferred,
                                    LONGLONG timeout);
NTSTATUS usb_generic_control_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID setup_packet, PVOID buffer,
                                      USHORT length, PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_class_control_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN direction_in, UCHAR request,
                                     USHORT value, USHORT length, PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete,
                                     PVOID cb_ctx, PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_generic_control_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID setup_packet, PVOID buffer,
                                       USHORT length, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                       PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS usb_control_request_purge_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_transport_enable_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_transport_disable_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_cdc_restart_io_target_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN in);
BOOLEAN usb_cdc_data_read_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                    PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, LONGLONG timeout);
BOOLEAN usb_cdc_data_write_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                     PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, LONGLONG timeout);
BOOLEAN usb_cdc_data_read_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN usb_cdc_data_write_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN usb_cdc_set_notify_cb_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID notify_cb_ctx,
                                  PFN_CDC_NOTIFY_CB notify_cb);
NTSTATUS usb_cdc_inout_purge_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN in);
NTSTATUS usb_cdc_get_functional_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, UCHAR subtype, PUCHAR buffer,
                                               PUCHAR length);
NTSTATUS usb_cdc_get_string_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, UCHAR index, PUNICODE_STRING string,
                                PUSHORT length);
NTSTATUS usb_qd_get_maxps_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PULONG notify_maxps, PULONG data_out_maxps,
                              PULONG data_in_maxps, PUCHAR ep0_maxps);
NTSTATUS usb_cdc_data_io_init_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, ULONG req_in_n, ULONG req_out_n);
NTSTATUS usb_cdc_data_io_uninit_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_reset_device_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_dfu_get_functional_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID descriptor);
NTSTATUS usb_get_func_protocol_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUCHAR protocol);
NTSTATUS usb_qd_get_device_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUSB_DEVICE_DESCRIPTOR descriptor);
NTSTATUS usb_qd_get_configuration_descriptor_copyout_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUCHAR buffer,
                                                         PUSHORT total_length);
NTSTATUS usb_qd_get_idle_timeout_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PULONG idle_timeout);
BOOLEAN usb_qd_is_ext_ctrl_enabled_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
BOOLEAN usb_qd_is_zlp_enabled_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
BOOLEAN usb_qd_is_idle_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_qd_children_msg_send_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, ULONG_PTR msg, PULONG count);
NTSTATUS usb_qd_clear_data_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);
NTSTATUS usb_qd_abort_reads_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx);

// ---- Control-mode routing (the control-device filling) ---------------------------
// What one routed call pinned: released as it was taken.
typedef struct _CTRL_ROUTE_PIN {
    WDFDEVICE device;
    WDFUSBDEVICE target;
    PDEVICE_CONTEXT fdx;
} CTRL_ROUTE_PIN, *PCTRL_ROUTE_PIN;

// Pins (lock TRUE: the child's registered serving device, recorded in pin)
// or unpins (lock FALSE: what the lock call recorded in pin).
// Publishes device (NULL: none) as the child's serving device, taking the
// child's reference on it; returns the device published before, whose
// reference the caller drops. Caller holds drv_ctx.usb_devices_lock, or is
// creating the child.
_IRQL_requires_max_(DISPATCH_LEVEL) WDFDEVICE
    cdc_child_serve(_In_ PCDC_DEVICE_CONTEXT cdc_pdx, _In_opt_ WDFDEVICE device);
VOID cdc_child_serve_drop(_In_opt_ WDFDEVICE device);
// Returns once no routed call of the child can still be reading a device
// that no longer serves it without holding its rundown.
_IRQL_requires_(PASSIVE_LEVEL) VOID cdc_child_route_settle(_In_ PCDC_DEVICE_CONTEXT cdc_pdx);
EVT_WDF_OBJECT_CONTEXT_CLEANUP cdc_evt_child_context_cleanup;
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN ctrl_route_acquire(_In_ PDEVICE_CONTEXT fdx);
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    ctrl_lock_unlock_usb_device(_In_ WDFDEVICE child, _In_ BOOLEAN lock, _Inout_ PCTRL_ROUTE_PIN pin);

NTSTATUS ctrl_class_control_sync(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                 PVOID buffer, PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS ctrl_generic_control_sync(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                   PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS ctrl_class_control_async(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                  PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                  PULONG bytes_transferred, LONGLONG timeout);
NTSTATUS ctrl_generic_control_async(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                    PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, PULONG bytes_transferred,
                                    LONGLONG timeout);
NTSTATUS ctrl_cdc_transport_enable(WDFDEVICE child);
NTSTATUS ctrl_cdc_transport_disable(WDFDEVICE child);
NTSTATUS ctrl_cdc_restart_io_target(WDFDEVICE child, BOOLEAN in);
BOOLEAN ctrl_cdc_data_in_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                               PVOID cb_ctx, LONGLONG timeout);
BOOLEAN ctrl_cdc_data_out_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                PVOID cb_ctx, LONGLONG timeout);
BOOLEAN ctrl_cdc_data_in_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN ctrl_cdc_data_out_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout);
BOOLEAN ctrl_cdc_set_notify_cb(WDFDEVICE child, PVOID notify_cb_ctx, PFN_CDC_NOTIFY_CB notify_cb);
NTSTATUS ctrl_cdc_inout_purge(WDFDEVICE child, BOOLEAN in);
NTSTATUS ctrl_cdc_get_functional_descriptor(WDFDEVICE child, UCHAR subtype, PUCHAR buffer, PUCHAR length);
NTSTATUS ctrl_cdc_get_string(WDFDEVICE child, UCHAR index, PUNICODE_STRING string, PUSHORT length);
NTSTATUS ctrl_qd_get_maxps(WDFDEVICE child, PULONG notify_maxps, PULONG data_out_maxps, PULONG data_in_maxps,
                           PUCHAR ep0_maxps);
NTSTATUS ctrl_cdc_data_io_init(WDFDEVICE child, ULONG req_in_n, ULONG req_out_n);
NTSTATUS ctrl_cdc_data_io_uninit(WDFDEVICE child);
NTSTATUS ctrl_cdc_data_io_ctrl_cbs_init(WDFDEVICE child, ULONG check_open, PFN_CDC_CTRL_CB start_final,
                                        PFN_CDC_CTRL_CB stop_final, PFN_CDC_CTRL_CB is_open, PFN_CDC_CTRL_CB stop,
                                        PFN_CDC_CTRL_CB start, PVOID ctrl_cbs_ctx);
VOID ctrl_cdc_data_io_ctrl_cbs_uninit(WDFDEVICE child);
NTSTATUS ctrl_qd_reset_device(WDFDEVICE child);
NTSTATUS ctrl_dfu_get_functional_descriptor(WDFDEVICE child, PVOID descriptor);
NTSTATUS ctrl_qd_get_func_protocol(WDFDEVICE child, PUCHAR protocol);
NTSTATUS ctrl_qd_get_device_descriptor(WDFDEVICE child, PUSB_DEVICE_DESCRIPTOR descriptor);
NTSTATUS ctrl_qd_get_configuration_descriptor_copyout(WDFDEVICE child, PUCHAR buffer, PUSHORT total_length);
NTSTATUS ctrl_qd_get_idle_timeout(WDFDEVICE child, PULONG idle_timeout);
NTSTATUS ctrl_control_request_purge(WDFDEVICE child);
BOOLEAN ctrl_qd_is_ext_ctrl_enabled(WDFDEVICE child);
ULONG ctrl_qd_ui_number_get(WDFDEVICE child);
BOOLEAN ctrl_qd_is_zlp_enabled(WDFDEVICE child);
VOID ctrl_qd_children_msg_set(WDFDEVICE child, PFN_CDC_CHILDREN_MSG_CB cb, PVOID ctx);
NTSTATUS ctrl_qd_children_msg_send(WDFDEVICE child, ULONG_PTR msg, PULONG count);
BOOLEAN ctrl_qd_is_idle(WDFDEVICE child);
NTSTATUS ctrl_qd_device_wakeup_sync(WDFDEVICE child, BOOLEAN reset_in_pipe);
NTSTATUS ctrl_qd_notify_child_not_in_use(WDFDEVICE child);
NTSTATUS ctrl_qd_clear_data(WDFDEVICE child);
NTSTATUS ctrl_qd_abort_reads(WDFDEVICE child);

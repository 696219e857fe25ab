// Shared records, constants and prototypes of the CDC bus driver.
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>

// ---- Build identity ------------------------------------------------------------
#define CDC_BUS_VERSION "2.1.5.52"
#define CDC_POOL_TAG 0x43444345

// ---- Tracing -------------------------------------------------------------------
// A message of level N is printed when the driver-wide debug level is N or more.
#define TRACE_LEVEL_ERROR 1
#define TRACE_LEVEL_INFO 2
#define TRACE_LEVEL_NOTICE 3
#define TRACE_LEVEL_VERBOSE 4

extern ULONG qd_debug_level;

#define QD_TRACE(level, ...)                \
    do {                                    \
        if (qd_debug_level >= (level)) {    \
            DbgPrint(__VA_ARGS__);          \
        }                                   \
    } while (0)

// ---- Driver-wide state -----------------------------------------------------------
typedef struct _DRV_CTX {
    ULONG control_device_used;
    WDFDEVICE control_device;
    WDFCOLLECTION usb_devices;        // registered USB function devices
    WDFSPINLOCK usb_devices_lock;     // guards usb_devices
    ULONG ui_number_counter;          // interlocked; next UI number of a reported function
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

// ---- Request pools -----------------------------------------------------------------
typedef struct _REQUEST_CONTEXT REQUEST_CONTEXT, *PREQUEST_CONTEXT;

typedef struct _REQ_MANAGER {
    WDFCOLLECTION free;
    WDFCOLLECTION busy;
    WDFSPINLOCK lock;  // guards free, busy, purge_in_progress and destroyed
    ULONG purge_in_progress;
    ULONG destroyed;
} REQ_MANAGER, *PREQ_MANAGER;

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
    volatile LONG enable_count;
    volatile LONG data_io_count;
    ULONG notify_ep;
    ULONG data_in_ep;
    ULONG data_out_ep;
    ULONG alt_enable;
    ULONG alt_disable;
    UCHAR cdc_override_configuration;
    ULONG notify_maxps;
    ULONG data_in_maxps;
    ULONG data_out_maxps;
    REQ_MANAGER req_in;
    REQ_MANAGER req_out;
    PREQUEST_CONTEXT notify_req;
    WDFMEMORY notify_req_mem;
    UCHAR notify_reader_stop;  // guarded by notify_lock
    WDFSPINLOCK notify_lock;
    PVOID config_desc;
    CDC_IDS ids;
    ULONG child_count;
    UCHAR ext_ctrl_enabled;
    ULONG idle_timeout;
    volatile LONG d0_exited;
    WDFMEMORY control_req_mem;
    volatile LONG control_req_state;  // 0 free, 1 a transfer in progress, 2 stopped
    ULONG zlp_enabled;
    volatile LONG clear_data_busy;
    volatile LONG wakeup_in_progress;
    volatile LONG io_enabled;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, usb_get_device_context);

// ---- Child PDO context -------------------------------------------------------------------
typedef VOID (*PFN_CDC_NOTIFY_CB)(PVOID notify_cb_ctx, PVOID buffer, ULONG bytes);
typedef LONG (*PFN_CDC_CHILDREN_MSG_CB)(PVOID ctx, ULONG_PTR msg);
typedef LONG (*PFN_CDC_CTRL_CB)(PVOID ctrl_cbs_ctx);

typedef struct _CDC_DEVICE_CONTEXT {
    WDFDEVICE device;
    WDFDEVICE usb_device;
    ULONG unique_id;
    ULONG ui_number;
    PVOID notify_cb_ctx;
    PFN_CDC_NOTIFY_CB notify_cb;
    PVOID children_msg_ctx;
    PFN_CDC_CHILDREN_MSG_CB children_msg_cb;
    volatile LONG cdc_ref_count;
    CDC_IDS ids;
    PFN_CDC_CTRL_CB ctrl_start_final_cb;
    PFN_CDC_CTRL_CB ctrl_stop_final_cb;
    PFN_CDC_CTRL_CB ctrl_is_open_cb;
    PFN_CDC_CTRL_CB ctrl_stop_cb;
    PFN_CDC_CTRL_CB ctrl_start_cb;
    PVOID ctrl_cbs_ctx;
    ULONG ctrl_check_open;
} CDC_DEVICE_CONTEXT, *PCDC_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CDC_DEVICE_CONTEXT, cdc_get_device_context);

// ---- Child description -----------------------------------------------------------------
typedef struct _CDC_CHILD_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;  // size 216
    ULONG unique_id;   // 2i, or 2i+1 for the extra-control twin
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

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS qd_open_registry_key(_In_opt_ WDFDRIVER driver, _In_opt_ WDFDEVICE device, _Out_ WDFKEY* key);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS qd_registry_rw_ulong(_In_opt_ WDFDRIVER driver, _In_opt_ WDFDEVICE device, _In_ PCWSTR name,
                              _Out_ PULONG value);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS qd_registry_rw_unicode_str(_In_ WDFDRIVER driver, _Inout_ PUNICODE_STRING str, _Out_opt_ PUSHORT byte_len);

// Device add and the function device's PnP and power callbacks.
EVT_WDF_DRIVER_DEVICE_ADD usb_evt_device_add;
EVT_WDF_DEVICE_PREPARE_HARDWARE usb_evt_device_prepare_hardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE usb_evt_device_release_hardware;
EVT_WDF_DEVICE_D0_ENTRY usb_evt_device_d0_entry;
EVT_WDF_DEVICE_D0_EXIT usb_evt_device_d0_exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND usb_evt_dev_self_managed_io_suspend;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART usb_evt_dev_self_managed_io_restart;
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS usb_set_power_policy(_In_ WDFDEVICE device);
const char* usb_power_state_name(WDF_POWER_DEVICE_STATE state);

// Control device.
EVT_WDF_DEVICE_PREPARE_HARDWARE ctrl_evt_dev_prepare_hardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE ctrl_evt_dev_release_hardware;
EVT_WDF_DEVICE_D0_ENTRY ctrl_evt_device_d0_entry;
EVT_WDF_DEVICE_D0_EXIT ctrl_evt_device_d0_exit;
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ctrl_usb_device_d0_entry(_In_ WDFDEVICE device, _In_ WDF_POWER_DEVICE_STATE previous_state);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ctrl_usb_device_d0_exit(_In_ WDFDEVICE device, _In_ WDF_POWER_DEVICE_STATE target_state);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ctrl_usb_device_d0_entry_exit(_In_ WDFDEVICE device, _In_ BOOLEAN entry, _In_ BOOLEAN final);

// Children.
EVT_WDF_CHILD_LIST_CREATE_DEVICE cdc_device_create;
EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN usb_evt_scan_for_children;

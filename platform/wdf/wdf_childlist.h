// Child lists: the bus driver's record of its children's identification
// descriptions, and the PDOs created for them.
//
// A description is pending (reported present, no PDO yet), present (has a
// PDO) or missing. Changes are held while the driver is inside a scan or an
// iteration and committed at the outermost End (at once outside both); a
// commit that changed anything invalidates the owner's bus relations, and the
// PnP manager then asks the list for the PDOs to remove and to create.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "wdf/wdf_internal.h"

namespace wdf {

enum class child_state { pending, present, missing };

struct child_entry {
    uint64_t serial = 0;               // iteration order; never reused
    std::vector<uint8_t> description;  // the framework's own copy
    std::vector<uint8_t> address;      // empty when the list has no address descriptions
    child_state state = child_state::pending;
    bool committed = false;  // missing, and the PnP manager has been told
    bool creating = false;   // EvtChildListCreateDevice is running for it
    bool removing = false;   // handed to the PnP manager for removal
    unsigned retries = 0;    // STATUS_RETRY answers so far
    device* pdo = nullptr;
};

class child_list : public object {
 public:
    child_list() : object(object_type::child_list) {}
    bool driver_may_delete() const override { return false; }
    void on_delete() override;

    device* owner = nullptr;
    WDF_CHILD_LIST_CONFIG config{};
    std::recursive_mutex lock;                           // the driver's callbacks may call back into the list
    std::vector<std::unique_ptr<child_entry>> children;  // guarded by lock
    int scan_depth = 0;                                  // guarded by lock
    int iteration_depth = 0;                             // guarded by lock
    bool changed = false;                                // guarded by lock; something new since the last commit
    uint64_t next_serial = 1;                            // guarded by lock
};

// STATUS_RETRY answers after which a child whose creation keeps asking for a
// retry is dropped.
constexpr unsigned child_create_retry_limit = 3;

// Creates the child list of a device whose init asked for a default one.
NTSTATUS create_default_child_list(device* owner, const WDF_CHILD_LIST_CONFIG& config,
                                   PWDF_OBJECT_ATTRIBUTES attributes);

// Every child list of a device, oldest first.
std::vector<child_list*> child_lists_of(device* dev);

// ---- Bus relations: what the PnP manager asks of a list, at PASSIVE_LEVEL ----

// Calls EvtChildListScanForChildren, if the driver has one.
void scan_for_children(child_list* list);
// True while the driver is inside a scan or iteration of the list.
bool enumeration_in_progress(child_list* list);
// PDOs whose descriptions were reported missing, each handed out once.
std::vector<device*> take_missing(child_list* list);
// Calls EvtChildListCreateDevice for each new present description and returns
// the PDOs it created. A description whose creation failed, or created no
// device, is dropped; *retry is set when a callback answered STATUS_RETRY.
std::vector<device*> create_pending(child_list* list, bool* retry);
// After the PnP manager removed a PDO: deletes it and forgets its description.
void delete_pdo(device* pdo);
// The PDO's identification description (empty when the list has forgotten it).
std::vector<uint8_t> pdo_description(device* pdo);

// ---- A PDO's own description -------------------------------------------------

// As WdfChildListUpdateChildDescriptionAsMissing for the PDO's description;
// STATUS_INVALID_DEVICE_REQUEST for a PDO no list created.
NTSTATUS mark_pdo_missing(device* pdo);
// Copies the PDO's description out through the list's copy callback.
NTSTATUS retrieve_pdo_description(device* pdo, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER out);

// Keeps a finished PDO init's memory until the host goes, so a driver that
// kept the pointer is caught by its magic rather than by reused memory.
void retire_init(std::unique_ptr<device_init> init);
bool is_retired_init(const void* init);
void purge_retired_inits();

// ---- The PnP manager's side (the simulator implements these) ----------------

// A list of `owner` committed a change: re-enumerate it once the current PnP
// operation is over. Any IRQL, any thread.
void invalidate_bus_relations(device* owner);
// The driver asked for a child to be ejected.
void request_eject(device* pdo);

}  // namespace wdf

#include "wdf/wdf_childlist.h"

#include <cstring>
#include <unordered_set>

#include "sim/kernel.h"

namespace wdf {
namespace {

using id_header = PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER;
using address_header = PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER;
using compare_routine = PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE;
using list_guard = std::unique_lock<std::recursive_mutex>;

WDFCHILDLIST handle_of(child_list* list) { return reinterpret_cast<WDFCHILDLIST>(list); }

child_list* validate_list(WDFCHILDLIST handle, const char* caller) {
    return validate_as<child_list>(handle, object_type::child_list, caller);
}

id_header id_of(child_entry& e) { return reinterpret_cast<id_header>(e.description.data()); }
address_header address_of(child_entry& e) { return reinterpret_cast<address_header>(e.address.data()); }

void require_passive_after(const char* callback) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "callback returned at raised IRQL (a lock still held?)", nullptr,
                       callback);
    }
}

bool same_description(child_list* list, compare_routine compare, child_entry& stored, id_header given) {
    if (compare != nullptr) {
        return compare(handle_of(list), id_of(stored), given) != FALSE;
    }
    return memcmp(stored.description.data(), given, list->config.IdentificationDescriptionSize) == 0;
}

// Descriptions reported missing and committed are gone from the driver's
// point of view: a new report of the same child is a new child.
child_entry* find_locked(child_list* list, compare_routine compare, id_header given) {
    for (auto& e : list->children) {
        if (e->state == child_state::missing && e->committed) continue;
        if (same_description(list, compare, *e, given)) return e.get();
    }
    return nullptr;
}

child_entry* find_serial_locked(child_list* list, uint64_t serial) {
    for (auto& e : list->children) {
        if (e->serial == serial) return e.get();
    }
    return nullptr;
}

NTSTATUS check_identification(child_list* list, id_header description) {
    if (description == nullptr) return STATUS_INVALID_PARAMETER;
    if (description->IdentificationDescriptionSize != list->config.IdentificationDescriptionSize) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

NTSTATUS check_address(child_list* list, address_header address) {
    if (address == nullptr) return STATUS_SUCCESS;
    if (list->config.AddressDescriptionSize == 0 ||
        address->AddressDescriptionSize != list->config.AddressDescriptionSize) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_SUCCESS;
}

NTSTATUS store_identification(child_list* list, id_header source, std::vector<uint8_t>* out) {
    const ULONG size = list->config.IdentificationDescriptionSize;
    out->assign(size, 0);
    auto* destination = reinterpret_cast<id_header>(out->data());
    destination->IdentificationDescriptionSize = size;
    if (list->config.EvtChildListIdentificationDescriptionDuplicate != nullptr) {
        return list->config.EvtChildListIdentificationDescriptionDuplicate(handle_of(list), source, destination);
    }
    if (list->config.EvtChildListIdentificationDescriptionCopy != nullptr) {
        list->config.EvtChildListIdentificationDescriptionCopy(handle_of(list), source, destination);
    } else {
        memcpy(destination, source, size);
    }
    return STATUS_SUCCESS;
}

NTSTATUS store_address(child_list* list, address_header source, std::vector<uint8_t>* out) {
    const ULONG size = list->config.AddressDescriptionSize;
    out->assign(size, 0);
    auto* destination = reinterpret_cast<address_header>(out->data());
    destination->AddressDescriptionSize = size;
    if (list->config.EvtChildListAddressDescriptionDuplicate != nullptr) {
        return list->config.EvtChildListAddressDescriptionDuplicate(handle_of(list), source, destination);
    }
    if (list->config.EvtChildListAddressDescriptionCopy != nullptr) {
        list->config.EvtChildListAddressDescriptionCopy(handle_of(list), source, destination);
    } else {
        memcpy(destination, source, size);
    }
    return STATUS_SUCCESS;
}

void copy_identification_out(child_list* list, child_entry& e, id_header destination) {
    if (list->config.EvtChildListIdentificationDescriptionCopy != nullptr) {
        list->config.EvtChildListIdentificationDescriptionCopy(handle_of(list), id_of(e), destination);
    } else {
        memcpy(destination, e.description.data(), e.description.size());
    }
}

void copy_address_out(child_list* list, child_entry& e, address_header destination) {
    if (e.address.empty()) return;
    if (list->config.EvtChildListAddressDescriptionCopy != nullptr) {
        list->config.EvtChildListAddressDescriptionCopy(handle_of(list), address_of(e), destination);
    } else {
        memcpy(destination, e.address.data(), e.address.size());
    }
}

void release_identification(child_list* list, std::vector<uint8_t>& description) {
    if (list->config.EvtChildListIdentificationDescriptionCleanup != nullptr) {
        list->config.EvtChildListIdentificationDescriptionCleanup(handle_of(list),
                                                                  reinterpret_cast<id_header>(description.data()));
    }
}

void erase_locked(child_list* list, child_entry* entry) {
    release_identification(list, entry->description);
    if (!entry->address.empty() && list->config.EvtChildListAddressDescriptionCleanup != nullptr) {
        list->config.EvtChildListAddressDescriptionCleanup(handle_of(list), address_of(*entry));
    }
    for (auto it = list->children.begin(); it != list->children.end(); ++it) {
        if (it->get() == entry) {
            list->children.erase(it);
            return;
        }
    }
}

void restore_present(child_entry& e) {
    e.state = e.pdo != nullptr ? child_state::present : child_state::pending;
    e.committed = false;
}

// Lock held. Missing reports become final; true when the PnP manager must
// hear of the change.
bool commit_locked(child_list* list) {
    bool notify = list->changed;
    list->changed = false;
    std::vector<child_entry*> dropped;
    for (auto& e : list->children) {
        if (e->state != child_state::missing || e->committed) continue;
        e->committed = true;
        if (e->pdo == nullptr && !e->creating) {
            dropped.push_back(e.get());  // never had a PDO: nothing for PnP to remove
        } else {
            notify = true;
        }
    }
    for (child_entry* e : dropped) erase_locked(list, e);
    return notify;
}

// Ends a change: committed at once outside any scan or iteration.
void finish_change(child_list* list, list_guard& guard) {
    bool notify = false;
    if (list->scan_depth + list->iteration_depth == 0) {
        notify = commit_locked(list);
    }
    device* owner = list->owner;
    guard.unlock();
    if (notify) {
        invalidate_bus_relations(owner);
    }
}

ULONG flag_of(const child_entry& e) {
    switch (e.state) {
        case child_state::pending:
            return WdfRetrievePendingChildren;
        case child_state::present:
            return WdfRetrievePresentChildren;
        case child_state::missing:
            return WdfRetrieveMissingChildren;
    }
    return 0;
}

WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status_of(const child_entry& e) {
    switch (e.state) {
        case child_state::pending:
            return WdfChildListRetrieveDeviceNotYetCreated;
        case child_state::present:
            return WdfChildListRetrieveDeviceSuccess;
        case child_state::missing:
            return WdfChildListRetrieveDeviceNoSuchDevice;
    }
    return WdfChildListRetrieveDeviceUndefined;
}

NTSTATUS make_list(device* owner, const WDF_CHILD_LIST_CONFIG& config, PWDF_OBJECT_ATTRIBUTES attributes,
                   child_list** out) {
    auto* list = new child_list();
    list->owner = owner;
    list->config = config;
    WDF_OBJECT_ATTRIBUTES own;
    if (attributes != nullptr) {
        own = *attributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&own);
    }
    own.ParentObject = owner->handle();
    NTSTATUS status = attach(list, &own, owner, "WdfChildListCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *out = list;
    return STATUS_SUCCESS;
}

std::mutex& retired_lock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

struct retired_inits {
    std::vector<std::unique_ptr<device_init>> inits;
    std::unordered_set<const void*> addresses;
};

retired_inits& retired() {
    static auto* r = new retired_inits;  // guarded by retired_lock()
    return *r;
}

child_entry* entry_of_locked(child_list* list, device* pdo) {
    for (auto& e : list->children) {
        if (e->pdo == pdo) return e.get();
    }
    return nullptr;
}

}  // namespace

NTSTATUS create_default_child_list(device* owner, const WDF_CHILD_LIST_CONFIG& config,
                                   PWDF_OBJECT_ATTRIBUTES attributes) {
    child_list* list = nullptr;
    NTSTATUS status = make_list(owner, config, attributes, &list);
    if (NT_SUCCESS(status)) {
        owner->default_child_list = list;
    }
    return status;
}

void child_list::on_delete() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (auto& e : children) {
        if (e->pdo != nullptr) {
            sim::bug_check(WDF_VIOLATION, "child list deleted while a PDO created from it is alive", e->pdo,
                           "child list deletion");
        }
    }
    while (!children.empty()) {
        erase_locked(this, children.back().get());
    }
}

std::vector<child_list*> child_lists_of(device* dev) {
    std::vector<child_list*> lists;
    std::lock_guard<std::recursive_mutex> guard(table_lock());
    for (object* child : dev->children_) {
        if (child->type() == object_type::child_list && !child->deleting()) {
            lists.push_back(static_cast<child_list*>(child));
        }
    }
    return lists;
}

void scan_for_children(child_list* list) {
    if (list->config.EvtChildListScanForChildren != nullptr) {
        list->config.EvtChildListScanForChildren(handle_of(list));
        require_passive_after("EvtChildListScanForChildren");
    }
}

bool enumeration_in_progress(child_list* list) {
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    return list->scan_depth + list->iteration_depth > 0;
}

std::vector<device*> take_missing(child_list* list) {
    std::vector<device*> gone;
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    for (auto& e : list->children) {
        if (e->state == child_state::missing && e->committed && e->pdo != nullptr && !e->creating && !e->removing) {
            e->removing = true;
            gone.push_back(e->pdo);
        }
    }
    return gone;
}

std::vector<device*> create_pending(child_list* list, bool* retry) {
    std::vector<device*> created;
    std::vector<uint64_t> serials;
    {
        std::lock_guard<std::recursive_mutex> guard(list->lock);
        for (auto& e : list->children) {
            if (e->state == child_state::pending && !e->creating) serials.push_back(e->serial);
        }
    }
    bool notify = false;
    for (uint64_t serial : serials) {
        list_guard guard(list->lock);
        child_entry* e = find_serial_locked(list, serial);
        if (e == nullptr || e->state != child_state::pending || e->creating) continue;
        e->creating = true;
        auto init = std::make_unique<device_init>();
        init->is_pdo = true;
        init->parent = list->owner;
        init->list = list;
        init->description = e->description;
        id_header description = id_of(*e);
        guard.unlock();

        NTSTATUS status = list->config.EvtChildListCreateDevice(handle_of(list), description,
                                                                reinterpret_cast<PWDFDEVICE_INIT>(init.get()));
        require_passive_after("EvtChildListCreateDevice");
        device* pdo = init->created;
        retire_init(std::move(init));  // the framework owns it: unusable from here on

        if (pdo != nullptr && !NT_SUCCESS(status)) {
            delete_object(pdo);  // a failed callback's device goes with the child
            pdo = nullptr;
        }
        if (pdo == nullptr && NT_SUCCESS(status)) {
            sim::bug_check(WDF_VIOLATION, "EvtChildListCreateDevice returned success without creating a device",
                           handle_of(list), "EvtChildListCreateDevice");
        }
        guard.lock();
        e = find_serial_locked(list, serial);  // not erased while creating
        e->creating = false;
        if (pdo != nullptr) {
            e->pdo = pdo;
            if (e->state == child_state::pending) {
                e->state = child_state::present;
            } else if (e->committed) {
                notify = true;  // went missing meanwhile: the PnP manager removes it next
            }
            created.push_back(pdo);
            continue;
        }
        if (status == STATUS_RETRY && e->state == child_state::pending && e->retries < child_create_retry_limit) {
            e->retries++;
            *retry = true;
            continue;
        }
        erase_locked(list, e);
    }
    if (notify) {
        invalidate_bus_relations(list->owner);
    }
    return created;
}

void delete_pdo(device* pdo) {
    child_list* list = pdo->init.list;
    delete_object(pdo);  // cleanup callbacks may still read the description
    if (list != nullptr) {
        std::lock_guard<std::recursive_mutex> guard(list->lock);
        if (child_entry* e = entry_of_locked(list, pdo)) {
            erase_locked(list, e);
        }
    }
}

std::vector<uint8_t> pdo_description(device* pdo) {
    child_list* list = pdo->init.list;
    if (list == nullptr) return {};
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    child_entry* e = entry_of_locked(list, pdo);
    return e != nullptr ? e->description : pdo->init.description;
}

NTSTATUS mark_pdo_missing(device* pdo) {
    child_list* list = pdo->init.list;
    if (list == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    list_guard guard(list->lock);
    child_entry* e = entry_of_locked(list, pdo);
    if (e == nullptr || e->state == child_state::missing) return STATUS_NO_SUCH_DEVICE;
    e->state = child_state::missing;
    e->committed = false;
    finish_change(list, guard);
    return STATUS_SUCCESS;
}

NTSTATUS retrieve_pdo_description(device* pdo, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER out) {
    child_list* list = pdo->init.list;
    if (list == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = check_identification(list, out);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    child_entry* e = entry_of_locked(list, pdo);
    if (e == nullptr) return STATUS_NO_SUCH_DEVICE;
    copy_identification_out(list, *e, out);
    return STATUS_SUCCESS;
}

void retire_init(std::unique_ptr<device_init> init) {
    init->magic = 0;
    std::lock_guard<std::mutex> guard(retired_lock());
    retired().addresses.insert(init.get());
    retired().inits.push_back(std::move(init));
}

bool is_retired_init(const void* init) {
    std::lock_guard<std::mutex> guard(retired_lock());
    return retired().addresses.count(init) != 0;
}

void purge_retired_inits() {
    std::lock_guard<std::mutex> guard(retired_lock());
    retired().inits.clear();
    retired().addresses.clear();
}

}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfChildListCreate(WDFDEVICE Device, PWDF_CHILD_LIST_CONFIG Config, PWDF_OBJECT_ATTRIBUTES ChildListAttributes,
                            WDFCHILDLIST* ChildList) {
    sim::count_framework_call();
    auto* dev = validate_as<device>(Device, object_type::device, "WdfChildListCreate");
    require_irql_max(PASSIVE_LEVEL, "WdfChildListCreate");
    if (ChildList == nullptr || Config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ChildList = nullptr;
    if (Config->Size != sizeof(WDF_CHILD_LIST_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Config->IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) ||
        Config->EvtChildListCreateDevice == nullptr ||
        (Config->AddressDescriptionSize != 0 &&
         Config->AddressDescriptionSize < sizeof(WDF_CHILD_ADDRESS_DESCRIPTION_HEADER))) {
        return STATUS_INVALID_PARAMETER;
    }
    // A list always belongs to its device.
    if (ChildListAttributes != nullptr && ChildListAttributes->ParentObject != nullptr &&
        ChildListAttributes->ParentObject != Device) {
        return STATUS_INVALID_PARAMETER;
    }
    child_list* list = nullptr;
    NTSTATUS status = make_list(dev, *Config, ChildListAttributes, &list);
    if (NT_SUCCESS(status)) {
        *ChildList = handle_of(list);
    }
    return status;
}

WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST ChildList) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListGetDevice");
    return reinterpret_cast<WDFDEVICE>(list->owner);
}

VOID WdfChildListBeginScan(WDFCHILDLIST ChildList) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListBeginScan");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListBeginScan");
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (list->scan_depth++ != 0) {
        return;  // a nested scan keeps what the outer one has reported
    }
    for (auto& e : list->children) {
        if (e->state == child_state::missing && e->committed) continue;
        e->state = child_state::missing;
        e->committed = false;
    }
}

VOID WdfChildListEndScan(WDFCHILDLIST ChildList) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListEndScan");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListEndScan");
    list_guard guard(list->lock);
    if (list->scan_depth == 0) {
        sim::bug_check(WDF_VIOLATION, "WdfChildListEndScan without WdfChildListBeginScan", ChildList,
                       "WdfChildListEndScan");
    }
    list->scan_depth--;
    finish_change(list, guard);
}

NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    sim::count_framework_call();
    const char* api = "WdfChildListAddOrUpdateChildDescriptionAsPresent";
    auto* list = validate_list(ChildList, api);
    require_irql_max(DISPATCH_LEVEL, api);
    NTSTATUS status = check_identification(list, IdentificationDescription);
    if (NT_SUCCESS(status)) status = check_address(list, AddressDescription);
    if (!NT_SUCCESS(status)) return status;
    if (AddressDescription == nullptr && list->config.AddressDescriptionSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    list_guard guard(list->lock);
    child_entry* existing =
        find_locked(list, list->config.EvtChildListIdentificationDescriptionCompare, IdentificationDescription);
    if (existing != nullptr) {
        if (AddressDescription != nullptr) {
            if (list->config.EvtChildListAddressDescriptionCopy != nullptr) {
                list->config.EvtChildListAddressDescriptionCopy(ChildList, AddressDescription, address_of(*existing));
            } else {
                memcpy(existing->address.data(), AddressDescription, existing->address.size());
            }
        }
        if (existing->state == child_state::missing) {
            restore_present(*existing);
        }
        finish_change(list, guard);
        return STATUS_OBJECT_NAME_EXISTS;
    }

    NTSTATUS injected;
    if (sim::fault_should_fail(api, &injected)) {
        return injected;
    }
    auto entry = std::make_unique<child_entry>();
    status = store_identification(list, IdentificationDescription, &entry->description);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (AddressDescription != nullptr) {
        status = store_address(list, AddressDescription, &entry->address);
        if (!NT_SUCCESS(status)) {
            release_identification(list, entry->description);
            return status;
        }
    }
    entry->serial = list->next_serial++;
    list->children.push_back(std::move(entry));
    list->changed = true;
    finish_change(list, guard);
    return STATUS_SUCCESS;
}

NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListUpdateChildDescriptionAsMissing");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListUpdateChildDescriptionAsMissing");
    NTSTATUS status = check_identification(list, IdentificationDescription);
    if (!NT_SUCCESS(status)) return status;
    list_guard guard(list->lock);
    child_entry* e =
        find_locked(list, list->config.EvtChildListIdentificationDescriptionCompare, IdentificationDescription);
    if (e == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    e->state = child_state::missing;
    finish_change(list, guard);
    return STATUS_SUCCESS;
}

VOID WdfChildListUpdateAllChildDescriptionsAsPresent(WDFCHILDLIST ChildList) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListUpdateAllChildDescriptionsAsPresent");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListUpdateAllChildDescriptionsAsPresent");
    list_guard guard(list->lock);
    for (auto& e : list->children) {
        if (e->state == child_state::missing && !e->committed) restore_present(*e);
    }
    finish_change(list, guard);
}

VOID WdfChildListBeginIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListBeginIteration");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListBeginIteration");
    if (Iterator == nullptr || Iterator->Size != sizeof(WDF_CHILD_LIST_ITERATOR)) {
        sim::bug_check(WDF_VIOLATION, "child list iterator with a wrong Size (not initialised?)", Iterator,
                       "WdfChildListBeginIteration");
    }
    if (Iterator->Flags == 0 || (Iterator->Flags & ~static_cast<ULONG>(WdfRetrieveAllChildren)) != 0) {
        sim::bug_check(WDF_VIOLATION, "child list iterator with invalid Flags", Iterator, "WdfChildListBeginIteration");
    }
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (Iterator->Reserved[0] == list) {
        sim::bug_check(WDF_VIOLATION, "iterator already in an iteration of this list", Iterator,
                       "WdfChildListBeginIteration");
    }
    list->iteration_depth++;
    Iterator->Reserved[0] = list;
    Iterator->Reserved[1] = nullptr;  // serial of the last child returned
}

NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator, WDFDEVICE* Device,
                                        PWDF_CHILD_RETRIEVE_INFO Info) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListRetrieveNextDevice");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListRetrieveNextDevice");
    if (Iterator == nullptr || Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    if (Iterator->Size != sizeof(WDF_CHILD_LIST_ITERATOR)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Info != nullptr) {
        if (Info->Size != sizeof(WDF_CHILD_RETRIEVE_INFO)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (Info->IdentificationDescription != nullptr) {
            NTSTATUS status = check_identification(list, Info->IdentificationDescription);
            if (!NT_SUCCESS(status)) return status;
        } else if (Info->EvtChildListIdentificationDescriptionCompare != nullptr) {
            return STATUS_INVALID_PARAMETER;  // nothing to compare with
        }
        if (Info->AddressDescription != nullptr) {
            NTSTATUS status = check_address(list, Info->AddressDescription);
            if (!NT_SUCCESS(status)) return status;
        }
    }
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    if (Iterator->Reserved[0] != list) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const auto last = reinterpret_cast<uintptr_t>(Iterator->Reserved[1]);
    for (auto& e : list->children) {
        if (e->serial <= last || (Iterator->Flags & flag_of(*e)) == 0) continue;
        if (Info != nullptr && Info->EvtChildListIdentificationDescriptionCompare != nullptr &&
            !Info->EvtChildListIdentificationDescriptionCompare(ChildList, Info->IdentificationDescription,
                                                                id_of(*e))) {
            continue;
        }
        Iterator->Reserved[1] = reinterpret_cast<PVOID>(static_cast<uintptr_t>(e->serial));
        *Device = reinterpret_cast<WDFDEVICE>(e->pdo);
        if (Info != nullptr) {
            if (Info->IdentificationDescription != nullptr) {
                copy_identification_out(list, *e, Info->IdentificationDescription);
            }
            if (Info->AddressDescription != nullptr) {
                copy_address_out(list, *e, Info->AddressDescription);
            }
            Info->Status = status_of(*e);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

VOID WdfChildListEndIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListEndIteration");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListEndIteration");
    list_guard guard(list->lock);
    if (Iterator == nullptr || Iterator->Reserved[0] != list || list->iteration_depth == 0) {
        sim::bug_check(WDF_VIOLATION, "WdfChildListEndIteration without WdfChildListBeginIteration", Iterator,
                       "WdfChildListEndIteration");
    }
    Iterator->Reserved[0] = nullptr;
    Iterator->Reserved[1] = nullptr;
    list->iteration_depth--;
    finish_change(list, guard);
}

// As the framework looks a child up: with the list's own compare routine
// (the info's is for iterations); a child reported missing keeps its PDO
// until the PnP manager has removed it. A malformed info finds nothing.
WDFDEVICE WdfChildListRetrievePdo(WDFCHILDLIST ChildList, PWDF_CHILD_RETRIEVE_INFO RetrieveInfo) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListRetrievePdo");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListRetrievePdo");
    if (RetrieveInfo == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL required pointer RetrieveInfo", ChildList, "WdfChildListRetrievePdo");
    }
    if (RetrieveInfo->Size != sizeof(WDF_CHILD_RETRIEVE_INFO) ||
        !NT_SUCCESS(check_identification(list, RetrieveInfo->IdentificationDescription)) ||
        !NT_SUCCESS(check_address(list, RetrieveInfo->AddressDescription))) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    child_entry* e = find_locked(list, list->config.EvtChildListIdentificationDescriptionCompare,
                                 RetrieveInfo->IdentificationDescription);
    if (e == nullptr || (e->state == child_state::missing && e->pdo == nullptr)) {
        RetrieveInfo->Status = WdfChildListRetrieveDeviceNoSuchDevice;
        return nullptr;
    }
    if (RetrieveInfo->AddressDescription != nullptr) {
        copy_address_out(list, *e, RetrieveInfo->AddressDescription);
    }
    if (e->pdo == nullptr) {
        RetrieveInfo->Status = WdfChildListRetrieveDeviceNotYetCreated;
        return nullptr;
    }
    RetrieveInfo->Status = WdfChildListRetrieveDeviceSuccess;
    return reinterpret_cast<WDFDEVICE>(e->pdo);
}

NTSTATUS WdfChildListRetrieveAddressDescription(WDFCHILDLIST ChildList,
                                                PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                                PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListRetrieveAddressDescription");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListRetrieveAddressDescription");
    if (list->config.AddressDescriptionSize == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (AddressDescription == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = check_identification(list, IdentificationDescription);
    if (NT_SUCCESS(status)) status = check_address(list, AddressDescription);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::recursive_mutex> guard(list->lock);
    child_entry* e =
        find_locked(list, list->config.EvtChildListIdentificationDescriptionCompare, IdentificationDescription);
    if (e == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    copy_address_out(list, *e, AddressDescription);
    return STATUS_SUCCESS;
}

BOOLEAN WdfChildListRequestChildEject(WDFCHILDLIST ChildList,
                                      PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    sim::count_framework_call();
    auto* list = validate_list(ChildList, "WdfChildListRequestChildEject");
    require_irql_max(DISPATCH_LEVEL, "WdfChildListRequestChildEject");
    if (!NT_SUCCESS(check_identification(list, IdentificationDescription))) {
        return FALSE;
    }
    device* pdo = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(list->lock);
        child_entry* e =
            find_locked(list, list->config.EvtChildListIdentificationDescriptionCompare, IdentificationDescription);
        if (e == nullptr || e->state != child_state::present) {
            return FALSE;
        }
        pdo = e->pdo;
    }
    request_eject(pdo);
    return TRUE;
}

}  // extern "C"

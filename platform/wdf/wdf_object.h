// The framework's object model: every handle is a real, type-tagged object
// with a parent, children, contexts, cleanup and destroy callbacks and a
// reference count, validated on every call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sched.h"
#include "wdf.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define WDF_OBJECT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define WDF_OBJECT_ASAN 1
#endif
#endif

namespace wdf {

enum class object_type : uint32_t {
    generic,
    driver,
    device,
    collection,
    spin_lock,
    wait_lock,
    string,
    memory,
    key,
    child_list,
    request,
    io_target,
    usb_device,
    usb_interface,
    usb_pipe,
};

const char* type_name(object_type type);

// An object's contexts form a chain headed inside the object, as the
// framework's context headers sit next to theirs: a context lookup walks it
// without a lock. A context is appended under the handle table's writer lock
// (published by the release store of `next`) and stays until the object is
// destroyed, so a reader never sees a link change under it.
struct context_slot {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = nullptr;
    size_t size = 0;
    std::unique_ptr<uint8_t[]> memory;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    std::atomic<context_slot*> next{nullptr};
};

// Fixed size: taking a reference must not allocate (the transfer path
// takes them on every collection add).
struct reference_record {
    PVOID tag;
    LONG line;
    char file[64];  // the end of the name when it is longer
};

class object {
 public:
    explicit object(object_type type);
    virtual ~object();
    object(const object&) = delete;
    object& operator=(const object&) = delete;

    object_type type() const { return type_; }
    object* parent() const { return parent_; }
    bool deleting() const { return delete_requested_; }
    WDFOBJECT handle() { return reinterpret_cast<WDFOBJECT>(this); }

    // Framework-owned objects the driver may not delete itself.
    virtual bool driver_may_delete() const { return true; }
    // Runs before the object's children and cleanup callbacks go: objects that
    // own framework state (a device's child list, a key) release it here.
    virtual void on_delete() {}
    // Runs when the last reference goes, after the destroy callbacks: what
    // outstanding references may still use (a memory object's buffer under a
    // pending request) is released here.
    virtual void on_destroy() {}

    // The object's mark (below): set before the handle is given out, moved on
    // under the object table lock, read without it by every handle check.
    std::atomic<uint64_t> magic_{0};
    object_type type_;  // set at construction, never changed
    object* parent_ = nullptr;
    std::vector<object*> children_;  // guarded by the object table lock
    context_slot contexts_;          // the first context (attach's), heading the chain

    // Every context slot of the object, the first included.
    template <typename F>
    void for_each_context(F f) {
        for (context_slot* slot = &contexts_; slot != nullptr; slot = slot->next.load(std::memory_order_acquire)) {
            f(*slot);
        }
    }
    std::atomic<long> references_{1};  // the creation reference
    // Each object's own, so references taken by unrelated requests never
    // synchronise them (ThreadSanitizer keeps seeing the driver's races).
    std::mutex reference_lock_;
    std::vector<reference_record> tagged_;  // guarded by reference_lock_
    std::atomic<bool> delete_requested_{false};
    bool destroyed_ = false;
    std::string created_by_;  // creating API, for leak reports
};

// Creation: applies the attributes (parent, context, callbacks) and links the
// object into the table. Fails with STATUS_INVALID_PARAMETER for malformed
// attributes, or with an injected fault for `site`.
NTSTATUS attach(object* obj, PWDF_OBJECT_ATTRIBUTES attributes, object* default_parent, const char* site);

// Parent of objects created without one: the driver object.
object* default_parent();

// An object's marks, in the order it goes through them; it never goes back.
constexpr uint64_t live_mark = 0x5744464f424a4543ull;  // "WDFOBJEC"
constexpr uint64_t deleting_mark = live_mark + 1;      // cleanup callbacks running: the handle still serves
constexpr uint64_t deleted_mark = live_mark + 2;       // deleted, still referenced: its contexts stay readable
constexpr uint64_t dead_mark = 0xdeadde1e7edull;       // destroyed; the memory stays until the host purges it

// The mark at a handle, read as the framework decodes a handle to its object:
// no lock, no table. A destroyed object's memory outlives every handle to it,
// so the read is sound for any handle that is or was an object; a pointer
// that cannot be one reads as no mark.
inline uint64_t mark_of(WDFOBJECT handle) {
    const auto address = reinterpret_cast<uintptr_t>(handle);
    if (address < 0x10000 || address % alignof(object) != 0) return 0;
#ifdef WDF_OBJECT_ASAN
    // A stray pointer into a small variable must reach the table's diagnosis, not a report of its own.
    if (__asan_region_is_poisoned(handle, sizeof(object)) != nullptr) return 0;
#endif
    return reinterpret_cast<object*>(handle)->magic_.load(std::memory_order_acquire);
}

// Handle validation: bug check on an unknown, deleted or wrongly typed handle.
// A handle with a live mark passes on the mark alone; any other goes to the
// locked table, which tells a deleted handle from an unknown one.
object* validate_in_table(WDFOBJECT handle, const char* caller);
object* validate_in_table(WDFOBJECT handle, object_type type, const char* caller);
inline object* validate(WDFOBJECT handle, const char* caller) {
    sim::sched::call_entry(caller);
    const uint64_t mark = mark_of(handle);
    if (mark == live_mark || mark == deleting_mark) return reinterpret_cast<object*>(handle);
    return validate_in_table(handle, caller);
}
inline object* validate(WDFOBJECT handle, object_type type, const char* caller) {
    sim::sched::call_entry(caller);
    const uint64_t mark = mark_of(handle);
    if ((mark == live_mark || mark == deleting_mark) && reinterpret_cast<object*>(handle)->type_ == type) {
        return reinterpret_cast<object*>(handle);
    }
    return validate_in_table(handle, type, caller);
}
template <typename T>
T* validate_as(WDFOBJECT handle, object_type type, const char* caller) {
    return static_cast<T*>(validate(handle, type, caller));
}
// A handle that is deleted but still referenced (its destroy callbacks not
// yet run) passes too: what the framework allows on such objects.
object* validate_referenced_in_table(WDFOBJECT handle, const char* caller);
inline object* validate_referenced(WDFOBJECT handle, const char* caller) {
    sim::sched::call_entry(caller);
    const uint64_t mark = mark_of(handle);
    if (mark == live_mark || mark == deleting_mark || mark == deleted_mark) return reinterpret_cast<object*>(handle);
    return validate_referenced_in_table(handle, caller);
}
// True for a live handle (no bug check), for the simulator's own inspection.
bool is_live(WDFOBJECT handle);
// The references an object holds now (its creation reference included), or
// -1 for a handle the table does not know; for tests, read only.
long reference_count(WDFOBJECT handle);

// Deletes an object and its children as WdfObjectDelete does, without the
// driver-side rules (the framework deletes its own objects this way).
void delete_object(object* obj);

void reference(object* obj, PVOID tag, LONG line, PCCH file);
void dereference(object* obj, PVOID tag, LONG line, PCCH file, const char* caller);

// Every live object, for leak checks; the lock guards the object tree
// (parents' children). Handle validation and context lookups do not take it.
std::vector<object*> live_objects();
std::recursive_mutex& table_lock();

// Context of a given type name (the simulator inspects driver contexts by name).
void* context_by_name(WDFOBJECT handle, const char* name);

// Verifier: report objects left alive under `root` (and their outstanding
// references); returns the number of problems.
size_t report_leaks(std::string* report);

// Frees objects whose memory was kept after destruction so that a stale handle
// is recognised rather than reused.
void purge_destroyed();

}  // namespace wdf

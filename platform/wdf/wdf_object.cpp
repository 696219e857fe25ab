#include "wdf/wdf_object.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory_resource>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "sim/kernel.h"
#include "sim/sched.h"

namespace wdf {
namespace {

struct object_table {
    std::recursive_mutex lock;  // the tree: parents' children, the graveyard
    // Readers (a handle check whose mark is not live, the simulator's own
    // inspection) share it; creation, destruction and context allocation take
    // it alone.
    std::shared_mutex handles;
    // The sets' nodes come back to the pool for the next object rather than
    // going through the heap for each one (the sets change only under the
    // writer lock).
    std::pmr::unsynchronized_pool_resource pool;              // guarded by handles
    std::pmr::unordered_set<object*> live{&pool};             // guarded by handles
    std::pmr::unordered_map<void*, object*> contexts{&pool};  // guarded by handles
    // Destroyed objects, kept so stale handles are recognised. Changed with
    // both lock and handles held, read under either: only a handle that is
    // not a live object's is looked up here, and that is a bug check's path.
    std::vector<object*> graveyard;
};

using reader = std::shared_lock<std::shared_mutex>;
using writer = std::unique_lock<std::shared_mutex>;

object_table& table() {
    static object_table* t = new object_table();  // outlives every static destructor
    return *t;
}

// Under either of the table's locks.
bool destroyed(object* obj) {
    const std::vector<object*>& graveyard = table().graveyard;
    return std::find(graveyard.begin(), graveyard.end(), obj) != graveyard.end();
}

void destroy(object* obj);

}  // namespace

const char* type_name(object_type type) {
    switch (type) {
        case object_type::generic:
            return "WDFOBJECT";
        case object_type::driver:
            return "WDFDRIVER";
        case object_type::device:
            return "WDFDEVICE";
        case object_type::collection:
            return "WDFCOLLECTION";
        case object_type::spin_lock:
            return "WDFSPINLOCK";
        case object_type::wait_lock:
            return "WDFWAITLOCK";
        case object_type::string:
            return "WDFSTRING";
        case object_type::memory:
            return "WDFMEMORY";
        case object_type::key:
            return "WDFKEY";
        case object_type::child_list:
            return "WDFCHILDLIST";
        case object_type::request:
            return "WDFREQUEST";
        case object_type::io_target:
            return "WDFIOTARGET";
        case object_type::usb_device:
            return "WDFUSBDEVICE";
        case object_type::usb_interface:
            return "WDFUSBINTERFACE";
        case object_type::usb_pipe:
            return "WDFUSBPIPE";
    }
    return "WDFOBJECT";
}

object::object(object_type type) : type_(type) {}
object::~object() {
    magic_.store(0, std::memory_order_relaxed);  // freed memory never reads as an object's
    context_slot* slot = contexts_.next.load(std::memory_order_relaxed);
    while (slot != nullptr) {
        context_slot* next = slot->next.load(std::memory_order_relaxed);
        delete slot;
        slot = next;
    }
}

std::recursive_mutex& table_lock() { return table().lock; }

NTSTATUS attach(object* obj, PWDF_OBJECT_ATTRIBUTES attributes, object* default_parent, const char* site) {
    NTSTATUS injected;
    if (sim::fault_should_fail(site, &injected)) {
        delete obj;
        return injected;
    }
    object* parent = default_parent;
    context_slot& slot = obj->contexts_;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            sim::bug_check(WDF_VIOLATION, "object attributes with a wrong Size (not initialised?)", attributes, site);
        }
        if (attributes->ExecutionLevel == WdfExecutionLevelInvalid ||
            attributes->ExecutionLevel > WdfExecutionLevelDispatch ||
            attributes->SynchronizationScope == WdfSynchronizationScopeInvalid ||
            attributes->SynchronizationScope > WdfSynchronizationScopeNone) {
            delete obj;
            return STATUS_INVALID_PARAMETER;
        }
        if (attributes->ParentObject != nullptr) {
            parent = validate(attributes->ParentObject, site);
        }
        if (attributes->ContextTypeInfo != nullptr) {
            slot.type = attributes->ContextTypeInfo->UniqueType ? attributes->ContextTypeInfo->UniqueType
                                                                : attributes->ContextTypeInfo;
            slot.size = std::max(slot.type->ContextSize, attributes->ContextSizeOverride);
        } else if (attributes->ContextSizeOverride != 0) {
            delete obj;
            return STATUS_INVALID_PARAMETER;
        }
        slot.cleanup = attributes->EvtCleanupCallback;
        slot.destroy = attributes->EvtDestroyCallback;
    }
    if (slot.size != 0) {
        slot.memory.reset(new uint8_t[slot.size]());
    }
    obj->magic_ = live_mark;
    obj->created_by_ = site;
    std::lock_guard<std::recursive_mutex> guard(table().lock);
    if (parent != nullptr && parent->delete_requested_) {
        sim::bug_check(WDF_VIOLATION, "parent object is being deleted", parent->handle(), site);
    }
    obj->parent_ = parent;
    if (parent != nullptr) {
        parent->children_.push_back(obj);
    }
    writer handles(table().handles);
    if (slot.memory) {
        table().contexts[slot.memory.get()] = obj;
    }
    table().live.insert(obj);
    return STATUS_SUCCESS;
}

object* validate_in_table(WDFOBJECT handle, const char* caller) {
    auto* obj = reinterpret_cast<object*>(handle);
    if (handle == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL handle", handle, caller);
    }
    reader guard(table().handles);
    if (table().live.count(obj) == 0) {
        if (destroyed(obj)) {
            sim::bug_check(WDF_VIOLATION, "use of a deleted handle", handle, caller);
        }
        sim::bug_check(WDF_VIOLATION, "unknown handle", handle, caller);
    }
    if (obj->delete_requested_) {
        sim::bug_check(WDF_VIOLATION, "use of a deleted handle", handle, caller);
    }
    return obj;
}

object* validate_referenced_in_table(WDFOBJECT handle, const char* caller) {
    auto* obj = reinterpret_cast<object*>(handle);
    if (handle == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL handle", handle, caller);
    }
    reader guard(table().handles);
    if (table().live.count(obj) == 0) {
        sim::bug_check(WDF_VIOLATION, destroyed(obj) ? "use of a deleted handle" : "unknown handle", handle, caller);
    }
    return obj;
}

object* validate_in_table(WDFOBJECT handle, object_type type, const char* caller) {
    object* obj = validate_in_table(handle, caller);
    if (obj->type_ != type) {
        std::string rule = std::string("handle of the wrong type (") + type_name(obj->type_) + " where " +
                           type_name(type) + " was expected)";
        sim::bug_check(WDF_VIOLATION, rule.c_str(), handle, caller);
    }
    return obj;
}

bool is_live(WDFOBJECT handle) {
    reader guard(table().handles);
    auto* obj = reinterpret_cast<object*>(handle);
    return table().live.count(obj) != 0 && !obj->delete_requested_;
}

long reference_count(WDFOBJECT handle) {
    reader guard(table().handles);
    auto* obj = reinterpret_cast<object*>(handle);
    if (table().live.count(obj) == 0) {
        return -1;
    }
    return obj->references_.load();
}

void delete_object(object* obj) {
    {
        std::lock_guard<std::recursive_mutex> guard(table().lock);
        if (obj->delete_requested_ || obj->magic_ != live_mark) {
            return;
        }
        obj->magic_ = deleting_mark;
    }
    obj->on_delete();
    std::vector<object*> children;
    {
        std::lock_guard<std::recursive_mutex> guard(table().lock);
        children = obj->children_;
    }
    // Children go first, in the order they were created (as the framework
    // walks its child list), so a child's cleanup still finds its parent.
    for (object* child : children) delete_object(child);
    obj->for_each_context([obj](context_slot& slot) {
        if (slot.cleanup != nullptr) {
            slot.cleanup(obj->handle());
        }
    });
    bool last;
    {
        std::lock_guard<std::recursive_mutex> guard(table().lock);
        obj->delete_requested_ = true;
        obj->magic_ = deleted_mark;
        last = --obj->references_ == 0;
    }
    if (last) {
        destroy(obj);
    }
}

namespace {

void destroy(object* obj) {
    obj->for_each_context([obj](context_slot& slot) {
        if (slot.destroy != nullptr) {
            slot.destroy(obj->handle());
        }
    });
    obj->on_destroy();
    std::lock_guard<std::recursive_mutex> guard(table().lock);
    if (obj->parent_ != nullptr) {
        auto& siblings = obj->parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), obj), siblings.end());
    }
    writer handles(table().handles);
    obj->for_each_context([](context_slot& slot) {
        if (slot.memory) {
            table().contexts.erase(slot.memory.get());
        }
        slot.memory.reset();  // freed now, so a driver touching a stale context trips AddressSanitizer
    });
    obj->destroyed_ = true;
    obj->magic_ = dead_mark;
    table().live.erase(obj);
    table().graveyard.push_back(obj);
}

}  // namespace

void reference(object* obj, PVOID tag, LONG line, PCCH file) {
    std::lock_guard<std::mutex> guard(obj->reference_lock_);
    obj->references_++;
    reference_record record{tag, line, {}};
    if (file != nullptr) {
        const size_t length = strlen(file);
        const char* tail = length < sizeof(record.file) ? file : file + length - (sizeof(record.file) - 1);
        snprintf(record.file, sizeof(record.file), "%s", tail);
    }
    obj->tagged_.push_back(record);
}

void dereference(object* obj, PVOID tag, LONG, PCCH, const char* caller) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(obj->reference_lock_);
        auto it = std::find_if(obj->tagged_.rbegin(), obj->tagged_.rend(),
                               [tag](const reference_record& r) { return r.tag == tag; });
        if (it == obj->tagged_.rend()) {
            sim::bug_check(WDF_VIOLATION, "dereference without a matching reference (tag)", obj->handle(), caller);
        }
        obj->tagged_.erase(std::next(it).base());
        last = --obj->references_ == 0;
    }
    if (last) {
        destroy(obj);
    }
}

std::vector<object*> live_objects() {
    reader guard(table().handles);
    return std::vector<object*>(table().live.begin(), table().live.end());
}

void* context_by_name(WDFOBJECT handle, const char* name) {
    reader guard(table().handles);
    auto* obj = reinterpret_cast<object*>(handle);
    if (table().live.count(obj) == 0) {
        return nullptr;
    }
    void* found = nullptr;
    obj->for_each_context([&found, name](context_slot& slot) {
        if (found == nullptr && slot.type != nullptr && slot.type->ContextName != nullptr &&
            std::string(slot.type->ContextName) == name) {
            found = slot.memory.get();
        }
    });
    return found;
}

size_t report_leaks(std::string* report) {
    size_t problems = 0;
    for (const std::string& finding : sim::verifier_findings()) {
        problems++;
        report->append("verifier finding: " + finding + "\n");
    }
    reader guard(table().handles);
    for (object* obj : table().live) {
        problems++;
        char line[256];
        snprintf(line, sizeof(line), "leaked %s %p (created by %s, %ld references%s)\n", type_name(obj->type_),
                 static_cast<void*>(obj), obj->created_by_, obj->references_.load(),
                 obj->delete_requested_ ? ", deleted" : "");
        report->append(line);
        std::lock_guard<std::mutex> references(obj->reference_lock_);
        for (const auto& r : obj->tagged_) {
            snprintf(line, sizeof(line), "  reference tag %p taken at %s:%d\n", r.tag, r.file, r.line);
            report->append(line);
        }
    }
    return problems;
}

void purge_destroyed() {
    std::lock_guard<std::recursive_mutex> guard(table().lock);
    writer handles(table().handles);
    for (object* obj : table().graveyard) {
        delete obj;
    }
    table().graveyard.clear();
}

}  // namespace wdf

using wdf::object;

extern "C" {

// The framework finds a context from the handle alone, by the headers next
// to the object: so does this lookup, by the object's own mark and its chain,
// with no lock and no table. Only a handle whose mark is not a live object's
// goes to the table, which tells a deleted handle from an unknown one.
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    sim::count_framework_call();
    // Deleted objects' contexts stay readable until their destroy callbacks ran.
    object* obj = wdf::validate_referenced(Handle, "WdfObjectGetTypedContextWorker");
    for (wdf::context_slot* slot = &obj->contexts_; slot != nullptr;
         slot = slot->next.load(std::memory_order_acquire)) {
        if (slot->type == TypeInfo ||
            (slot->type != nullptr && TypeInfo != nullptr && slot->type == TypeInfo->UniqueType)) {
            return slot->memory.get();
        }
    }
    return nullptr;
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context) {
    sim::count_framework_call();
    object* obj = wdf::validate(Handle, "WdfObjectAllocateContext");
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr || Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ContextAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfObjectAllocateContext", &injected)) {
        return injected;
    }
    auto type = ContextAttributes->ContextTypeInfo->UniqueType ? ContextAttributes->ContextTypeInfo->UniqueType
                                                               : ContextAttributes->ContextTypeInfo;
    wdf::writer guard(wdf::table().handles);
    wdf::context_slot* tail = &obj->contexts_;
    for (;;) {
        if (tail->type == type) {
            *Context = tail->memory.get();
            return STATUS_OBJECT_NAME_EXISTS;
        }
        wdf::context_slot* next = tail->next.load(std::memory_order_relaxed);
        if (next == nullptr) break;
        tail = next;
    }
    auto* slot = new wdf::context_slot();
    slot->type = type;
    slot->size = std::max(type->ContextSize, ContextAttributes->ContextSizeOverride);
    slot->memory.reset(new uint8_t[slot->size]());
    slot->cleanup = ContextAttributes->EvtCleanupCallback;
    slot->destroy = ContextAttributes->EvtDestroyCallback;
    *Context = slot->memory.get();
    wdf::table().contexts[slot->memory.get()] = obj;
    // Complete before it is linked: a lookup on another thread may walk to it at once.
    tail->next.store(slot, std::memory_order_release);
    return STATUS_SUCCESS;
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer) {
    sim::count_framework_call();
    wdf::reader guard(wdf::table().handles);
    auto it = wdf::table().contexts.find(ContextPointer);
    if (it == wdf::table().contexts.end()) {
        sim::bug_check(WDF_VIOLATION, "pointer is not an object context", ContextPointer, "WdfObjectContextGetObject");
    }
    return it->second->handle();
}

VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    sim::count_framework_call();
    wdf::reference(wdf::validate(Handle, "WdfObjectReferenceActual"), Tag, Line, File);
}

VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    sim::count_framework_call();
    // A deleted object may still be dereferenced: that is how its last holder lets go.
    object* obj = wdf::validate_referenced(Handle, "WdfObjectDereferenceActual");
    wdf::dereference(obj, Tag, Line, File, "WdfObjectDereferenceActual");
}

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    sim::count_framework_call();
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* obj = new object(wdf::object_type::generic);
    NTSTATUS status = wdf::attach(obj, Attributes, wdf::default_parent(), "WdfObjectCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Object = obj->handle();
    return STATUS_SUCCESS;
}

VOID WdfObjectDelete(WDFOBJECT Object) {
    sim::count_framework_call();
    sim::sched::point("WdfObjectDelete");
    auto* obj = reinterpret_cast<object*>(Object);
    if (wdf::mark_of(Object) != wdf::live_mark) {
        wdf::reader guard(wdf::table().handles);
        bool deleted = wdf::destroyed(obj) || (wdf::table().live.count(obj) != 0 && obj->delete_requested_);
        if (Object != nullptr && deleted) {
            sim::bug_check(WDF_VIOLATION, "object deleted twice", Object, "WdfObjectDelete");
        }
    }
    obj = wdf::validate(Object, "WdfObjectDelete");
    if (!obj->driver_may_delete()) {
        std::string rule = std::string("the driver may not delete a framework-owned ") + wdf::type_name(obj->type_);
        sim::bug_check(WDF_VIOLATION, rule.c_str(), Object, "WdfObjectDelete");
    }
    wdf::delete_object(obj);
    sim::io_release_late();
}

}  // extern "C"

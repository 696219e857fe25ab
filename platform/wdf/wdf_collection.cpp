#include <algorithm>

#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

using namespace wdf;

namespace {

collection_object* validate_collection(WDFCOLLECTION c, const char* caller) {
    require_irql_max(DISPATCH_LEVEL, caller);
    return validate_as<collection_object>(c, object_type::collection, caller);
}

// Takes the item out under the collection's lock; its reference is dropped
// after, outside it (the item may go with it).
object* take_item(collection_object* c, size_t index) {
    object* item = c->items[index];
    c->items.erase(c->items.begin() + static_cast<long>(index));
    return item;
}

}  // namespace

// A collection holds a reference on each item; deleting it lets them go.
void wdf::collection_object::on_delete() {
    for (;;) {
        object* item;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (items.empty()) return;
            item = take_item(this, items.size() - 1);
        }
        dereference(item, this, __LINE__, __FILE__, "WdfObjectDelete");
    }
}

extern "C" {

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfCollectionCreate");
    if (Collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Collection = nullptr;
    auto* c = new collection_object();
    NTSTATUS status = attach(c, CollectionAttributes, default_parent(), "WdfCollectionCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Collection = reinterpret_cast<WDFCOLLECTION>(c);
    return STATUS_SUCCESS;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionGetCount");
    std::lock_guard<std::mutex> guard(c->lock);
    return static_cast<ULONG>(c->items.size());
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionAdd");
    object* item = validate(Object, "WdfCollectionAdd");
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfCollectionAdd", &injected)) {
        return injected;
    }
    reference(item, c, __LINE__, __FILE__);
    std::lock_guard<std::mutex> guard(c->lock);
    c->items.push_back(item);
    return STATUS_SUCCESS;
}

VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionRemove");
    object* item;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        auto it = std::find(c->items.begin(), c->items.end(), reinterpret_cast<object*>(Item));
        if (it == c->items.end()) {
            sim::bug_check(WDF_VIOLATION, "item is not in the collection", Item, "WdfCollectionRemove");
        }
        item = take_item(c, static_cast<size_t>(it - c->items.begin()));
    }
    dereference(item, c, __LINE__, __FILE__, "WdfCollectionRemove");
}

VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionRemoveItem");
    object* item;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        if (Index >= c->items.size()) {
            sim::bug_check(WDF_VIOLATION, "collection index out of range", Collection, "WdfCollectionRemoveItem");
        }
        item = take_item(c, Index);
    }
    dereference(item, c, __LINE__, __FILE__, "WdfCollectionRemoveItem");
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionGetItem");
    std::lock_guard<std::mutex> guard(c->lock);
    return Index < c->items.size() ? c->items[Index]->handle() : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionGetFirstItem");
    std::lock_guard<std::mutex> guard(c->lock);
    return c->items.empty() ? nullptr : c->items.front()->handle();
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
    sim::count_framework_call();
    auto* c = validate_collection(Collection, "WdfCollectionGetLastItem");
    std::lock_guard<std::mutex> guard(c->lock);
    return c->items.empty() ? nullptr : c->items.back()->handle();
}

}  // extern "C"

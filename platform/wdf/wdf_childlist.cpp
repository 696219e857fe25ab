#include "wdf/wdf_childlist.h"

#include "sim/kernel.h"

namespace wdf {

NTSTATUS create_default_child_list(device* owner, const WDF_CHILD_LIST_CONFIG& config) {
    auto* list = new child_list();
    list->owner = owner;
    list->config = config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = owner->handle();
    NTSTATUS status = attach(list, &attributes, owner, "WdfChildListCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    owner->default_child_list = list;
    return STATUS_SUCCESS;
}

void child_list::on_delete() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    children.clear();
}

}  // namespace wdf

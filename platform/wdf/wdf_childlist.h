// Child lists: the bus driver's record of its children's identification
// descriptions, and the PDOs created for them.
#pragma once

#include <vector>

#include "wdf/wdf_internal.h"

namespace wdf {

enum class child_state { pending, present, missing };

struct child_entry {
    std::vector<uint8_t> description;  // the framework's own copy
    child_state state = child_state::pending;
    bool reported_in_scan = false;
    device* pdo = nullptr;
    bool create_failed = false;
};

class child_list : public object {
   public:
    child_list() : object(object_type::child_list) {}
    bool driver_may_delete() const override { return false; }
    void on_delete() override;

    device* owner = nullptr;
    WDF_CHILD_LIST_CONFIG config{};
    std::vector<std::unique_ptr<child_entry>> children;  // guarded by lock
    std::recursive_mutex lock;
    int scan_depth = 0;
    int iteration_depth = 0;
};

// Creates the child list of a device whose init asked for a default one.
NTSTATUS create_default_child_list(device* owner, const WDF_CHILD_LIST_CONFIG& config);

}  // namespace wdf

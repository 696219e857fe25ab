// Every slot of the bus interface through the same misuses, as tables: before
// the data path exists and after it is gone, twice in a row, from inside the
// child's read completion and notification callback (DISPATCH_LEVEL), and from
// several threads at once. Each row names the slot and what it returns.
#include "abuse/abuse_fixture.h"
#include "sim/kernel.h"

namespace cdc::abuse_test {
namespace {

// One caller's arguments; an asynchronous read keeps its buffer until it
// completes, so every thread has its own.
struct scratch {
    UCHAR buffer[512] = {};
    ULONG bytes = 0;
    UCHAR length = 0;
    USHORT chars = 0;
    USHORT total = 0;
    ULONG value = 0;
    UCHAR protocol = 0;
    WCHAR text[64] = {};
    UNICODE_STRING string = {0, 0, nullptr};
    USB_DEVICE_DESCRIPTOR device_desc = {};
};

struct caller {
    CDC_BUS_INTERFACE* bus;
    WDFDEVICE child;
    completions* done;
};

LONG open_cb(PVOID) { return 1; }
LONG final_cb(PVOID) { return 0; }
LONG msg_cb(PVOID, ULONG_PTR) { return 0; }
VOID quiet_notify(PVOID, PVOID, ULONG) {}
int cbs_ctx;
int msg_ctx;
int notify_ctx;

UCHAR line_coding_setup[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
UCHAR write_text[3] = {'A', 'T', '\r'};

using call_fn = int64_t (*)(caller&, scratch&);

enum kind { status_result, boolean_result, value_result, no_result };

struct slot {
    const char* name;
    call_fn call;
    kind result;
    // Gives back what one successful call took; NULL when nothing is held.
    void (*undo)(caller&);
};

#define SLOT(name, result, undo, ...)                                               \
    slot {                                                                          \
#name, [](caller& c, scratch& s) -> int64_t { (void)s; __VA_ARGS__; }, result, undo \
    }

void undo_enable(caller& c) { c.bus->cdc_transport_disable(c.child); }
void undo_notify(caller& c) { c.bus->cdc_set_notify_cb(c.child, nullptr, nullptr); }
void undo_init(caller& c) { c.bus->cdc_data_io_uninit(c.child); }
void undo_cbs(caller& c) { c.bus->cdc_data_io_ctrl_cbs_uninit(c.child); }
void undo_msg(caller& c) { c.bus->qd_children_msg_set(c.child, nullptr, nullptr); }
void undo_reference(caller& c) { c.bus->header.InterfaceDereference(c.child); }
void redo_reference(caller& c) { c.bus->header.InterfaceReference(c.child); }

const slot slots[] = {
    SLOT(class_control_sync, status_result, nullptr,
         return c.bus->class_control_sync(c.child, TRUE, 0x21, 0, 7, s.buffer, &s.bytes, 0)),
    SLOT(generic_control_sync, status_result, nullptr,
         return c.bus->generic_control_sync(c.child, line_coding_setup, s.buffer, 7, &s.bytes, 0)),
    SLOT(class_control_async, status_result, nullptr,
         return c.bus->class_control_async(c.child, TRUE, 0x21, 0, 7, s.buffer, completions::callback, c.done, nullptr,
                                           0)),
    SLOT(generic_control_async, status_result, nullptr,
         return c.bus->generic_control_async(c.child, line_coding_setup, s.buffer, 7, completions::callback, c.done,
                                             nullptr, 0)),
    SLOT(cdc_transport_enable, status_result, undo_enable, return c.bus->cdc_transport_enable(c.child)),
    SLOT(cdc_transport_disable, status_result, nullptr, return c.bus->cdc_transport_disable(c.child)),
    SLOT(cdc_restart_io_target, status_result, nullptr, return c.bus->cdc_restart_io_target(c.child, TRUE)),
    SLOT(cdc_data_in_async, boolean_result, nullptr,
         return c.bus->cdc_data_in_async(c.child, s.buffer, 64, completions::callback, c.done, 0)),
    SLOT(cdc_data_out_async, boolean_result, nullptr,
         return c.bus->cdc_data_out_async(c.child, write_text, sizeof(write_text), completions::callback, c.done, 0)),
    SLOT(cdc_data_in_sync, boolean_result, nullptr, return c.bus->cdc_data_in_sync(c.child, s.buffer, 64, 0)),
    SLOT(cdc_data_out_sync, boolean_result, nullptr,
         return c.bus->cdc_data_out_sync(c.child, write_text, sizeof(write_text), 0)),
    SLOT(cdc_set_notify_cb, boolean_result, undo_notify,
         return c.bus->cdc_set_notify_cb(c.child, &notify_ctx, quiet_notify)),
    SLOT(cdc_inout_purge, status_result, nullptr, return c.bus->cdc_inout_purge(c.child, TRUE)),
    SLOT(cdc_get_functional_descriptor, status_result, nullptr, s.length = 64;
         return c.bus->cdc_get_functional_descriptor(c.child, 0, s.buffer, &s.length)),
    SLOT(cdc_get_string, status_result, nullptr, s.string = {0, sizeof(s.text), s.text}; s.chars = 64;
         return c.bus->cdc_get_string(c.child, 1, &s.string, &s.chars)),
    SLOT(qd_get_maxps, status_result, nullptr,
         return c.bus->qd_get_maxps(c.child, &s.value, &s.value, &s.value, &s.length)),
    SLOT(cdc_data_io_init, status_result, undo_init, return c.bus->cdc_data_io_init(c.child, 2, 2)),
    SLOT(cdc_data_io_uninit, status_result, nullptr, return c.bus->cdc_data_io_uninit(c.child)),
    SLOT(cdc_data_io_ctrl_cbs_init, status_result, undo_cbs,
         return c.bus->cdc_data_io_ctrl_cbs_init(c.child, 1, final_cb, final_cb, open_cb, nullptr, nullptr, &cbs_ctx)),
    SLOT(cdc_data_io_ctrl_cbs_uninit, no_result, nullptr, c.bus->cdc_data_io_ctrl_cbs_uninit(c.child); return 0),
    SLOT(qd_reset_device, status_result, nullptr, return c.bus->qd_reset_device(c.child)),
    SLOT(dfu_get_functional_descriptor, status_result, nullptr,
         return c.bus->dfu_get_functional_descriptor(c.child, s.buffer)),
    SLOT(qd_get_func_protocol, status_result, nullptr, return c.bus->qd_get_func_protocol(c.child, &s.protocol)),
    SLOT(qd_get_device_descriptor, status_result, nullptr,
         return c.bus->qd_get_device_descriptor(c.child, &s.device_desc)),
    SLOT(qd_get_configuration_descriptor_copyout, status_result, nullptr,
         return c.bus->qd_get_configuration_descriptor_copyout(c.child, s.buffer, &s.total)),
    SLOT(reserved1, status_result, nullptr, return c.bus->reserved1(c.child)),
    SLOT(reserved2, status_result, nullptr, return c.bus->reserved2(c.child)),
    SLOT(qd_get_idle_timeout, status_result, nullptr, return c.bus->qd_get_idle_timeout(c.child, &s.value)),
    SLOT(control_request_purge, status_result, nullptr, return c.bus->control_request_purge(c.child)),
    SLOT(qd_is_ext_ctrl_enabled, boolean_result, nullptr, return c.bus->qd_is_ext_ctrl_enabled(c.child)),
    SLOT(qd_ui_number_get, value_result, nullptr, return c.bus->qd_ui_number_get(c.child)),
    SLOT(qd_is_zlp_enabled, boolean_result, nullptr, return c.bus->qd_is_zlp_enabled(c.child)),
    SLOT(qd_children_msg_set, no_result, undo_msg, c.bus->qd_children_msg_set(c.child, msg_cb, &msg_ctx); return 0),
    SLOT(qd_children_msg_send, status_result, nullptr, return c.bus->qd_children_msg_send(c.child, 1, &s.value)),
    SLOT(qd_is_idle, boolean_result, nullptr, return c.bus->qd_is_idle(c.child)),
    SLOT(qd_device_wakeup_sync, status_result, nullptr, return c.bus->qd_device_wakeup_sync(c.child, FALSE)),
    SLOT(qd_notify_child_not_in_use, status_result, nullptr, return c.bus->qd_notify_child_not_in_use(c.child)),
    SLOT(qd_clear_data, status_result, nullptr, return c.bus->qd_clear_data(c.child)),
    SLOT(qd_abort_reads, status_result, nullptr, return c.bus->qd_abort_reads(c.child)),
    SLOT(InterfaceReference, no_result, undo_reference, c.bus->header.InterfaceReference(c.child); return 0),
    SLOT(InterfaceDereference, no_result, redo_reference, c.bus->header.InterfaceDereference(c.child); return 0),
};

constexpr size_t slot_count = sizeof(slots) / sizeof(slots[0]);

constexpr int64_t ok = STATUS_SUCCESS;
constexpr int64_t pending = STATUS_PENDING;
constexpr int64_t busy_channel = STATUS_DEVICE_BUSY;
constexpr int64_t wrong_state = STATUS_INVALID_DEVICE_STATE;
constexpr int64_t not_found = STATUS_NOT_FOUND;
constexpr int64_t yes = TRUE;
constexpr int64_t no = FALSE;
constexpr int64_t none = 0;

// What each slot returns, the same in both modes. Before init: a fresh child,
// nothing opened; after uninit: the data path opened and closed again
// (`sends`: whether USB traffic goes out, before and after). Twice: two calls in a row with the data
// path open. From callbacks: inside a read completion and inside the
// notification callback, at DISPATCH_LEVEL. Concurrent: what 4 threads of 10
// calls each may see.
struct expected {
    const char* slot;
    int64_t before_init;
    int64_t after_uninit;
    bool sends_before;
    bool sends_after;
    int64_t first;
    int64_t second;
    int64_t from_callbacks;
    std::vector<int64_t> concurrent;
};

// clang-format off
const expected results[] = {
    // slot                                   before       after         sends  after  first    second        callbacks    concurrent
    {"class_control_sync",                    ok,          busy_channel, true, false,  ok,      ok,           wrong_state, {ok, busy_channel}},
    {"generic_control_sync",                  ok,          busy_channel, true, false,  ok,      ok,           wrong_state, {ok, busy_channel}},
    {"class_control_async",                   wrong_state, busy_channel, false, false, pending, busy_channel, pending,     {pending, busy_channel}},
    {"generic_control_async",                 wrong_state, busy_channel, false, false, pending, busy_channel, pending,     {pending, busy_channel}},
    {"cdc_transport_enable",                  ok,          ok,           false, false, ok,      ok,           wrong_state, {ok}},
    {"cdc_transport_disable",                 ok,          ok,           false, false, ok,      ok,           wrong_state, {ok}},
    {"cdc_restart_io_target",                 ok,          ok,           true, true,  ok,      ok,           wrong_state, {ok}},
    {"cdc_data_in_async",                     no,          no,           false, false, yes,     yes,          yes,         {yes, no}},
    {"cdc_data_out_async",                    no,          no,           false, false, yes,     yes,          yes,         {yes, no}},
    {"cdc_data_in_sync",                      no,          no,           false, false, yes,     yes,          no,          {yes, no}},
    {"cdc_data_out_sync",                     no,          no,           false, false, yes,     yes,          no,          {yes, no}},
    {"cdc_set_notify_cb",                     yes,         yes,          false, false, yes,     yes,          yes,         {yes}},
    {"cdc_inout_purge",                       ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_get_functional_descriptor",         ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_get_string",                        ok,          ok,           true, true,  ok,      ok,           wrong_state, {ok}},
    {"qd_get_maxps",                          ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_data_io_init",                      ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_data_io_uninit",                    ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_data_io_ctrl_cbs_init",             ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"cdc_data_io_ctrl_cbs_uninit",           none,        none,         false, false, none,    none,         none,        {none}},
    {"qd_reset_device",                       ok,          ok,           true, true,  ok,      ok,           wrong_state, {ok}},
    {"dfu_get_functional_descriptor",         not_found,   not_found,    false, false, not_found, not_found,  not_found,   {not_found}},
    {"qd_get_func_protocol",                  ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_get_device_descriptor",              ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_get_configuration_descriptor_copyout", ok,        ok,           false, false, ok,      ok,           ok,          {ok}},
    {"reserved1",                             ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"reserved2",                             ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_get_idle_timeout",                   ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"control_request_purge",                 ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_is_ext_ctrl_enabled",                no,          no,           false, false, no,      no,           no,          {no}},
    {"qd_ui_number_get",                      0,           0,            false, false, 0,       0,            0,           {0}},
    {"qd_is_zlp_enabled",                     yes,         yes,          false, false, yes,     yes,          yes,         {yes}},
    {"qd_children_msg_set",                   none,        none,         false, false, none,    none,         none,        {none}},
    {"qd_children_msg_send",                  ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_is_idle",                            no,          no,           false, false, no,      no,           no,          {no}},
    {"qd_device_wakeup_sync",                 ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_notify_child_not_in_use",            ok,          ok,           false, false, ok,      ok,           ok,          {ok}},
    {"qd_clear_data",                         ok,          ok,           true, true,  ok,      ok,           wrong_state, {ok}},
    {"qd_abort_reads",                        ok,          ok,           false, false, ok,      ok,           wrong_state, {ok}},
    {"InterfaceReference",                    none,        none,         false, false, none,    none,         none,        {none}},
    {"InterfaceDereference",                  none,        none,         false, false, none,    none,         none,        {none}},
};
// clang-format on

static_assert(sizeof(results) / sizeof(results[0]) == slot_count, "one row of results per slot");

bool completes(const slot& s) {
    return strcmp(s.name, "class_control_async") == 0 || strcmp(s.name, "generic_control_async") == 0 ||
           strcmp(s.name, "cdc_data_in_async") == 0 || strcmp(s.name, "cdc_data_out_async") == 0;
}

bool took_something(const slot& s, int64_t result) {
    switch (s.result) {
        case status_result:
            return NT_SUCCESS(static_cast<NTSTATUS>(result)) && result != absent && result != STATUS_PENDING;
        case boolean_result:
            return result != FALSE;
        default:
            return true;
    }
}

using slot_case = std::tuple<mode, size_t>;

class each_slot : public basic_abuse<slot_case> {
 public:
    const slot& row() const { return slots[std::get<1>(GetParam())]; }
    const expected& want() const { return results[std::get<1>(GetParam())]; }

    // One call; an accepted asynchronous one is counted to be completed.
    int64_t call(scratch& s) {
        caller c{&bus_, child_, &done_};
        const int64_t result = row().call(c, s);
        if (completes(row()) && (result == STATUS_PENDING || result == TRUE)) accepted_++;
        return result;
    }
    scratch scratch_[5];

 protected:
    void SetUp() override {
        basic_abuse<slot_case>::SetUp();
        ASSERT_STREQ(row().name, want().slot);
    }

    void undo(int64_t result) {
        if (row().undo != nullptr && took_something(row(), result)) {
            caller c{&bus_, child_, &done_};
            row().undo(c);
        }
    }

    // Reads still out are purged; every accepted transfer has completed once;
    // the child takes back whatever the slot left open, and nothing of the
    // data path or the notification reader is left.
    void close_whatever() {
        bus_.cdc_inout_purge(child_, TRUE);
        host_->settle();
        ASSERT_TRUE(done_.wait_for(accepted_));
        EXPECT_EQ(done_.all().size(), static_cast<size_t>(accepted_));
        bus_.cdc_transport_disable(child_);
        bus_.cdc_data_io_uninit(child_);
        bus_.cdc_data_io_ctrl_cbs_uninit(child_);
        bus_.qd_children_msg_set(child_, nullptr, nullptr);
        host_->settle();
        EXPECT_EQ(fdx()->enable_count, 0);
        EXPECT_EQ(fdx()->data_io_count, 0);
        EXPECT_EQ(fdx()->ref_count, 0);
        // The control channel is free, or stopped with the data path closed.
        EXPECT_NE(ReadAcquire(&fdx()->control_req_state), 1);
        EXPECT_EQ(device_->pending(notify_in), 0u);
        EXPECT_EQ(device_->pending(data_in), 0u);
    }

    // A refusal above PASSIVE_LEVEL: LEVEL, or FALSE from a synchronous transfer.
    bool refused(int64_t result) const {
        return result == wrong_state ||
               (row().result == boolean_result && result == FALSE && strstr(row().name, "_sync") != nullptr);
    }

    // Trace lines of a slot refused above PASSIVE_LEVEL.
    static size_t refusals() {
        size_t n = 0;
        for (const auto& line : sim::debugger_lines()) {
            if (line.find("called above PASSIVE_LEVEL") != std::string::npos ||
                line.find("no completion callback above PASSIVE_LEVEL") != std::string::npos) {
                n++;
            }
        }
        return n;
    }

    completions done_;
    std::atomic<int> accepted_{0};
};

using slot_misuse = each_slot;

TEST_P(slot_misuse, before_init) {
    const auto before = device_->traffic().size();
    const int64_t result = call(scratch_[0]);
    EXPECT_EQ(result, want().before_init);
    EXPECT_EQ(device_->traffic().size() > before, want().sends_before);
    undo(result);
    close_whatever();
}

TEST_P(slot_misuse, after_uninit) {
    open_data_path();
    close_data_path();
    const auto before = device_->traffic().size();
    const int64_t result = call(scratch_[0]);
    EXPECT_EQ(result, want().after_uninit);
    EXPECT_EQ(device_->traffic().size() > before, want().sends_after);
    undo(result);
    close_whatever();
}

TEST_P(slot_misuse, twice) {
    open_data_path();
    // What the synchronous read waits for.
    device_->push_in(data_in, {'A'});
    device_->push_in(data_in, {'B'});
    // An asynchronous control transfer the device holds keeps the channel
    // for the second call; the purge ends it.
    const bool held = strstr(row().name, "control_async") != nullptr;
    if (held) device_->hold_next_control(sim::usb::match::any);
    const int64_t first = call(scratch_[0]);
    const int64_t second = call(scratch_[1]);
    EXPECT_EQ(first, want().first);
    EXPECT_EQ(second, want().second);
    if (held) {
        EXPECT_EQ(bus_.control_request_purge(child_), STATUS_SUCCESS);
    }
    undo(second);
    undo(first);
    close_whatever();
}

TEST_P(slot_misuse, from_a_read_completion) {
    open_data_path();
    UCHAR read[64] = {};
    completions reads;
    std::atomic<int64_t> result{-1};
    std::atomic<int> irql{-1};
    reads.on_complete([&](NTSTATUS, ULONG) {
        if (irql == -1) {
            irql = KeGetCurrentIrql();
            result = call(scratch_[0]);
        }
    });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &reads, 0));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(reads.wait_for(1));
    host_->settle();
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(result, want().from_callbacks);
    EXPECT_EQ(refusals(), refused(result) ? 1u : 0u);
    undo(result);
    close_whatever();
}

each_slot* notified_test;
std::atomic<int64_t> notified_result;
std::atomic<int> notified_irql;

VOID calling_notify(PVOID, PVOID, ULONG) {
    int unset = -1;
    if (notified_irql.compare_exchange_strong(unset, KeGetCurrentIrql())) {
        notified_result = notified_test->call(notified_test->scratch_[0]);
    }
}

TEST_P(slot_misuse, from_the_notification_callback) {
    open_data_path();
    notified_test = this;
    notified_result = -1;
    notified_irql = -1;
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &notify_ctx, calling_notify));
    device_->push_in(notify_in, {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0});
    ASSERT_TRUE(eventually([&] { return notified_result != -1; }));
    host_->settle();
    EXPECT_EQ(notified_irql, DISPATCH_LEVEL);
    EXPECT_EQ(notified_result, want().from_callbacks);
    EXPECT_EQ(refusals(), refused(notified_result) ? 1u : 0u);
    undo(notified_result);
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    close_whatever();
}

TEST_P(slot_misuse, from_several_threads) {
    constexpr int threads = 4;
    constexpr int rounds = 10;
    open_data_path();
    // Enough for every synchronous read to end.
    for (int i = 0; i < threads * rounds; i++) device_->push_in(data_in, {'A'});
    const LONG refs = pdx()->cdc_ref_count;
    sim::debugger_clear();
    std::mutex lock;
    std::vector<int64_t> all;
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            ready++;
            while (ready < threads) std::this_thread::yield();
            for (int r = 0; r < rounds; r++) {
                const int64_t result = call(scratch_[t]);
                std::lock_guard<std::mutex> guard(lock);
                all.push_back(result);
            }
        });
    }
    for (auto& t : pool) t.join();
    // The reference count is interlocked: no call is lost, and it never
    // goes below 0 (the fixture holds the one reference of the query).
    if (strcmp(row().name, "InterfaceReference") == 0) {
        EXPECT_EQ(pdx()->cdc_ref_count, refs + threads * rounds);
    }
    if (strcmp(row().name, "InterfaceDereference") == 0) {
        EXPECT_EQ(pdx()->cdc_ref_count, 0);
        EXPECT_EQ(traced("usb_cdc_dereference: ref is already 0"), static_cast<size_t>(threads * rounds - refs));
    }
    const auto& allowed = want().concurrent;
    for (int64_t r : all) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), r), allowed.end()) << std::hex << r;
    }
    for (int64_t r : all) undo(r);
    close_whatever();
}

// The asynchronous slots called again from inside their own completion: the
// second call is accepted (the record or the control channel went back before
// the callback) and completes too.
using from_own_completion = each_slot;

TEST_P(from_own_completion, the_call_again_is_accepted_and_completes) {
    open_data_path();
    device_->push_in(data_in, {'A'});
    device_->push_in(data_in, {'B'});
    std::atomic<int64_t> again{-1};
    std::atomic<int> irql{-1};
    done_.on_complete([&](NTSTATUS, ULONG) {
        int unset = -1;
        if (irql.compare_exchange_strong(unset, KeGetCurrentIrql())) again = call(scratch_[1]);
    });
    const int64_t first = call(scratch_[0]);
    ASSERT_TRUE(done_.wait_for(2));
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_EQ(again, first);
    close_whatever();
}

std::vector<slot_case> async_cases() {
    std::vector<slot_case> cases;
    for (mode m : {mode::direct, mode::control}) {
        for (size_t i = 0; i < slot_count; i++) {
            if (completes(slots[i])) cases.emplace_back(m, i);
        }
    }
    return cases;
}

std::vector<slot_case> all_cases() {
    std::vector<slot_case> cases;
    for (mode m : {mode::direct, mode::control}) {
        for (size_t i = 0; i < slot_count; i++) cases.emplace_back(m, i);
    }
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<slot_case>& info) {
    return std::string(std::get<0>(info.param) == mode::direct ? "usb_direct_" : "control_device_") +
           slots[std::get<1>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(slots, slot_misuse, ::testing::ValuesIn(all_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(slots, from_own_completion, ::testing::ValuesIn(async_cases()), case_name);

}  // namespace
}  // namespace cdc::abuse_test

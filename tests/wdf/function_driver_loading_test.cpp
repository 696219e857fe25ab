// The PnP manager loads a function driver on each started child PDO by its
// IDs, opens and closes it for the scenario, and unloads it before the bus
// driver hears of the PDO's removal.
#include <gtest/gtest.h>

#include "tests/wdf/test_bus_driver.h"

namespace test_bus {
namespace {

using strings = std::vector<std::string>;

// A driver that only records what the PnP manager and the scenario ask of it.
class recording_driver : public sim::function_driver {
 public:
    recording_driver(std::string name, std::shared_ptr<strings> journal)
        : name_(std::move(name)), journal_(std::move(journal)) {}
    ~recording_driver() override { journal_->push_back(name_ + ": destroyed"); }
    std::string name() const override { return name_; }
    NTSTATUS open() override {
        journal_->push_back(name_ + ": open");
        if (NT_SUCCESS(open_status)) open_ = true;
        return open_status;
    }
    void close() override {
        journal_->push_back(name_ + ": close");
        open_ = false;
    }
    bool is_open() const override { return open_; }
    void removing(bool surprise) override { journal_->push_back(name_ + (surprise ? ": surprise" : ": removing")); }

    NTSTATUS open_status = STATUS_SUCCESS;

 private:
    std::string name_;
    std::shared_ptr<strings> journal_;  // outlives the fixture: the host unloads drivers last
    bool open_ = false;
};

class function_driver_loading : public bus_test {
 protected:
    std::shared_ptr<strings> journal_ptr = std::make_shared<strings>();
    strings& journal = *journal_ptr;

    sim::function_driver_factory factory(const std::string& name) {
        std::shared_ptr<strings> j = journal_ptr;
        return [j, name](WDFDEVICE) { return std::make_unique<recording_driver>(name, j); };
    }
    WDFDEVICE start_child(ULONG serial) {
        if (bus == nullptr) start_bus();
        report(serial);
        host.settle();
        return pdo_of(serial);
    }
    std::string loaded(WDFDEVICE pdo) const {
        sim::function_driver* driver = host.function_driver_of(pdo);
        return driver == nullptr ? "(none)" : driver->name();
    }
    strings log_since(size_t from) const {
        strings out;
        for (size_t i = from; i < host.pnp_log().size(); ++i) out.push_back(host.pnp_log()[i].name);
        return out;
    }
};

TEST_F(function_driver_loading, a_hardware_id_outranks_a_compatible_id_and_case_does_not_matter) {
    host.register_function_driver("TESTBUS\\child", factory("by-compatible"));
    host.register_function_driver("testbus\\CHILD_1", factory("by-hardware"));
    EXPECT_EQ(loaded(start_child(1)), "by-hardware");
    EXPECT_EQ(loaded(start_child(2)), "by-compatible");
}

TEST_F(function_driver_loading, the_default_driver_takes_what_nothing_matches_and_without_one_nothing_loads) {
    host.register_function_driver("testbus\\CHILD_1", factory("specific"));
    EXPECT_EQ(loaded(start_child(2)), "(none)");
    host.set_default_function_driver(factory("default"));
    EXPECT_EQ(loaded(start_child(3)), "default");
    EXPECT_EQ(loaded(start_child(1)), "specific");
    EXPECT_EQ(host.open(pdo_of(2)), STATUS_NO_SUCH_DEVICE);
}

TEST_F(function_driver_loading, a_later_registration_of_an_id_replaces_the_earlier) {
    host.register_function_driver("testbus\\CHILD", factory("first"));
    host.register_function_driver("TESTBUS\\CHILD", factory("second"));
    EXPECT_EQ(loaded(start_child(1)), "second");
}

TEST_F(function_driver_loading, the_driver_loads_after_the_pdo_started_and_not_when_its_start_failed) {
    host.set_default_function_driver(factory("default"));
    start_bus();
    size_t mark = host.pnp_log().size();
    WDFDEVICE pdo = start_child(1);
    strings steps = log_since(mark);
    ASSERT_GE(steps.size(), 2u);
    EXPECT_EQ(steps[steps.size() - 2], "self_managed_io_init");
    EXPECT_EQ(steps.back(), "function_driver_load(default)");
    EXPECT_EQ(loaded(pdo), "default");

    config().pdo_prepare_status = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(loaded(start_child(2)), "(none)");
}

TEST_F(function_driver_loading, open_and_close_reach_the_driver_and_a_second_open_is_refused) {
    host.set_default_function_driver(factory("d"));
    WDFDEVICE pdo = start_child(1);
    EXPECT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_EQ(host.open(pdo), STATUS_ACCESS_DENIED);
    host.close(pdo);
    host.close(pdo);  // not open: nothing
    EXPECT_EQ(journal, (strings{"d: open", "d: close"}));

    auto* driver = static_cast<recording_driver*>(host.function_driver_of(pdo));
    driver->open_status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(host.open(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(driver->is_open());
}

TEST_F(function_driver_loading, an_open_driver_is_closed_and_unloaded_before_the_bus_driver_removes_the_pdo) {
    host.set_default_function_driver(factory("d"));
    WDFDEVICE pdo = start_child(1);
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    size_t mark = host.pnp_log().size();
    host.remove_device(*bus);
    strings steps = log_since(mark);
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[0], "function_driver_close");
    EXPECT_EQ(steps[1], "function_driver_unload");
    EXPECT_EQ(steps[2], "self_managed_io_suspend");  // the PDO's first removal callback
    EXPECT_EQ(journal, (strings{"d: open", "d: removing", "d: close", "d: destroyed"}));
}

TEST_F(function_driver_loading, a_child_gone_missing_is_a_surprise_to_its_driver_and_a_closed_one_is_not_closed) {
    host.set_default_function_driver(factory("d"));
    WDFDEVICE pdo = start_child(1);
    report_missing(1);
    host.settle();
    EXPECT_EQ(host.function_driver_of(pdo), nullptr);
    EXPECT_EQ(journal, (strings{"d: surprise", "d: destroyed"}));
}

}  // namespace
}  // namespace test_bus

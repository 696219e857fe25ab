// Fault injection: each creating or allocating service asks here whether this
// call must fail.
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "sim/kernel.h"

namespace {

struct armed_fault {
    unsigned remaining;  // calls until the failing one, that one included
    NTSTATUS status;
};

struct fault_state {
    std::mutex lock;
    std::map<std::string, armed_fault, std::less<>> armed;  // guarded by lock
    std::map<std::string, uint64_t, std::less<>> calls;     // guarded by lock
    // The entry of `calls` each site's text was last found at, by the text's
    // address: a site is nearly always a literal, so most calls find their
    // counter without searching by name. Guarded by lock.
    std::unordered_map<const char*, std::pair<const std::string, uint64_t>*> by_address;
    std::string last_failed;                                            // guarded by lock
    std::map<std::string, std::function<void()>, std::less<>> actions;  // guarded by lock
};

fault_state& faults() {
    static auto* s = new fault_state;
    return *s;
}

constexpr std::string_view kEverySite = "*";

// Counts one call against an armed fault; true when this call is the one.
bool count_down(fault_state& s, std::string_view site, bool* failed, NTSTATUS* status) {
    const auto it = s.armed.find(site);
    if (it == s.armed.end() || --it->second.remaining != 0) return false;
    if (!*failed) *status = it->second.status;
    *failed = true;
    s.armed.erase(it);
    return true;
}

}  // namespace

namespace sim {

void fault_fail_nth(const std::string& site, unsigned nth, NTSTATUS status) {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    if (nth == 0)
        s.armed.erase(site);
    else
        s.armed[site] = armed_fault{nth, status};
}

void fault_on_call(const std::string& site, std::function<void()> action) {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.actions[site] = std::move(action);
}

bool fault_should_fail(const char* site, NTSTATUS* status) {
    const std::string_view name = site != nullptr ? site : "";
    fault_state& s = faults();
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        const auto it = s.actions.find(name);
        if (it != s.actions.end()) {
            action = std::move(it->second);
            s.actions.erase(it);
        }
    }
    if (action) action();
    std::lock_guard<std::mutex> guard(s.lock);
    // Looked up by view so the steady path allocates nothing once a site is known.
    // Texts built at run time would each add an address: they start over.
    if (s.by_address.size() > 2 * s.calls.size() + 64) s.by_address.clear();
    auto*& known = s.by_address[name.data()];
    if (known == nullptr || known->first != name) {
        auto counter = s.calls.find(name);
        if (counter == s.calls.end()) counter = s.calls.emplace(std::string(name), 0).first;
        known = &*counter;
    }
    ++known->second;
    bool failed = false;
    NTSTATUS result = STATUS_SUCCESS;
    count_down(s, name, &failed, &result);
    if (name != kEverySite) count_down(s, kEverySite, &failed, &result);
    if (failed) {
        s.last_failed.assign(name);
        if (status != nullptr) *status = result;
    }
    return failed;
}

uint64_t fault_site_calls(const std::string& site) {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    if (site == kEverySite) {
        uint64_t total = 0;
        for (const auto& entry : s.calls) total += entry.second;
        return total;
    }
    const auto it = s.calls.find(site);
    return it != s.calls.end() ? it->second : 0;
}

std::string fault_last_failed_site() {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.last_failed;
}

void fault_reset() {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.armed.clear();
    s.calls.clear();
    s.by_address.clear();
    s.last_failed.clear();
    s.actions.clear();
}

}  // namespace sim

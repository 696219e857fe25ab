// Fault injection: each creating or allocating service asks here whether this
// call must fail.
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>

#include "sim/kernel.h"

namespace {

struct armed_fault {
    unsigned remaining;  // calls until the failing one, that one included
    NTSTATUS status;
};

using site_calls = std::map<std::string, std::atomic<uint64_t>, std::less<>>;

// A site's counter as a call found it before, by the address of the site's
// name: the counter is read and bumped without the lock while nothing is armed.
struct cached_site {
    std::atomic<const char*> site{nullptr};  // set once, after counter
    std::atomic<site_calls::value_type*> counter{nullptr};
};

constexpr size_t kCachedSites = 1024;

struct fault_state {
    std::mutex lock;
    std::map<std::string, armed_fault, std::less<>> armed;  // guarded by lock
    // The tree guarded by lock; its nodes are never erased (a reset zeroes
    // them), so a cached counter stays valid.
    site_calls calls;
    std::string last_failed;                                            // guarded by lock
    std::map<std::string, std::function<void()>, std::less<>> actions;  // guarded by lock
    // Armed faults and actions together, stored under lock: while there are
    // none, a call of a cached site only counts itself, without the lock, so
    // the transfer path's calls never meet there.
    std::atomic<size_t> pending{0};
    cached_site cache[kCachedSites];  // filled under lock
};

// Under the state's lock, after any change to the armed faults or actions.
void note_pending(fault_state& s) { s.pending.store(s.armed.size() + s.actions.size()); }

size_t cache_slot(const char* site) { return (reinterpret_cast<uintptr_t>(site) >> 3) % kCachedSites; }

// By hand rather than strcmp: the sanitizers' and the fuzzer's string
// interceptors cost more than the comparison on every framework call.
bool same_name(const std::string& known, const char* site) {
    size_t i = 0;
    for (; i < known.size(); i++) {
        if (site[i] != known[i]) return false;
    }
    return site[i] == '\0';
}

// Without the lock: the counter of a site seen before under the same address.
// The name is compared too, in case the address now holds another name.
std::atomic<uint64_t>* cached_counter(fault_state& s, const char* site) {
    for (size_t i = cache_slot(site), probes = 0; probes < 8; i = (i + 1) % kCachedSites, ++probes) {
        const char* at = s.cache[i].site.load(std::memory_order_acquire);
        if (at == nullptr) return nullptr;
        if (at != site) continue;
        site_calls::value_type* counter = s.cache[i].counter.load(std::memory_order_relaxed);
        return same_name(counter->first, site) ? &counter->second : nullptr;
    }
    return nullptr;
}

// Under the lock.
void cache_counter(fault_state& s, const char* site, site_calls::value_type* counter) {
    for (size_t i = cache_slot(site), probes = 0; probes < 8; i = (i + 1) % kCachedSites, ++probes) {
        const char* at = s.cache[i].site.load(std::memory_order_relaxed);
        if (at == site) return;
        if (at != nullptr) continue;
        s.cache[i].counter.store(counter, std::memory_order_relaxed);
        s.cache[i].site.store(site, std::memory_order_release);
        return;
    }
}

fault_state& faults() {
    static auto* s = new fault_state;
    return *s;
}

constexpr std::string_view kEverySite = "*";

// Counts one call against an armed fault; true when this call is the one.
bool count_down(fault_state& s, std::string_view site, bool* failed, NTSTATUS* status) {
    if (s.armed.empty()) return false;
    const auto it = s.armed.find(site);
    if (it == s.armed.end() || --it->second.remaining != 0) return false;
    if (!*failed) *status = it->second.status;
    *failed = true;
    s.armed.erase(it);
    note_pending(s);
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
    note_pending(s);
}

void fault_on_call(const std::string& site, std::function<void()> action) {
    fault_state& s = faults();
    std::lock_guard<std::mutex> guard(s.lock);
    s.actions[site] = std::move(action);
    note_pending(s);
}

bool fault_should_fail(const char* site, NTSTATUS* status) {
    fault_state& s = faults();
    std::atomic<uint64_t>* cached = site != nullptr ? cached_counter(s, site) : nullptr;
    if (cached != nullptr && s.pending.load() == 0) {
        cached->fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const std::string_view name = site != nullptr ? site : "";
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        const auto it = s.actions.empty() ? s.actions.end() : s.actions.find(name);
        if (it != s.actions.end()) {
            action = std::move(it->second);
            s.actions.erase(it);
            note_pending(s);
        }
    }
    if (action) action();
    std::lock_guard<std::mutex> guard(s.lock);
    if (cached == nullptr) {
        // Looked up by view so the steady path allocates nothing once a site is known.
        auto counter = s.calls.find(name);
        if (counter == s.calls.end()) counter = s.calls.try_emplace(std::string(name), 0).first;
        cached = &counter->second;
        if (site != nullptr) cache_counter(s, site, &*counter);
    }
    cached->fetch_add(1, std::memory_order_relaxed);
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
        for (const auto& entry : s.calls) total += entry.second.load(std::memory_order_relaxed);
        return total;
    }
    const auto it = s.calls.find(site);
    return it != s.calls.end() ? it->second.load(std::memory_order_relaxed) : 0;
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
    for (auto& entry : s.calls) entry.second.store(0, std::memory_order_relaxed);
    s.last_failed.clear();
    s.actions.clear();
    note_pending(s);
}

}  // namespace sim

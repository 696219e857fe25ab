// The verifier's bug check: one line naming the rule, then an immediate stop.
#include <cinttypes>
#include <cstdlib>
#include <mutex>

#include "sim/kernel.h"

namespace sim {

void bug_check(ULONG code, const char* rule, const void* object, const char* caller) {
    // A second thread failing at the same moment waits here; the first one's
    // line is the one that matters, and abort ends both.
    static std::mutex* once = new std::mutex;
    once->lock();
    fprintf(stderr, "*** BUGCHECK 0x%08X: %s: object %016" PRIXPTR ", caller %s\n", code,
            rule != nullptr ? rule : "(no rule)", reinterpret_cast<uintptr_t>(object),
            caller != nullptr ? caller : "(unknown)");
    fflush(stderr);
    std::abort();
}

namespace {
struct findings_store {
    std::mutex lock;
    std::vector<std::string> findings;
};
findings_store& findings() {
    static auto* f = new findings_store;  // outlives every static destructor
    return *f;
}
}  // namespace

void verifier_finding(const std::string& finding) {
    fprintf(stderr, "*** VERIFIER: %s\n", finding.c_str());
    std::lock_guard<std::mutex> guard(findings().lock);
    findings().findings.push_back(finding);
}

std::vector<std::string> verifier_findings() {
    std::lock_guard<std::mutex> guard(findings().lock);
    return findings().findings;
}

void verifier_findings_clear() {
    std::lock_guard<std::mutex> guard(findings().lock);
    findings().findings.clear();
}

}  // namespace sim

EXTERN_C VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char rule[160];
    snprintf(rule, sizeof(rule),
             "driver called KeBugCheckEx (0x%" PRIXPTR ", 0x%" PRIXPTR ", 0x%" PRIXPTR ", 0x%" PRIXPTR ")", P1, P2, P3,
             P4);
    sim::bug_check(BugCheckCode, rule, reinterpret_cast<const void*>(P1), "KeBugCheckEx");
}

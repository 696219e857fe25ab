// Simulator-side controls of the kernel runtime: the debugger sink, the clock,
// pool accounting, fault injection and the verifier's bug check. Everything a
// test or the command-line program does to the simulated kernel is in `sim`.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "wdm.h"

namespace sim {

// ---- Debugger sink ---------------------------------------------------------
// DbgPrint output, split into lines at '\n'. A print without a trailing
// newline stays pending and is joined with the next print, as a debugger
// shows it. Thread-safe.
std::vector<std::string> debugger_lines();
std::string debugger_text();  // every line, each followed by '\n'
void debugger_clear();
// Mirror every completed line to a stream (stderr for the command-line
// program) or stop mirroring with nullptr.
void debugger_mirror(FILE* stream);

// ---- Windows formatter -------------------------------------------------------
// The formatter behind DbgPrint and the ntstrsafe printf family: 32-bit
// %d %i %u %x %X %o %c with the l and h prefixes, %I64d/%I64u/%I64x, %lld/%llx,
// %Id/%Ix (pointer-sized), %p (16 upper-case hex digits), %s (char*), %S %ws %ls
// (16-bit strings), %wZ (PUNICODE_STRING), %Z (PANSI_STRING), %C %wc %lc, %%,
// flags - + space # 0, width and precision (also *).
std::string format_windows(const char* format, va_list args);
std::u16string format_windows_wide(const char16_t* format, va_list args);

// ---- Clock -------------------------------------------------------------------
// The platform clock: real time, or a virtual clock that advances only by
// the delays threads ask for (so a bounded wait finishes at once).
void clock_use_virtual(bool virtual_clock);
bool clock_is_virtual();
// 100 ns units since the clock was reset.
int64_t clock_now();
void clock_advance(int64_t interval_100ns);
// Called after every move of the clock, on the thread that moved it: how a
// framework timer learns that its deadline passed. It must only signal.
// Each timer service adds its own (a few at most).
void add_clock_observer(void (*observer)());
// How long a kernel time-out or delay interval lasts from now, in 100 ns:
// negative is relative, else an absolute system time (already past: 0).
int64_t interval_span(const LARGE_INTEGER& interval);
// The framework tells the kernel whether the platform is still working
// (deliveries under way, completions queued or running): a virtual-clock
// delay lets that work finish before time moves, as a real delay would.
void set_platform_busy_probe(bool (*probe)());
bool platform_busy();  // what the probe says; false without one
// How long a wait with a time-out on the virtual clock lets other threads
// satisfy it before time moves to its deadline: a real-time grace (the
// default: a scenario's own threads may set the event), or only while the
// platform is working, for a program whose only other threads are the
// platform's (a fuzz target), where such a wait then costs no real time.
enum class wait_grace { real_time, platform_busy };
void set_wait_grace(wait_grace grace);
wait_grace current_wait_grace();
// The calling thread's release point for completion routines the framework
// holds in the stop window (sim::set_stop_window): it frees pool, deletes an
// object, waits, or returns from a PnP or power callback.
void io_release_late();
// Number of KeDelayExecutionThread calls since the last reset, and their
// total requested time.
uint64_t delay_count();
int64_t delay_total();
// Time back to zero and the delay counters cleared; the clock keeps its mode.
void clock_reset();

// ---- IRQL ----------------------------------------------------------------
// Per-thread IRQL. The framework raises it for spin locks and completion
// routines; these are for the platform's own use.
KIRQL irql_raise(KIRQL level);  // returns the previous level
void irql_lower(KIRQL level);

// ---- Spin locks held, per thread -----------------------------------------------
// The verifier's record of the spin locks each thread holds. Acquiring one
// the thread already holds (the same-thread deadlock) and releasing one it
// does not hold are bug checks naming `caller`; so is acquiring one in an
// order that inverts an order seen before on any thread (A then B, later B
// then A, or a longer cycle): Driver Verifier's deadlock detection.
void spin_lock_note_acquire(const void* lock, const char* caller);
// A spin lock that is deleted leaves the recorded order (its address may be reused).
void spin_lock_forget(const void* lock);
void spin_lock_note_release(const void* lock, const char* caller);
size_t spin_locks_held();  // by the calling thread
// Called when a driver callback returns: a spin lock it took and still holds
// is a bug check naming the callback. `held_on_entry`: what the thread held
// when the callback was called.
void check_spin_locks_released(size_t held_on_entry, const char* callback);

// ---- Call counts -----------------------------------------------------------
// Framework entry points called and spin locks acquired, by every thread
// since the program started: what a data path costs, whatever the machine.
// Each thread counts in a slot of its own, so counting takes no lock and no
// shared cache line; a read sums the slots.
struct call_counts {
    uint64_t framework_calls = 0;
    uint64_t spin_lock_acquisitions = 0;
};
call_counts call_counts_read();
// Called by the framework's entry points and its spin-lock acquisitions.
void count_framework_call();
void count_spin_lock_acquisition();

// ---- Pool ----------------------------------------------------------------
struct pool_usage {
    uint64_t allocations = 0;  // outstanding blocks
    uint64_t bytes = 0;        // outstanding bytes
};
pool_usage pool_outstanding(ULONG tag);
// Every tag with outstanding blocks, for leak reports.
std::vector<std::pair<ULONG, pool_usage>> pool_outstanding_all();
void pool_reset_accounting();

// ---- Fault injection -------------------------------------------------------
// One hook for every creating or allocating service: the N-th call from now
// (1 = the next) of a given site fails. A site is named by the API, e.g.
// "ExAllocatePoolWithTag", "WdfCollectionCreate", "WdfSpinLockCreate"; "*"
// counts every site. Cleared by fault_reset.
void fault_fail_nth(const std::string& site, unsigned nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Called by each site: true (with the status to return) when it must fail.
bool fault_should_fail(const char* site, NTSTATUS* status);
// Calls a site has made since the last reset ("*": all sites), so a test can
// fail each call of a scenario in turn.
uint64_t fault_site_calls(const std::string& site);
// Runs action once, on the calling thread and outside the injector's lock,
// at the next call of site (before that call decides whether to fail), so a
// test can act at a precise point of a driver's path. Cleared by fault_reset.
void fault_on_call(const std::string& site, std::function<void()> action);
// The site of the latest injected failure ("" when none since the reset).
std::string fault_last_failed_site();
void fault_reset();

// ---- Verifier ------------------------------------------------------------
// A broken rule stops the process at once, naming the rule, the object and
// the caller: "*** BUGCHECK <code>: <rule>: object <p>, caller <api>".
[[noreturn]] void bug_check(ULONG code, const char* rule, const void* object, const char* caller);
// A broken rule that Windows' verifier reports without stopping (a wide
// string printed at raised IRQL): recorded, and reported as a problem by the
// leak check at teardown. Cleared by kernel_reset.
void verifier_finding(const std::string& finding);
std::vector<std::string> verifier_findings();

// Back to the start state: virtual clock at zero, delay counters, fault
// injection and the debugger sink (lines and mirror) cleared, waits given
// their real-time grace. Pool accounting
// has its own reset; the calling thread's IRQL is left alone.
void kernel_reset();

}  // namespace sim

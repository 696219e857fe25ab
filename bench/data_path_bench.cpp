// The data path's cost: asynchronous 512-byte writes and reads through a
// child's bus interface against the same transfers sent by the bare
// platform, one and two children, each completion mode the platform offers,
// and the heap allocations per steady-state transfer. After the runs, a
// summary pairs each driver result with its bare one.
//
// The machine may be shared: each repetition (round) runs the driver case
// and its baseline back to back, their order alternating from round to round,
// and a ratio is the median over the rounds of each round's own ratio, so a
// burst of load elsewhere falls on both sides of one pair rather than on one
// side of the comparison.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/alloc_count.h"
#include "bench/call_counts.h"
#include "bench/rig.h"
#include "bench/transfer_loop.h"

namespace cdc::bench {
namespace {

struct bench_case {
    const char* op;  // what the summary calls it
    direction dir;
    ULONG length;
    unsigned lanes;
    completion mode;
};

// 512 bytes is one high-speed packet, so each write is followed by a
// zero-length packet; 511 bytes ends with a short packet and needs none:
// the pair shows what the zero-length packet costs.
const bench_case cases[] = {
    {"write 512 B + ZLP", direction::out, 512, 1, completion::threads},
    {"write 511 B", direction::out, 511, 1, completion::threads},
    {"read 512 B", direction::in, 512, 1, completion::threads},
    {"write 512 B + ZLP", direction::out, 512, 2, completion::threads},
    {"read 512 B", direction::in, 512, 2, completion::threads},
    {"write 512 B + ZLP", direction::out, 512, 1, completion::inline_send},
    {"write 511 B", direction::out, 511, 1, completion::inline_send},
    {"read 512 B", direction::in, 512, 1, completion::inline_send},
    {"write 512 B + ZLP", direction::out, 512, 2, completion::inline_send},
    {"read 512 B", direction::in, 512, 2, completion::inline_send},
};

std::string case_name(const bench_case& c) {
    return std::string(c.dir == direction::out ? "write/" : "read/") + std::to_string(c.length) + "B/" +
           std::to_string(c.lanes) + (c.lanes == 1 ? "child/" : "children/") + completion_name(c.mode);
}

std::string case_label(const bench_case& c) {
    return std::string(c.op) + ", " + std::to_string(c.lanes) + (c.lanes == 1 ? " child, " : " children, ") +
           completion_name(c.mode);
}

// The routing's cost: the same transfers through a child of the control
// device, each call pinning the function device that serves it, against
// USB-direct mode's calls.
const bench_case routing_cases[] = {
    {"write 512 B + ZLP", direction::out, 512, 1, completion::inline_send},
    {"read 512 B", direction::in, 512, 1, completion::inline_send},
    {"write 512 B + ZLP", direction::out, 512, 1, completion::threads},
    {"read 512 B", direction::in, 512, 1, completion::threads},
};

enum class route { bare, direct, control };

void run(benchmark::State& state, const bench_case& c, route how) {
    options opts;
    opts.lanes = c.lanes;
    opts.mode = c.mode;
    opts.control_device = how == route::control;
    std::unique_ptr<path> p;
    try {
        if (how != route::bare) {
            p = std::make_unique<driver_path>(opts);
        } else {
            p = std::make_unique<bare_path>(opts);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    transfer_loop loop(*p, c.dir, c.length, opts.depth);
    // Warm: pools, lists and the completion threads reach their steady size.
    for (unsigned i = 0; i < 8 * opts.depth; ++i) loop.step();
    loop.drain();
    const uint64_t warm = loop.started();
    const uint64_t warm_refused = loop.refused();

    transfer_loop::hooks hooks;
    hooks.pause = [&] {
        alloc_count::pause();
        state.PauseTiming();
    };
    hooks.resume = [&] {
        state.ResumeTiming();
        alloc_count::resume();
    };
    const call_counter calls;
    alloc_count::start();
    for (auto _ : state) loop.step(&hooks);
    loop.drain();
    const uint64_t allocations = alloc_count::stop();
    const sim::call_counts made = calls.since();

    const uint64_t measured = loop.started() - warm;
    if (p->failures() != 0 || !loop.data_intact()) {
        state.SkipWithError("transfers failed or read data was not what the device sent");
        return;
    }
    state.SetItemsProcessed(static_cast<int64_t>(measured));
    state.SetBytesProcessed(static_cast<int64_t>(measured * c.length));
    state.counters["allocs_per_transfer"] =
        benchmark::Counter(measured == 0 ? 0.0 : static_cast<double>(allocations) / static_cast<double>(measured));
    state.counters["refused_per_transfer"] = benchmark::Counter(
        measured == 0 ? 0.0 : static_cast<double>(loop.refused() - warm_refused) / static_cast<double>(measured));
    set_call_counters(state, made, measured);
}

// Keeps what the console shows and, after the runs, pairs each driver
// result with the bare one of the same case.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
    // Every repetition of a case is kept and the summary takes their median;
    // when only aggregates are shown, the median aggregate is all there is.
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const double to_ns = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            sample one;
            one.cpu_ns = run.GetAdjustedCPUTime() * to_ns;
            one.real_ns = run.GetAdjustedRealTime() * to_ns;
            auto allocs = run.counters.find("allocs_per_transfer");
            if (allocs != run.counters.end()) one.allocs = allocs->second.value;
            one.calls = read_call_counters(run.counters);
            // "<case>/<side>/round:<n>": the round pairs a result with the other side's.
            const std::string& name = run.run_name.function_name;
            const size_t mark = name.rfind("/round:");
            if (mark == std::string::npos) continue;
            const int round = std::atoi(name.c_str() + mark + 7);
            results_[name.substr(0, mark)].samples[round] = one;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // One line per routing case: control-device mode against USB-direct mode.
    void summarize_routing(FILE* out) const {
        fprintf(out, "\nControl-device mode against USB-direct mode, per transfer: process CPU time, real time\n");
        for (const bench_case& c : routing_cases) {
            auto control = results_.find(case_name(c) + "/control");
            auto direct = results_.find(case_name(c) + "/direct");
            if (control == results_.end() || direct == results_.end()) continue;
            const sample r = control->second.typical();
            const sample d = direct->second.typical();
            const paired ratio = paired_ratios(control->second, direct->second);
            fprintf(out,
                    "  %-38s cpu %6.2f / %6.2f us = %4.2f [%4.2f-%4.2f]  real %6.2f / %6.2f us = %4.2f  allocs %.3f\n",
                    case_label(c).c_str(), r.cpu_ns / 1e3, d.cpu_ns / 1e3, ratio.cpu, ratio.cpu_low, ratio.cpu_high,
                    r.real_ns / 1e3, d.real_ns / 1e3, ratio.real, r.allocs);
        }
        fprintf(out, "  (each figure: control device / USB-direct = ratio; %s)\n", ratio_note().c_str());
        fprintf(
            out,
            "\nControl-device mode against USB-direct mode, per transfer: framework calls, spin-lock acquisitions\n");
        for (const bench_case& c : routing_cases) {
            auto control = results_.find(case_name(c) + "/control");
            auto direct = results_.find(case_name(c) + "/direct");
            if (control == results_.end() || direct == results_.end()) continue;
            print_call_ratio(out, case_label(c).c_str(), control->second.typical().calls,
                             direct->second.typical().calls);
        }
    }

    // One line per case with both results; false when a driver result
    // allocates in the steady state. The CPU time is the whole process's
    // (completion threads included), so it holds up on a busy machine
    // better than the real time, which waits for threads to be scheduled.
    bool summarize(FILE* out) const {
        bool zero_allocs = true;
        fprintf(out,
                "\nDriver against the bare platform, per transfer: process CPU time, real time, heap allocations%s\n",
                alloc_count::counts_malloc() ? "" : " (operator new only under a sanitizer)");
        for (const bench_case& c : cases) {
            auto driver = results_.find(case_name(c) + "/driver");
            auto bare = results_.find(case_name(c) + "/bare");
            if (driver == results_.end() || bare == results_.end()) continue;
            const sample d = driver->second.typical();
            const sample b = bare->second.typical();
            const paired ratio = paired_ratios(driver->second, bare->second);
            fprintf(out,
                    "  %-38s cpu %6.2f / %6.2f us = %4.2f [%4.2f-%4.2f]  real %6.2f / %6.2f us = %4.2f  allocs %.3f / "
                    "%.3f\n",
                    case_label(c).c_str(), d.cpu_ns / 1e3, b.cpu_ns / 1e3, ratio.cpu, ratio.cpu_low, ratio.cpu_high,
                    d.real_ns / 1e3, b.real_ns / 1e3, ratio.real, d.allocs, b.allocs);
            // Occasional growth of a platform buffer, amortised, is not a per-transfer allocation.
            if (d.allocs >= 0.001) zero_allocs = false;
        }
        fprintf(out, "  (each figure: driver / bare = ratio; %s)\n", ratio_note().c_str());
        fprintf(out, "\nDriver against the bare platform, per transfer: framework calls, spin-lock acquisitions\n");
        for (const bench_case& c : cases) {
            auto driver = results_.find(case_name(c) + "/driver");
            auto bare = results_.find(case_name(c) + "/bare");
            if (driver == results_.end() || bare == results_.end()) continue;
            print_call_ratio(out, case_label(c).c_str(), driver->second.typical().calls, bare->second.typical().calls);
        }
        if (!completion_offered(completion::inline_send)) {
            fprintf(out, "  inline completion: not offered by this platform build; only the threads mode ran\n");
        }
        return zero_allocs;
    }

 private:
    struct sample {
        double cpu_ns = 0;
        double real_ns = 0;
        double allocs = 0;
        per_transfer_calls calls;
    };
    static double middle(std::vector<double> values) {
        if (values.empty()) return 0.0;
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }

    struct result {
        std::map<int, sample> samples;  // by round

        // The median of each figure on its own over the rounds.
        sample typical() const {
            if (samples.empty()) return sample{};
            auto over_rounds = [&](double sample::*field) {
                std::vector<double> values;
                for (const auto& s : samples) values.push_back(s.second.*field);
                return middle(values);
            };
            // The counts are the same in every round but for the refusals' retries.
            auto mid = samples.begin();
            std::advance(mid, samples.size() / 2);
            return sample{over_rounds(&sample::cpu_ns), over_rounds(&sample::real_ns), over_rounds(&sample::allocs),
                          mid->second.calls};
        }
    };

    struct paired {
        double cpu = 0;
        double real = 0;
        double cpu_low = 0;  // the rounds' lowest and highest CPU-time ratios
        double cpu_high = 0;
    };

    // The median over the rounds both sides ran of each round's own ratio.
    static paired paired_ratios(const result& path, const result& base) {
        std::vector<double> cpu;
        std::vector<double> real;
        for (const auto& [round, p] : path.samples) {
            auto b = base.samples.find(round);
            if (b == base.samples.end()) continue;
            if (b->second.cpu_ns > 0) cpu.push_back(p.cpu_ns / b->second.cpu_ns);
            if (b->second.real_ns > 0) real.push_back(p.real_ns / b->second.real_ns);
        }
        paired out{middle(cpu), middle(real), 0, 0};
        if (!cpu.empty()) {
            out.cpu_low = *std::min_element(cpu.begin(), cpu.end());
            out.cpu_high = *std::max_element(cpu.begin(), cpu.end());
        }
        return out;
    }

    std::string ratio_note() const {
        size_t rounds = 0;
        for (const auto& r : results_) rounds = std::max(rounds, r.second.samples.size());
        return "times: medians over " + std::to_string(rounds) +
               " rounds; ratio: the median of the rounds' own ratios, both sides of a round run back to back, "
               "[the lowest-highest of them]";
    }

    std::map<std::string, result> results_;
};

// transfers: a fixed number of transfers per run (0: the library decides by
// time), so that runs on a busy machine do the same work. The library runs
// benchmarks in the order they are registered: round by round, each case's
// two sides next to each other, the side that goes first alternating.
void register_cases(int64_t transfers, int rounds) {
    auto add = [transfers](const std::string& name, const bench_case& c, route how) {
        benchmark::internal::Benchmark* b =
            benchmark::RegisterBenchmark(name.c_str(), [c, how](benchmark::State& state) { run(state, c, how); })
                ->MeasureProcessCPUTime()
                ->UseRealTime()
                ->Unit(benchmark::kMicrosecond);
        if (transfers > 0) b->Iterations(transfers);
    };
    auto add_pair = [&](const bench_case& c, int round, route first, const char* first_name, route second,
                        const char* second_name) {
        const std::string suffix = "/round:" + std::to_string(round);
        if (round % 2 == 1) {
            std::swap(first, second);
            std::swap(first_name, second_name);
        }
        add(case_name(c) + first_name + suffix, c, first);
        add(case_name(c) + second_name + suffix, c, second);
    };
    for (int round = 0; round < rounds; ++round) {
        for (const bench_case& c : cases) {
            if (completion_offered(c.mode)) add_pair(c, round, route::direct, "/driver", route::bare, "/bare");
        }
        for (const bench_case& c : routing_cases) {
            if (completion_offered(c.mode)) add_pair(c, round, route::control, "/control", route::direct, "/direct");
        }
    }
}

// Takes --NAME=N out of the arguments the library sees; fallback when absent.
int64_t take_flag(int* argc, char** argv, const std::string& name, int64_t fallback) {
    const std::string flag = "--" + name + "=";
    int64_t value = fallback;
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, flag.size(), flag) == 0) {
            value = std::strtoll(arg.c_str() + flag.size(), nullptr, 10);
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    return value;
}

}  // namespace
}  // namespace cdc::bench

int main(int argc, char** argv) {
    const int64_t transfers = cdc::bench::take_flag(&argc, argv, "transfers", 0);
    // The library's repetitions would run one side's all before the other's:
    // the rounds replace them.
    const int64_t rounds = cdc::bench::take_flag(&argc, argv, "benchmark_repetitions", 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    cdc::bench::register_cases(transfers, rounds < 1 ? 1 : static_cast<int>(rounds));
    cdc::bench::ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool zero_allocs = reporter.summarize(stdout);
    reporter.summarize_routing(stdout);
    benchmark::Shutdown();
    if (!zero_allocs) fprintf(stdout, "note: the driver's path allocates in the steady state (target: zero)\n");
    return 0;
}

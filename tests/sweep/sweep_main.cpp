// cdcsweep: fails every fault point of each scenario in turn, each run in its
// own process, and reports the runs that crashed, leaked, lost a completion,
// hid the failure or left the next device unusable.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sweep/sweep.h"

namespace {

constexpr unsigned kRunSeconds = 60;

struct child_run {
    std::string scenario;
    unsigned point = 0;
    std::string log;  // the child's output, file path
};

struct outcome {
    bool passed = false;
    uint64_t points = 0;
    std::string site;
    std::vector<std::string> lines;     // error lines (baseline run)
    std::vector<std::string> problems;  // what went wrong, with the tail of the output for a crash
};

// The child's side: the report as tagged lines, then the exit status.
[[noreturn]] void child_main(const child_run& run, const std::vector<std::string>& baseline) {
    const int fd = open(run.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) _exit(3);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    alarm(kRunSeconds);
    const sweep::run_report report = sweep::run_scenario(run.scenario, run.point, baseline);
    printf("points %llu\n", static_cast<unsigned long long>(report.points));
    if (report.injected) printf("site %s\n", report.site.c_str());
    for (const std::string& line : report.error_lines) printf("line %s\n", line.c_str());
    for (const std::string& problem : report.problems) printf("problem %s\n", problem.c_str());
    fflush(stdout);
    _exit(report.problems.empty() ? 0 : 1);
}

outcome read_outcome(const child_run& run, int wait_status) {
    outcome out;
    std::ifstream in(run.log);
    std::vector<std::string> other;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("points ", 0) == 0) {
            out.points = std::stoull(line.substr(7));
        } else if (line.rfind("site ", 0) == 0) {
            out.site = line.substr(5);
        } else if (line.rfind("line ", 0) == 0) {
            out.lines.push_back(line.substr(5));
        } else if (line.rfind("problem ", 0) == 0) {
            out.problems.push_back(line.substr(8));
        } else {
            other.push_back(line);
        }
    }
    unlink(run.log.c_str());
    if (WIFSIGNALED(wait_status)) {
        const int sig = WTERMSIG(wait_status);
        std::string what = sig == SIGALRM ? "hung (no end within " + std::to_string(kRunSeconds) + " s)"
                                          : "crashed (signal " + std::to_string(sig) + ")";
        for (size_t i = other.size() > 6 ? other.size() - 6 : 0; i < other.size(); ++i) what += "\n      " + other[i];
        out.problems.push_back(what);
    } else if (!WIFEXITED(wait_status) || (WEXITSTATUS(wait_status) != 0 && out.problems.empty())) {
        out.problems.push_back("exited with status " + std::to_string(WEXITSTATUS(wait_status)));
    }
    out.passed = out.problems.empty();
    return out;
}

class runner {
 public:
    runner(unsigned jobs, std::string dir) : jobs_(jobs), dir_(std::move(dir)) {}

    // Starts a run, waiting first for a free slot; finished runs go to `done`.
    void start(const child_run& run, const std::vector<std::string>& baseline) {
        while (live_.size() >= jobs_) reap();
        child_run r = run;
        r.log = dir_ + "/run" + std::to_string(counter_++) + ".log";
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            std::exit(2);
        }
        if (pid == 0) child_main(r, baseline);
        live_[pid] = r;
    }
    void drain() {
        while (!live_.empty()) reap();
    }
    std::vector<std::pair<child_run, outcome>> take() { return std::move(done_); }

 private:
    void reap() {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid <= 0) return;
        auto it = live_.find(pid);
        if (it == live_.end()) return;
        done_.emplace_back(it->second, read_outcome(it->second, status));
        live_.erase(it);
    }

    unsigned jobs_;
    std::string dir_;
    unsigned counter_ = 0;
    std::map<pid_t, child_run> live_;
    std::vector<std::pair<child_run, outcome>> done_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Fails each fault point of the driver's scenarios in turn"};
    std::vector<std::string> names;
    unsigned stride = 1;
    unsigned jobs = 2;
    unsigned max_points = 0;
    bool list = false;
    int here = -1;
    app.add_option("-s,--scenario", names, "scenarios to run (default: all)");
    app.add_option("--stride", stride, "fail every n-th point only")->check(CLI::PositiveNumber);
    app.add_option("-j,--jobs", jobs, "runs at a time")->check(CLI::PositiveNumber);
    app.add_option("--max-points", max_points, "fail at most the first n points of each scenario");
    app.add_flag("--list", list, "list the scenarios");
    app.add_option("--here", here, "one run of the first scenario, in this process, failing this point (0: none)");
    CLI11_PARSE(app, argc, argv);

    if (here >= 0) {
        sim::debugger_mirror(stderr);
        const auto report = sweep::run_scenario(names.empty() ? "plug" : names[0], static_cast<unsigned>(here), {});
        printf("points %llu, site %s, returned %d\n", static_cast<unsigned long long>(report.points),
               report.site.c_str(), report.failure_returned ? 1 : 0);
        for (const auto& p : report.problems) printf("problem: %s\n", p.c_str());
        return report.problems.empty() ? 0 : 1;
    }

    if (list) {
        for (const auto& s : sweep::scenarios()) printf("%-10s %s\n", s.name.c_str(), s.summary.c_str());
        return 0;
    }
    if (names.empty()) {
        for (const auto& s : sweep::scenarios()) names.push_back(s.name);
    }
    char dir_template[] = "/tmp/cdcsweep.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("mkdtemp");
        return 2;
    }
    const auto began = std::chrono::steady_clock::now();
    runner pool(jobs, dir_template);
    uint64_t total_failed = 0;
    uint64_t total_runs = 0;
    uint64_t total_problems = 0;

    for (const std::string& name : names) {
        // The run without a failure: its points and its error lines.
        pool.start({name, 0, {}}, {});
        pool.drain();
        auto base = pool.take();
        const outcome& baseline = base.at(0).second;
        uint64_t runs = 1;
        uint64_t failed = 0;
        uint64_t problems = 0;
        if (!baseline.passed) {
            for (const auto& p : baseline.problems)
                printf("sweep: %s without a failure: %s\n", name.c_str(), p.c_str());
            problems += baseline.problems.size();
        }
        uint64_t last = baseline.points;
        if (max_points != 0 && last > max_points) last = max_points;
        for (uint64_t k = 1; k <= last; k += stride) {
            pool.start({name, static_cast<unsigned>(k), {}}, baseline.lines);
            runs++;
        }
        pool.drain();
        std::map<unsigned, std::pair<child_run, outcome>> ordered;
        for (auto& entry : pool.take()) ordered.emplace(entry.first.point, std::move(entry));
        for (const auto& [point, entry] : ordered) {
            const outcome& o = entry.second;
            if (!o.site.empty()) failed++;
            for (const auto& p : o.problems) {
                printf("sweep: %s point %u (%s): %s\n", name.c_str(), point, o.site.empty() ? "?" : o.site.c_str(),
                       p.c_str());
                problems++;
            }
        }
        printf("sweep: %-8s %4llu points, %4llu failed, %4llu runs, %llu problems\n", name.c_str(),
               static_cast<unsigned long long>(baseline.points), static_cast<unsigned long long>(failed),
               static_cast<unsigned long long>(runs), static_cast<unsigned long long>(problems));
        fflush(stdout);
        total_failed += failed;
        total_runs += runs;
        total_problems += problems;
    }
    rmdir(dir_template);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    printf("sweep: %zu scenarios, %llu points failed, %llu runs, %llu problems (%.1f s)\n", names.size(),
           static_cast<unsigned long long>(total_failed), static_cast<unsigned long long>(total_runs),
           static_cast<unsigned long long>(total_problems), seconds);
    return total_problems == 0 ? 0 : 1;
}

// cdcexplore: runs a scenario under the controlled scheduler for many
// schedules, each in its own process (a bug check ends that schedule, not
// the explorer), and names the seed of the first that failed. --replay runs
// one schedule in this process with its decisions and the driver's trace
// shown, so it can be debugged under gdb.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "explore/explore.h"

namespace {

constexpr unsigned kScheduleSeconds = 60;

struct options {
    std::string scenario;
    uint64_t schedules = 200;
    sim::sched::strategy kind = sim::sched::strategy::random;
    unsigned depth = 3;
    uint64_t seed = 1;
    bool replay = false;
    uint64_t replay_seed = 0;
};

int usage(const char* why) {
    if (why != nullptr) fprintf(stderr, "cdcexplore: %s\n", why);
    fprintf(stderr,
            "usage: cdcexplore --list\n"
            "       cdcexplore SCENARIO [--schedules N] [--strategy random|pct] [--depth D] [--seed S]\n"
            "       cdcexplore SCENARIO --replay S [--strategy random|pct] [--depth D]\n");
    return 2;
}

bool number(const char* text, uint64_t* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    *out = strtoull(text, &end, 0);
    return *end == '\0';
}

sim::sched::config config_for(const explore::scenario& s, const options& o, uint64_t seed) {
    sim::sched::config c;
    c.kind = o.kind;
    c.seed = seed;
    c.depth = o.depth;
    c.expected_steps = s.expected_steps;
    return c;
}

struct result {
    bool failed = false;
    std::string failure;  // the first "*** " line, or how the process ended
    uint64_t signature = 0;
    uint64_t steps = 0;
};

result run_forked(const explore::scenario& s, const sim::sched::config& cfg) {
    result r;
    int fds[2];
    if (pipe(fds) != 0) {
        perror("cdcexplore: pipe");
        exit(2);
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("cdcexplore: fork");
        exit(2);
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        alarm(kScheduleSeconds);
        const sim::sched::outcome out = sim::sched::run(cfg, [&] { s.run(); });
        printf("signature %016llx steps %llu\n", static_cast<unsigned long long>(out.signature),
               static_cast<unsigned long long>(out.steps));
        fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(at, end - at);
        at = end + 1;
        unsigned long long signature = 0, steps = 0;
        if (sscanf(line.c_str(), "signature %llx steps %llu", &signature, &steps) == 2) {
            r.signature = signature;
            r.steps = steps;
        } else if (r.failure.empty() && line.rfind("*** ", 0) == 0) {
            r.failure = line;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return r;
    r.failed = true;
    if (r.failure.empty()) {
        if (WIFSIGNALED(status)) {
            r.failure = WTERMSIG(status) == SIGALRM
                            ? "*** HANG: no end within " + std::to_string(kScheduleSeconds) + " s"
                            : "*** CRASH: signal " + std::to_string(WTERMSIG(status));
        } else {
            r.failure = "*** EXIT: status " + std::to_string(WEXITSTATUS(status));
        }
    }
    return r;
}

int explore_many(const explore::scenario& s, const options& o) {
    uint64_t failures = 0;
    uint64_t first_failing = 0;
    std::set<uint64_t> signatures;
    uint64_t steps = 0;
    const auto began = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < o.schedules; i++) {
        const uint64_t seed = o.seed + i;
        const result r = run_forked(s, config_for(s, o, seed));
        if (r.failed) {
            if (failures == 0) first_failing = seed;
            failures++;
            printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), r.failure.c_str());
            fflush(stdout);
        } else {
            signatures.insert(r.signature);
            steps += r.steps;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const uint64_t clean = o.schedules - failures;
    printf("%s: %zu distinct interleavings, %.0f steps per schedule, %.1f schedules/s\n", s.name, signatures.size(),
           clean != 0 ? static_cast<double>(steps) / static_cast<double>(clean) : 0.0,
           seconds > 0 ? static_cast<double>(o.schedules) / seconds : 0.0);
    printf("%s: %llu schedules, %llu failures", s.name, static_cast<unsigned long long>(o.schedules),
           static_cast<unsigned long long>(failures));
    if (failures != 0) printf(", first failing seed %llu", static_cast<unsigned long long>(first_failing));
    printf("\n");
    fflush(stdout);
    return failures != 0 ? 1 : 0;
}

int replay(const explore::scenario& s, const options& o) {
    explore::set_debug_level(4);
    sim::sched::config cfg = config_for(s, o, o.replay_seed);
    cfg.trace = true;
    const sim::sched::outcome out = sim::sched::run(cfg, [&] { s.run(); });
    printf("%s: replay of seed %llu: no failure, %llu steps, signature %016llx\n", s.name,
           static_cast<unsigned long long>(o.replay_seed), static_cast<unsigned long long>(out.steps),
           static_cast<unsigned long long>(out.signature));
    fflush(stdout);
    fflush(stderr);
    // The platform's threads are gone; nothing is left for static destructors.
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--list") == 0) {
        for (const explore::scenario& s : explore::scenarios()) printf("%s\n", s.name);
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') return usage(argc < 2 ? "no scenario" : nullptr);
    options o;
    o.scenario = argv[1];
    // Every option takes a value.
    for (int i = 2; i < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t n = 0;
        if (arg == "--schedules" && number(value, &n) && n > 0) {
            o.schedules = n;
        } else if (arg == "--depth" && number(value, &n) && n >= 1 && n <= 64) {
            o.depth = static_cast<unsigned>(n);
        } else if (arg == "--seed" && number(value, &n)) {
            o.seed = n;
        } else if (arg == "--replay" && number(value, &n)) {
            o.replay = true;
            o.replay_seed = n;
        } else if (arg == "--strategy" && value != nullptr && strcmp(value, "random") == 0) {
            o.kind = sim::sched::strategy::random;
        } else if (arg == "--strategy" && value != nullptr && strcmp(value, "pct") == 0) {
            o.kind = sim::sched::strategy::pct;
        } else {
            return usage(("bad option " + arg).c_str());
        }
    }
    const explore::scenario* s = explore::find(o.scenario);
    if (s == nullptr) return usage(("no scenario " + o.scenario + " (--list names them)").c_str());
    return o.replay ? replay(*s, o) : explore_many(*s, o);
}

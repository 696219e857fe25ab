#!/usr/bin/env python3
"""Mutation runner: applies each mutant of a list to a scratch copy of the
tree, rebuilds the driver there, runs the test suite and reports which
mutants the tests catch.

The list (tests/mutants/mutants.txt) holds one block per mutant:

    ID FILE[#N]: one-line description
      - original text
      + replacement text

A line "  = reason" marks a mutant as equivalent: no behaviour a test could
observe changes, and the reason says why; it is run like the others, and a
survivor so marked is reported as equivalent rather than as a survivor.
FILE is relative to the driver's folder; the original text is found in it
verbatim (several "-" lines are joined with newlines, likewise "+" lines; a
bare "+" is an empty replacement). #N picks the N-th occurrence (from 1) when
the text is not unique. A mutant whose text is gone is reported as no longer
applying.

The scratch copy lives in build-mutate/src with its build in
build-mutate/src/build (so ccache serves it from the working tree's objects),
where only the driver image is built: only the mutated file is recompiled,
and it is restored after each mutant. The suite is the working tree's build
(--suite, default build/), run with CDC_DRIVER_IMAGE naming the scratch
image, which the host loads instead of the one the tests were built with.
Results go to build-mutate/results.json; --resume skips the mutants caught
there with the same text, so a run after new tests reruns the survivors.
"""

import argparse
import filecmp
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER = "cdc/bus/kernel/winnt"


class Mutant:
    def __init__(self, ident, path, occurrence, description, line):
        self.id = ident
        self.file = path
        self.occurrence = occurrence
        self.description = description
        self.line = line
        self.original = []
        self.replacement = []
        self.equivalent = None

    @property
    def old(self):
        return "\n".join(self.original)

    @property
    def new(self):
        return "\n".join(self.replacement)

    def key(self):
        return [self.file, self.occurrence, self.old, self.new]


HEADER = re.compile(r"^(\S+)\s+([\w./-]+?)(?:#(\d+))?:\s*(.*)$")


def parse_list(path):
    mutants = []
    seen = set()
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("  - ") or line == "  -":
                mutants[-1].original.append(line[4:])
                continue
            if line.startswith("  + ") or line == "  +":
                mutants[-1].replacement.append(line[4:])
                continue
            if line.startswith("  = "):
                mutants[-1].equivalent = line[4:]
                continue
            match = HEADER.match(line)
            if not match:
                sys.exit(f"{path}:{number}: cannot read: {line}")
            ident, name, occurrence, description = match.groups()
            if ident in seen:
                sys.exit(f"{path}:{number}: duplicate id {ident}")
            seen.add(ident)
            mutants.append(Mutant(ident, name, int(occurrence) if occurrence else 0, description, number))
    for m in mutants:
        if not m.original:
            sys.exit(f"{path}:{m.line}: {m.id} has no original text")
    return mutants


def tree_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True,
                         capture_output=True).stdout
    return [p for p in out.decode().split("\0") if p and not p.startswith("build")]


def sync_tree(src):
    """Copies the working tree to src, touching only files that differ, so an
    incremental build there rebuilds only what changed."""
    copied = 0
    files = tree_files()
    for rel in files:
        a = os.path.join(ROOT, rel)
        b = os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        if os.path.isfile(b) and filecmp.cmp(a, b, shallow=False):
            continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        # A fresh time, so that the build does not take an object made from
        # a mutant (or an older copy) for up to date.
        shutil.copyfile(a, b)
        shutil.copymode(a, b)
        copied += 1
    keep = set(files)
    for dirpath, dirnames, filenames in os.walk(src):
        rel_dir = os.path.relpath(dirpath, src)
        if rel_dir == "." :
            dirnames[:] = [d for d in dirnames if d != "build"]
        for name in filenames:
            rel = os.path.normpath(os.path.join(rel_dir, name))
            if rel not in keep:
                os.unlink(os.path.join(dirpath, name))
    return copied


def locate(text, needle, occurrence):
    """Offset of the occurrence-th needle (0: the only one), or a reason."""
    positions = []
    start = 0
    while True:
        at = text.find(needle, start)
        if at < 0:
            break
        positions.append(at)
        start = at + 1
    if not positions:
        return None, "no longer applies"
    if occurrence == 0:
        if len(positions) > 1:
            return None, f"ambiguous ({len(positions)} occurrences; give #N)"
        return positions[0], None
    if occurrence > len(positions):
        return None, "no longer applies"
    return positions[occurrence - 1], None


def run(cmd, cwd, env, timeout=None):
    return subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)


def build_env():
    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", "/work")
    env.setdefault("CCACHE_DIR", "/work/.ccache")
    env.setdefault("CCACHE_NOHASHDIR", "1")
    return env


def configure(src, build, env):
    if os.path.exists(os.path.join(build, "CMakeCache.txt")):
        return
    launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"] \
        if shutil.which("ccache") else []
    r = run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCDC_WERROR=ON"] + launcher,
            src, env)
    if r.returncode != 0:
        sys.exit("configuring the scratch build failed:\n" + r.stdout[-4000:])


# A parameterised test's line carries its parameter ("name  # GetParam() = ...").
FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) .*\(")
# A test's own line, which a run stopped at its first failure still prints.
RESULT_LINE = re.compile(r"Test\s+#\d+: (\S+) \.*\s*\*\*\*")


def ctest(suite, args, env, skip=(), first=False):
    """Runs the suite but the tests in skip; returns the names of the tests
    that failed, timed out or crashed."""
    cmd = ["ctest", "-j", str(args.jobs), "--timeout", str(args.timeout), "--no-tests=error"]
    if args.exclude_label:
        cmd += ["-LE", args.exclude_label]
    if args.tests:
        cmd += ["-R", args.tests]
    if skip:
        cmd += ["-E", "^(" + "|".join(re.escape(name) for name in skip) + ")$"]
    if first:
        cmd += ["--stop-on-failure"]
    r = run(cmd, suite, env)
    failed = []
    listing = False
    for line in r.stdout.splitlines():
        if line.startswith("The following tests FAILED:"):
            listing = True
            continue
        match = FAILED_LINE.match(line) if listing else RESULT_LINE.search(line)
        if match:
            failed.append(match.group(1))
    if r.returncode != 0 and not failed:
        tail = r.stdout.strip().splitlines()
        failed = ["(ctest: " + (tail[-1] if tail else f"exit {r.returncode}") + ")"]
    return sorted(set(failed))


def driver_image(build):
    for dirpath, _, filenames in os.walk(os.path.join(build, DRIVER)):
        for name in filenames:
            if name.startswith("cdcbus.") and not name.endswith((".o", ".d", ".txt", ".make", ".cmake")):
                return os.path.join(dirpath, name)
    sys.exit(f"no driver image under {build}")


def main():
    # A run stopped with SIGTERM still restores the mutated file.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ids", nargs="*", help="mutant ids to run (default: all)")
    parser.add_argument("--list", default=os.path.join(ROOT, "tests", "mutants", "mutants.txt"))
    parser.add_argument("--file", action="append", default=[], help="only mutants of this driver file")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="parallel tests (ctest -j)")
    parser.add_argument("--build-jobs", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=60, help="per-test time-out in seconds")
    parser.add_argument("--exclude-label", default="stress",
                        help="ctest labels left out (regular expression; '' for none)")
    parser.add_argument("--tests", default="", help="only tests matching this ctest -R expression")
    parser.add_argument("--first", action="store_true", help="stop each run at its first failing test")
    parser.add_argument("--resume", action="store_true", help="skip mutants already caught (survivors run again)")
    parser.add_argument("--no-baseline", action="store_true", help="skip the unmutated run")
    parser.add_argument("--dir", default=os.path.join(ROOT, "build-mutate"))
    parser.add_argument("--suite", default=os.path.join(ROOT, "build"),
                        help="the configured build whose tests are run (built first)")
    parser.add_argument("--no-suite-build", action="store_true", help="run the suite's tests as they are")
    parser.add_argument("--check", action="store_true", help="only check that every mutant applies")
    args = parser.parse_args()

    mutants = parse_list(args.list)
    if args.ids:
        wanted = set(args.ids)
        unknown = wanted - {m.id for m in mutants}
        if unknown:
            sys.exit("unknown mutant ids: " + " ".join(sorted(unknown)))
        mutants = [m for m in mutants if m.id in wanted]
    if args.file:
        names = {os.path.basename(f) for f in args.file}
        mutants = [m for m in mutants if m.file in names or os.path.splitext(m.file)[0] in names]

    if args.check:
        bad = 0
        for m in mutants:
            with open(os.path.join(ROOT, DRIVER, m.file), encoding="utf-8") as f:
                _, reason = locate(f.read(), m.old, m.occurrence)
            if reason:
                bad += 1
                print(f"{m.id} {m.file}: {reason}")
        print(f"{len(mutants) - bad} of {len(mutants)} mutants apply")
        return 1 if bad else 0

    src = os.path.join(args.dir, "src")
    build = os.path.join(src, "build")
    results_path = os.path.join(args.dir, "results.json")
    os.makedirs(src, exist_ok=True)
    env = build_env()
    results = {}
    if os.path.exists(results_path):
        with open(results_path) as f:
            results = json.load(f)

    suite = os.path.abspath(args.suite)
    if not os.path.exists(os.path.join(suite, "CMakeCache.txt")):
        sys.exit(f"{suite} is not a configured build (cmake -S . -B {args.suite} first)")
    if not args.no_suite_build:
        r = run(["cmake", "--build", suite, "-j", str(args.build_jobs)], ROOT, env)
        if r.returncode != 0:
            sys.exit("the suite does not build:\n" + r.stdout[-4000:])
    copied = sync_tree(src)
    print(f"scratch tree {src}: {copied} files updated", flush=True)
    configure(src, build, env)
    r = run(["cmake", "--build", build, "-j", str(args.build_jobs), "--target", "cdcbus_driver"], src, env)
    if r.returncode != 0:
        sys.exit("the unmutated driver does not build:\n" + r.stdout[-4000:])
    env["CDC_DRIVER_IMAGE"] = driver_image(build)

    baseline = []
    if not args.no_baseline:
        started = time.time()
        baseline = ctest(suite, args, env)
        print(f"unmutated suite: {len(baseline)} failing (left out from here on), {time.time() - started:.0f} s"
              + (": " + " ".join(baseline) if baseline else ""), flush=True)

    def save():
        with open(results_path + ".tmp", "w") as f:
            json.dump(results, f, indent=1, sort_keys=True)
        os.replace(results_path + ".tmp", results_path)

    for m in mutants:
        previous = results.get(m.id)
        if args.resume and previous and previous.get("key") == m.key() and previous["verdict"] == "caught":
            print(f"{m.id} {m.file}: {previous['verdict']} (earlier run)"
                  + (": " + " ".join(previous["tests"]) if previous["tests"] else ""), flush=True)
            continue
        path = os.path.join(src, DRIVER, m.file)
        with open(path, encoding="utf-8") as f:
            pristine = f.read()
        at, reason = locate(pristine, m.old, m.occurrence)
        if reason:
            results[m.id] = {"key": m.key(), "file": m.file, "verdict": reason, "tests": []}
            print(f"{m.id} {m.file}: {reason}", flush=True)
            save()
            continue
        started = time.time()
        stat = os.stat(path)
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(pristine[:at] + m.new + pristine[at + len(m.old):])
            r = run(["cmake", "--build", build, "-j", str(args.build_jobs), "--target", "cdcbus_driver"], src, env)
            if r.returncode != 0:
                verdict, tests = "build failed", [line for line in r.stdout.splitlines() if "error" in line][:3]
            else:
                failing = ctest(suite, args, env, skip=baseline, first=args.first)
                tests = [t for t in failing if t not in baseline]
                verdict = "caught" if tests else "survived"
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(pristine)
            # The restored file keeps its old time, so its object is rebuilt
            # from ccache rather than judged up to date with the mutant's.
            os.utime(path, ns=(stat.st_atime_ns, time.time_ns()))
        results[m.id] = {"key": m.key(), "file": m.file, "verdict": verdict, "tests": tests,
                         "seconds": round(time.time() - started)}
        save()
        shown = tests if len(tests) <= 6 else tests[:6] + [f"... {len(tests) - 6} more"]
        print(f"{m.id} {m.file}: {verdict} ({time.time() - started:.0f} s)" + (": " + " ".join(shown) if shown else ""),
              flush=True)

    # Rates over the whole list, from this run and earlier ones.
    listed = parse_list(args.list)
    per_file = {}
    for m in listed:
        entry = results.get(m.id)
        verdict = entry["verdict"] if entry and entry.get("key") == m.key() else "not run"
        counts = per_file.setdefault(m.file, {"caught": 0, "survived": 0, "equivalent": 0, "other": 0})
        if verdict == "survived" and m.equivalent:
            verdict = "equivalent"
        counts[verdict if verdict in ("caught", "survived", "equivalent") else "other"] += 1
    print("\nper file (caught/decided, equivalent survivors apart):")
    total_c = total_d = total_e = total_o = 0
    for name in sorted(per_file):
        c = per_file[name]
        decided = c["caught"] + c["survived"] + c["equivalent"]
        total_c, total_d = total_c + c["caught"], total_d + decided
        total_e, total_o = total_e + c["equivalent"], total_o + c["other"]
        rate = f"{100 * c['caught'] / decided:.0f} %" if decided else "-"
        notes = ([f"{c['equivalent']} equivalent"] if c["equivalent"] else []) + \
            ([f"{c['other']} not decided"] if c["other"] else [])
        print(f"  {name:32} {c['caught']:3}/{decided:<3} {rate:>5}" + (f"  ({', '.join(notes)})" if notes else ""))
    rate = f"{100 * total_c / total_d:.1f} %" if total_d else "-"
    print(f"overall: {total_c}/{total_d} caught, {rate}" + (f"; {total_e} equivalent" if total_e else "")
          + (f"; {total_o} not decided" if total_o else ""))
    survivors = [m.id for m in listed if results.get(m.id, {}).get("verdict") == "survived"
                 and results[m.id].get("key") == m.key() and not m.equivalent]
    if survivors:
        print("survivors: " + " ".join(survivors))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Runs the end-to-end cases on each Wine prefix, the prefixes side by side: the runner
(e2e_runner.exe), started once per prefix on the cases file (cases.txt), and each of its lines
recorded; the cases that the file leaves to Wine run here, under the same names. Then, on the
first prefix, the runner's own checks. Exits 1 when a case failed, or when the number of cases
run differs from what the file declares."""

import argparse
import os
import re
import shutil
import sys
import threading
import time
import traceback

from e2e_cases import ACTCTX_CHANNELS, MANIFEST_CASE, WINE_CASES, Check, \
    activation_context_reports
from runner_checks import check_runner
from winelab import RELAY_FUNCTIONS, Prefix, add_job_arguments, run_main

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report import finish, record, record_not_here

CASES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.txt")
# The kit as make e2e-kit lays it out, inside the prefix: the runner takes what lies beside it.
KIT = r"C:\e2e-kit"
_LINE = re.compile(r"^(ok  |FAIL|not-here) (.*)$")
_TIME = re.compile(r"^    (\d+\.\d) s$")


class DataCase:
    def __init__(self, name):
        self.name, self.suite, self.wine_only, self.only = name, "", None, None


def read_cases(path):
    """The count the cases file declares, and its cases: name, suite, what keeps them off."""
    declared, cases = None, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if line.startswith("cases ") and declared is None:
                declared = int(words[1])
            elif line.startswith("case "):
                cases.append(DataCase(line[5:].rstrip("\n")))
            elif cases and words[0] == "suite":
                cases[-1].suite = words[1]
            elif cases and words[0] == "wine-only":
                cases[-1].wine_only = line.split("|")[1]
            elif cases and words[0] == "only":
                cases[-1].only = words[1]
    return declared, cases


def lay_out_kit(prefix):
    """The runner, the cases file, the wrapper under test and every program of the lab."""
    kit = prefix.host_path(KIT)
    shutil.rmtree(kit, ignore_errors=True)
    os.makedirs(kit)
    for name in os.listdir(prefix.bin_dir):
        if name.endswith(".exe"):
            shutil.copy(os.path.join(prefix.bin_dir, name), kit)
    shutil.copy(prefix.exe, os.path.join(kit, "VuqSetup.exe"))
    shutil.copy(CASES_FILE, os.path.join(kit, "cases.txt"))
    return kit


def run_runner(prefix, arguments=(), extra_env=None, timeout=1800):
    """The runner in the kit with these arguments, after the entry that the demo and the bench
    leave in the prefix is cleared (the runner would refuse to start), in one start of Wine;
    there too the relay trace of the Wine-only case is told what to trace."""
    quoted = " ".join('"%s"' % argument.replace("%", "%%") for argument in arguments)
    relay = 'reg add HKCU\\Software\\Wine\\Debug /v RelayInclude /d "%s" /f >nul' % RELAY_FUNCTIONS
    lines = ["@echo off", KIT + r"\regtool.exe clear", relay, KIT + r"\e2e_runner.exe " + quoted,
             "exit /b %errorlevel%"]
    with open(prefix.host_path(KIT + r"\run.bat"), "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    return prefix.wine(["cmd", "/c", KIT + r"\run.bat"], extra_env, timeout=timeout)


def runner_lines(output, names=()):
    """(status, name, what it said) per case line of the runner, and its other lines. A case's
    name may hold ": " too: a not-here line is cut after the longest name it starts with."""
    cases, others = [], []
    for line in output.splitlines():
        match = _LINE.match(line)
        if match:
            status, rest = match.group(1).strip(), match.group(2)
            if status == "not-here":
                name = max([name for name in names if rest.startswith(name + ": ")] or [""],
                           key=len) or rest.partition(": ")[0]
                cases.append([status, name, [rest[len(name) + 2:]]])
            else:
                cases.append([status, rest, []])
        elif _TIME.match(line) and cases:
            cases[-1].append(float(_TIME.match(line).group(1)))
        elif line.startswith("    ") and cases:
            cases[-1][2].append(line[4:])
        else:
            others.append(line)
    return cases, others


class Recorder:
    """What one prefix's thread found, recorded once every thread is done: the prefixes run side
    by side (each has a wineserver of its own, and the test VM a CPU for each), and their lines
    come out one prefix after the other."""

    def __init__(self):
        self.calls = []

    def record(self, *arguments):
        self.calls.append((record, arguments))

    def not_here(self, *arguments):
        self.calls.append((record_not_here, arguments))

    def say(self, text):
        self.calls.append((print, (text,)))

    def replay(self):
        for function, arguments in self.calls:
            function(*arguments)


def run_wine_case(prefix, label, function, out):
    check = Check()
    started = time.time()
    try:
        function(prefix, check)
    except Exception:  # a harness fault fails the case, the others still run
        check.failures.append(traceback.format_exc())
    out.record("%s (%.1f s)" % (label, time.time() - started), not check.failures,
               check.failures)


def run_cases(prefix, pattern, out):
    declared, cases = read_cases(CASES_FILE)
    by_name = {case.name: case for case in cases}
    if not any(pattern in case.name for case in cases):
        # The runner refuses an --only that names no case; the runner's own checks may be all
        # that was asked for.
        if "runner" not in pattern:
            out.record("%s: a case whose name holds %r" % (prefix.arch, pattern), False,
                       ["no case's name holds it"])
        return
    started = time.time()
    arguments = ["--only", pattern] if pattern else []
    result = run_runner(prefix, arguments, {"WINEDEBUG": "-all" + ACTCTX_CHANNELS})
    output = result.stdout.decode("utf-8", "replace")
    lines, others = runner_lines(output, by_name)
    out.say("%s: the runner took %.0f s" % (prefix.arch, time.time() - started))
    for status, name, said, *took in lines:
        case = by_name.get(name)
        label = "%s %s: %s" % (prefix.arch, case.suite if case else "?", name)
        if status != "not-here" and took:
            label += " (%.1f s)" % took[0]
        if status == "not-here" and name in WINE_CASES:
            run_wine_case(prefix, label, WINE_CASES[name], out)
        elif status == "not-here" and case and case.wine_only:
            out.record(label, False, ["the cases file leaves it to Wine, which has no such case"])
        elif status == "not-here":
            out.not_here(label, said[0])
        else:
            reports = activation_context_reports(result.stderr.decode("utf-8", "replace")) \
                if name == MANIFEST_CASE else []
            out.record(label, status == "ok" and not reports, said + reports)
    # The count and the exit status are checks of the run as a whole: a failure of either is
    # recorded, and adds to the cases' counts; else they are only said.
    wanted = [case.name for case in cases if pattern in case.name]
    ran = [line[1] for line in lines]
    why = ["the cases file declares %d cases and holds %d" % (declared, len(cases))
           if declared != len(cases) else "",
           "ran %d of %d: %s" % (len(ran), len(wanted), sorted(set(wanted) ^ set(ran)))
           if sorted(ran) != sorted(wanted) else ""]
    counted = "%s: the runner ran each case of the data once (%d of %d declared)" % (
        prefix.arch, len(ran), declared)
    if any(why):
        out.record(counted, False,
                   [w for w in why if w] + ["the runner said: " + line for line in others[-5:]])
    else:
        out.say(counted)
    failed = any(line[0] == "FAIL" for line in lines)
    if result.returncode != (1 if failed or declared != len(cases) else 0):
        out.record("%s: the runner's exit status says how its cases went" % prefix.arch, False,
                   ["exit %d; its last lines: %s" % (result.returncode, others[-3:])])


def run_prefix(prefix, pattern, checks_runner, out):
    try:
        lay_out_kit(prefix)
        run_cases(prefix, pattern, out)
        if checks_runner and (not pattern or "runner" in pattern):
            started = time.time()
            check_runner(prefix, pattern, runner_lines, out.record)
            out.say("%s: the runner's own checks took %.0f s" % (prefix.arch,
                                                                 time.time() - started))
    except Exception:  # a fault of the harness fails this prefix's run, not the other's
        out.record("%s: the harness" % prefix.arch, False, [traceback.format_exc()])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--arch", action="append", choices=["win64", "win32"])
    # Under ctest, the environment narrows the run for the inner loop.
    parser.add_argument("-k", default=os.environ.get("VUQ_E2E_ONLY", ""),
                        help="run only cases whose name holds this")
    args = parser.parse_args()

    only_arch = os.environ.get("VUQ_E2E_ARCH")
    arches = args.arch or ([only_arch] if only_arch else ["win64", "win32"])
    prefixes = []
    try:
        for arch in arches:
            started = time.time()
            prefixes.append(Prefix(args, arch))
            prefixes[-1].ensure()
            print("prefix %s ready in %.1f s" % (arch, time.time() - started))
        recorders = [Recorder() for _ in prefixes]
        threads = [threading.Thread(target=run_prefix, args=(prefix, args.k, index == 0, out))
                   for index, (prefix, out) in enumerate(zip(prefixes, recorders))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for out in recorders:
            out.replay()
    finally:
        for prefix in prefixes:
            prefix.stop()
    return finish()


if __name__ == "__main__":
    sys.exit(run_main(main))

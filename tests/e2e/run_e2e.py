"""Runs the end-to-end cases on each Wine prefix and prints one line per case, then
'N passed, M failed'. Exits 1 when a case failed."""

import argparse
import sys
import time
import traceback

from e2e_cases import CASES, Check  # importing registers the cases
from winelab import Prefix, add_job_arguments, run_main


def run_cases(prefix, suites, pattern):
    passed = failed = 0
    for name, suite, only, function in CASES:
        if suite not in suites or (only and only != prefix.arch) or pattern not in name:
            continue
        check = Check()
        started = time.time()
        try:
            function(prefix, check)
        except Exception:  # a harness fault fails the case, the others still run
            check.failures.append(traceback.format_exc())
        label = "%s %s: %s (%.1f s)" % (prefix.arch, suite, name, time.time() - started)
        if check.failures:
            failed += 1
            print("FAIL " + label)
            for failure in check.failures:
                print("    " + failure.replace("\n", "\n    "))
        else:
            passed += 1
            print("ok   " + label)
        sys.stdout.flush()
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--arch", action="append", choices=["win64", "win32"])
    parser.add_argument("--suite", action="append",
                        choices=["launch", "cleanup", "faults", "bench"])
    parser.add_argument("-k", default="", help="run only cases whose name holds this")
    args = parser.parse_args()

    passed = failed = 0
    for arch in args.arch or ["win64", "win32"]:
        prefix = Prefix(args, arch)
        started = time.time()
        prefix.ensure()
        print("prefix %s ready in %.1f s" % (arch, time.time() - started))
        try:
            p, f = run_cases(prefix, args.suite or ["launch", "cleanup", "faults", "bench"], args.k)
        finally:
            prefix.stop()
        passed, failed = passed + p, failed + f
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(run_main(main))

"""Runs the end-to-end cases on each Wine prefix, one line per case as it ends. Exits 1 when a
case failed."""

import argparse
import os
import sys
import time
import traceback

from e2e_cases import CASES, Check  # importing registers the cases
from winelab import Prefix, add_job_arguments, run_main

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report import finish, record


def run_cases(prefix, suites, pattern):
    for name, suite, only, function in CASES:
        if suite not in suites or (only and only != prefix.arch) or pattern not in name:
            continue
        check = Check()
        started = time.time()
        try:
            function(prefix, check)
        except Exception:  # a harness fault fails the case, the others still run
            check.failures.append(traceback.format_exc())
        record("%s %s: %s (%.1f s)" % (prefix.arch, suite, name, time.time() - started),
               not check.failures, check.failures)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    add_job_arguments(parser)
    parser.add_argument("--arch", action="append", choices=["win64", "win32"])
    parser.add_argument("--suite", action="append",
                        choices=["launch", "cleanup", "faults", "bench"])
    # Under ctest, the environment narrows the run for the inner loop.
    parser.add_argument("-k", default=os.environ.get("VUQ_E2E_ONLY", ""),
                        help="run only cases whose name holds this")
    args = parser.parse_args()

    only_arch = os.environ.get("VUQ_E2E_ARCH")
    for arch in args.arch or ([only_arch] if only_arch else ["win64", "win32"]):
        prefix = Prefix(args, arch)
        started = time.time()
        prefix.ensure()
        print("prefix %s ready in %.1f s" % (arch, time.time() - started))
        try:
            run_cases(prefix, args.suite or ["launch", "cleanup", "faults", "bench"], args.k)
        finally:
            prefix.stop()
    return finish()


if __name__ == "__main__":
    sys.exit(run_main(main))

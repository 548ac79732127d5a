"""The one way the Python checks report: a line per check as it ends, "ok   NAME", or "FAIL NAME"
and below it what went wrong, or "not-here NAME: REASON" for one that cannot run on this system;
then "N passed, M failed" (and how many were not here). Under ctest VUQ_REPORT names the test,
and the counts also go to counts-NAME.json in the log folder, for the summary of make test."""

import json
import os
import sys

counts = {"passed": 0, "failed": 0, "not here": 0}


def record(name, ok, why=()):
    counts["passed" if ok else "failed"] += 1
    print(("ok   " if ok else "FAIL ") + name)
    for line in () if ok else why:
        print("    " + line.replace("\n", "\n    "))
    sys.stdout.flush()


def record_not_here(name, reason):
    counts["not here"] += 1
    print("not-here %s: %s" % (name, reason))
    sys.stdout.flush()


def check(name, got, want):
    record(name, got == want, ["got %r, want %r" % (got, want)])


def finish():
    """Shows and leaves the counts; the exit status is 1 when a check failed or none ran."""
    print("%(passed)d passed, %(failed)d failed" % counts
          + (", %(not here)d not here" % counts if counts["not here"] else ""))
    if os.environ.get("VUQ_REPORT"):
        logs = os.environ.get("VUQ_LOG_DIR") or os.path.join(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "logs")
        os.makedirs(logs, exist_ok=True)
        with open(os.path.join(logs, "counts-%s.json" % os.environ["VUQ_REPORT"]), "w") as f:
            f.write(json.dumps(counts) + "\n")
    return 1 if counts["failed"] or not counts["passed"] else 0

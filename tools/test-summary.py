"""The end of `make test` and `make check`: per suite, how many passed and failed and how long it
took, from the JUnit files of tools/run-tests.sh. A check that left LOG_DIR/counts-NAME.json (the
Wine cases, the checks of the image, of signing, of the demo) counts as those; any other as one.

  test-summary.py LOG_DIR PRESET...
"""

import json
import os
import sys
import xml.etree.ElementTree as ElementTree

# (suite, preset, first part of the test names); the tests of a preset that none names are
# shown on their own.
SUITES = [
    ("native", "native", ""),
    ("sanitizers", "native-asan", ""),
    ("fuzz smoke", "fuzz", ""),
    ("Windows end-to-end", "windows", "e2e_"),
    ("image", "windows", "image_"),
    ("signing", "windows", "sign_"),
    ("release", "windows", "release_"),
    ("demo both ways", "windows", "demo_"),
    ("set-up failures", "windows", "setup_"),
]


def duration(seconds):
    if seconds < 10:
        return "%.1f s" % seconds
    seconds = round(seconds)
    minutes, seconds = divmod(seconds, 60)
    if not minutes:
        return "%d s" % seconds
    return "%d min %d s" % (minutes, seconds) if seconds else "%d min" % minutes


def results(path, logs):
    """(name, passed, failed, seconds) of each test in a ctest JUnit file."""
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            continue
        failed = case.find("failure") is not None or case.find("error") is not None
        try:
            with open(os.path.join(logs, "counts-%s.json" % case.get("name"))) as file:
                counts = json.load(file)
            p, f = counts["passed"], max(counts["failed"], int(failed))
        except (OSError, ValueError, KeyError):
            p, f = (0, 1) if failed else (1, 0)
        yield case.get("name"), p, f, float(case.get("time") or 0)


def main():
    logs, presets = sys.argv[1], sys.argv[2:]
    rows = []  # [suite, passed, failed, seconds or None when it did not run]
    for preset in presets:
        path = os.path.join(logs, "ctest-%s.xml" % preset)
        named = [[suite, 0, 0, 0.0, prefix, 0] for suite, p, prefix in SUITES if p == preset]
        others = []
        try:
            tests = list(results(path, logs))
        except (OSError, ElementTree.ParseError):
            rows += [[row[0], 0, 0, None] for row in named] or [[preset, 0, 0, None]]
            continue
        for name, p, f, seconds in tests:
            row = next((r for r in named if name.startswith(r[4])), None)
            if row is None:
                row = [name, 0, 0, 0.0, name, 0]
                others.append(row)
            row[1] += p
            row[2] += f
            row[3] += seconds
            row[5] += 1
        rows += [row[:4] for row in named + others if row[5]]

    target = "make check" if set(presets) <= {"native", "native-asan"} else "make test"
    print("\nSummary of %-15s passed  failed  time" % target)
    for suite, p, f, seconds in rows:
        if seconds is None:
            print("  %-24s %6s  %6s  did not run" % (suite, "-", "-"))
        else:
            print("  %-24s %6d  %6d  %s" % (suite, p, f, duration(seconds)))
    bad = [row[0] for row in rows if row[2] or row[3] is None]
    print("Failed: " + ", ".join(bad) if bad else "All passed.")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

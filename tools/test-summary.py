"""The end of `make test` and `make check`: per suite, how many passed and failed and how long it
took, from the JUnit files of tools/run-tests.sh. A check that left LOG_DIR/counts-NAME.json (the
Wine cases, the checks of the image, of signing, of the demo) counts as those; any other as one.
Checks that could not run on this system ("not here", with their reason in the test's output)
are counted beside the suite.

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
    """(name, passed, failed, not here, seconds) of each test in a ctest JUnit file."""
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        if case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
            continue
        failed = case.find("failure") is not None or case.find("error") is not None
        try:
            with open(os.path.join(logs, "counts-%s.json" % case.get("name"))) as file:
                counts = json.load(file)
            p, f = counts["passed"], max(counts["failed"], int(failed))
            n = counts.get("not here", 0)
        except (OSError, ValueError, KeyError):
            p, f = (0, 1) if failed else (1, 0)
            n = 0
        yield case.get("name"), p, f, n, float(case.get("time") or 0)


def main():
    logs, presets = sys.argv[1], sys.argv[2:]
    rows = []  # [suite, passed, failed, seconds or None when it did not run, not here]
    for preset in presets:
        path = os.path.join(logs, "ctest-%s.xml" % preset)
        named = [[suite, 0, 0, 0.0, prefix, 0, 0] for suite, p, prefix in SUITES if p == preset]
        others = []
        try:
            tests = list(results(path, logs))
        except (OSError, ElementTree.ParseError):
            rows += [[row[0], 0, 0, None, 0] for row in named] or [[preset, 0, 0, None, 0]]
            continue
        for name, p, f, n, seconds in tests:
            row = next((r for r in named if name.startswith(r[4])), None)
            if row is None:
                row = [name, 0, 0, 0.0, name, 0, 0]
                others.append(row)
            row[1] += p
            row[2] += f
            row[3] += seconds
            row[5] += 1
            row[6] += n
        rows += [row[:4] + row[6:] for row in named + others if row[5]]

    target = "make check" if set(presets) <= {"native", "native-asan"} else "make test"
    print("\nSummary of %-15s passed  failed  time" % target)
    for suite, p, f, seconds, n in rows:
        if seconds is None:
            print("  %-24s %6s  %6s  did not run" % (suite, "-", "-"))
        else:
            print("  %-24s %6d  %6d  %s%s" % (suite, p, f, duration(seconds),
                                            "  (%d not here)" % n if n else ""))
    bad = [row[0] for row in rows if row[2] or row[3] is None]
    print("Failed: " + ", ".join(bad) if bad else "All passed.")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

"""Runs `make demo` as a user would and checks what it shows: on both systems the payload that
fits was started from C:\\Setup with the expected command line, and the tag was cut from the three
values. Prints the demo's output, then one line per check.

  check_demo.py REPO              the way VUQ_WINE takes (auto: the way this machine takes)
  check_demo.py REPO --other-way  the other way, with arguments; where that is the host and
                                  this machine cannot execute 32-bit code, forcing the host
                                  must stop at once with one clear line
  check_demo.py REPO --pinned     `make demo PINNED=1` the way VUQ_WINE takes: the pinned build
                                  starts the genuine payloads and refuses a planted one
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report import finish, record

CUT = [
    ("Comments", '"Beta build for early adopters" -> ""'),
    ("DisplayName", '"Vuq Touchscreen Driver Beta" -> "Vuq Touchscreen Driver "'),
    ("DisplayVersion", '"5.5.3 Beta" -> "5.5.3 "'),
    ("Publisher", '"Vuq Devices Team" -> "Vuq Devices Team"'),
]


def expected_lines(system, payload, arguments):
    received = arguments if arguments else "/NoReset "
    lines = [
        "Payload started: C:\\Setup\\" + payload,
        "It received:     %r" % received,
        "Its current dir: C:\\Setup (inherited from the wrapper)",
        "Wrapper ended:   exit status 0",
    ]
    lines += ["  %-15s %s" % (name + ":", shown) for name, shown in CUT]
    return [(system, line) for line in lines]


def planted_lines(system, payload):
    box = "C:\\Setup\\%s is not the file this setup was made for." % payload
    lines = ["Message box:     %r (caption 'VUQ Setup')" % box, "Payload started: no",
             "Wrapper ended:   exit status 1", "Uninstall entry: untouched"]
    return [(system, line) for line in lines]


def run_demo(repo, way, arguments, *more):
    env = dict(os.environ, VUQ_WINE=way)
    env.pop("MAKEFLAGS", None)  # the outer make's jobserver is not ours
    result = subprocess.run(["make", "--no-print-directory", "-C", repo, "demo",
                             "ARGS=" + arguments] + list(more), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True, env=env)
    print(result.stdout)
    return result


def check_demo(result, arguments, expected=()):
    sections = dict(re.findall(r"=== (\d\d-bit) Windows[^\n]*\n(.*?)(?=\n===|\Z)", result.stdout,
                               re.S))
    record("make demo exits 0", result.returncode == 0)
    record("no traceback", "Traceback" not in result.stdout)
    for system, line in (expected_lines("64-bit", "VuqSetup64.wzq", arguments) +
                         expected_lines("32-bit", "VuqSetup.wzq", arguments) + list(expected)):
        record("%s shows %r" % (system, line), line in sections.get(system, ""))


def check_refusal(result):
    said = [line for line in result.stdout.splitlines() if line.startswith("wine-run:")]
    record("forced host fails", result.returncode != 0)
    record("one line says why and how to go on",
           len(said) == 1 and "cannot execute 32-bit" in said[0] and "VUQ_WINE=vm" in said[0])
    record("no traceback", "Traceback" not in result.stdout)


def main():
    repo = sys.argv[1]
    can_run_32bit = os.path.join(repo, "tools/can-run-32bit.sh")
    native = subprocess.run(["sh", can_run_32bit]).returncode == 0
    way = os.environ.get("VUQ_WINE", "auto")
    taken = "host" if way == "host" or (way == "auto" and native) else "vm"
    if "--pinned" in sys.argv:
        check_demo(run_demo(repo, way, "", "PINNED=1"), "",
                   planted_lines("64-bit", "VuqSetup64.wzq") +
                   planted_lines("32-bit", "VuqSetup.wzq"))
    elif "--other-way" not in sys.argv:
        check_demo(run_demo(repo, way, ""), "")
    elif taken == "host":
        check_demo(run_demo(repo, "vm", "/S /v"), "/S /v")
    elif native:
        check_demo(run_demo(repo, "host", "/S /v"), "/S /v")
    else:
        check_refusal(run_demo(repo, "host", ""))
    return finish()


if __name__ == "__main__":
    sys.exit(main())

"""Runs `make demo` as a user would and checks what it shows: on both systems the payload that
fits was started from C:\\Setup with the expected command line, and the tag was cut from the three
values. Prints the demo's output, then one line per check.

  check_demo.py REPO              the way VUQ_WINE takes (auto: the way this machine takes)
  check_demo.py REPO --other-way  the other way, with arguments; where that is the host and
                                  this machine cannot execute 32-bit code, forcing the host
                                  must stop at once with one clear line
  check_demo.py REPO --pinned     `make demo PINNED=1` the way VUQ_WINE takes: the pinned build
                                  starts the genuine payloads and refuses a planted one
  check_demo.py REPO --rehearsal WORK_DIR
                                  `make demo PAYLOAD32=F PAYLOAD64=F`: the README's NSIS example
                                  as it stands, built with makensis, is started with the ARGS on
                                  both systems and its entry cut; a payload that never ends is
                                  ended at the time limit, which the rehearsal says
Every demo leaves dist/ as it was.
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from make_run import run_make, snapshot
from report import finish, record

CUT = [
    ("Comments", '"Beta build for early adopters" -> ""'),
    ("DisplayName", '"Vuq Touchscreen Driver Beta" -> "Vuq Touchscreen Driver "'),
    ("DisplayVersion", '"5.5.3 Beta" -> "5.5.3 "'),
    ("Publisher", '"Vuq Devices Team" -> "Vuq Devices Team"'),
]


def started_lines(payload, pinned):
    """A plain build starts the payload beside it; a pinned one, its private copy."""
    if not pinned:
        return ["Payload started: C:\\Setup\\" + payload]
    return [re.compile(r"Payload started: C:\\windows\\temp\\VuqSetup-[a-p]{32}\\%s\n"
                       % re.escape(payload), re.I),
            "Private copy:    removed once the wrapper ended"]


def expected_lines(system, payload, arguments, pinned=False):
    received = arguments if arguments else "/NoReset "
    lines = started_lines(payload, pinned) + [
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
    dist = snapshot(os.path.join(repo, "dist"))
    result = run_make(repo, "demo", "ARGS=" + arguments, *more, env=dict(os.environ, VUQ_WINE=way),
                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    print(result.stdout)
    result.dist_kept = dist == snapshot(os.path.join(repo, "dist"))
    return result


def system_sections(output):
    """What the demo printed for each system, by "64-bit" and "32-bit"."""
    return dict(re.findall(r"=== (\d\d-bit) Windows[^\n]*\n(.*?)(?=\n===|\Z)", output, re.S))


def shows(section, line):
    """A line (or a compiled pattern) in what the demo printed for one system."""
    return line.search(section) is not None if hasattr(line, "search") else line in section


def check_demo(result, arguments, expected=(), pinned=False):
    sections = system_sections(result.stdout)
    record("make demo exits 0", result.returncode == 0)
    record("no traceback", "Traceback" not in result.stdout)
    record("dist/ is as it was", result.dist_kept)
    for system, line in (expected_lines("64-bit", "VuqSetup64.wzq", arguments, pinned) +
                         expected_lines("32-bit", "VuqSetup.wzq", arguments, pinned) +
                         list(expected)):
        record("%s shows %r" % (system, line), shows(sections.get(system, ""), line))


def check_refusal(result):
    said = [line for line in result.stdout.splitlines() if line.startswith("wine-run:")]
    record("forced host fails", result.returncode != 0)
    record("one line says why and how to go on",
           len(said) == 1 and "cannot execute 32-bit" in said[0] and "VUQ_WINE=vm" in said[0])
    record("no traceback", "Traceback" not in result.stdout)


def check_rehearsal(repo, work):
    """The README's example as both payloads, then a payload that never ends."""
    os.makedirs(work, exist_ok=True)
    readme = open(os.path.join(repo, "README.md")).read()
    with open(os.path.join(work, "example.nsi"), "w") as f:
        f.write(re.search(r"\n```nsis\n([^`]+)```", readme).group(1))
    with open(os.path.join(work, "never.nsi"), "w") as f:
        f.write(NEVER_ENDING)
    for script in ("example.nsi", "never.nsi"):
        subprocess.run(["makensis", "-V2", script], cwd=work, check=True)
    example, never = os.path.join(work, "VuqSetup.wzq"), os.path.join(work, "never.exe")
    way = os.environ.get("VUQ_WINE", "auto")
    result = run_demo(repo, way, "/S extra", "PAYLOAD32=" + example, "PAYLOAD64=" + example)
    record("rehearsal exits 0", result.returncode == 0)
    record("rehearsal: dist/ is as it was", result.dist_kept)
    sections = system_sections(result.stdout)
    for system, payload in (("64-bit", "VuqSetup64.wzq"), ("32-bit", "VuqSetup.wzq")):
        for line in started_lines(payload, True) + [
                "It received:     '/S extra' (as the wrapper handed it to CreateProcessW)",
                "Wrapper ended:   exit status 0"] + EXAMPLE_CUT:
            record("rehearsal, %s shows %r" % (system, line), shows(sections.get(system, ""), line))
    limit = 5
    result = run_demo(repo, way, "/S", "PAYLOAD32=" + never, "PAYLOAD64=" + never,
                      "LIMIT=%d" % limit)
    ended = [float(after) for after in re.findall(r"exit status \d+ after ([\d.]+) s",
                                                   result.stdout)]
    record("never-ending payload: make demo exits 0", result.returncode == 0)
    record("both systems say the time limit ended it", result.stdout.count(
        "the payload was still running after %d s; the rehearsal ended it" % limit) == 2)
    record("both ended within the limit and 5 s",
           len(ended) == 2 and all(limit <= after < limit + 5 for after in ended))


NEVER_ENDING = """OutFile "never.exe"
SilentInstall silent
RequestExecutionLevel user
Section
  loop:
    Sleep 1000
    Goto loop
SectionEnd
"""
EXAMPLE_CUT = ['  Comments:       "Beta build" -> ""',
               '  DisplayName:    "Vuq Touchscreen Driver Beta" -> "Vuq Touchscreen Driver "',
               '  DisplayVersion: "5.5.3 Beta" -> "5.5.3 "']


def main():
    repo = sys.argv[1]
    can_run_32bit = os.path.join(repo, "tools/can-run-32bit.sh")
    native = subprocess.run(["sh", can_run_32bit]).returncode == 0
    way = os.environ.get("VUQ_WINE", "auto")
    taken = "host" if way == "host" or (way == "auto" and native) else "vm"
    if "--rehearsal" in sys.argv:
        check_rehearsal(repo, os.path.abspath(sys.argv[sys.argv.index("--rehearsal") + 1]))
    elif "--pinned" in sys.argv:
        check_demo(run_demo(repo, way, "", "PINNED=1"), "",
                   planted_lines("64-bit", "VuqSetup64.wzq") +
                   planted_lines("32-bit", "VuqSetup.wzq"), pinned=True)
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

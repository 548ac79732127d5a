"""A stage of set-up made to fail on purpose must show its stage line, its log's path and the
end of its log, and stop with a non-zero status: installing the build tools with a package that
does not exist (as root only: it runs apt-get), and creating a Wine prefix with a `wine` whose
wineboot fails.

  check_stages.py REPO WORK_DIR
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report import finish, record

FAKE_WINE = """#!/bin/sh
echo "wine: creating the prefix $WINEPREFIX"
echo "wine: could not load kernel32.dll, status c0000135" >&2
exit 1
"""


def run(command, env, cwd):
    result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    print(result.stdout.rstrip())
    return result


def check_failure(what, result, stage, log, said_last):
    """The stage line first, then the failure line that names the log, then its last lines."""
    lines = result.stdout.splitlines()
    failed = [i for i, line in enumerate(lines) if " FAILED after " in line]
    named = (log + ":", os.path.basename(os.path.dirname(log)) + "/" + os.path.basename(log) + ":")
    for name, ok in [
        ("it stops with a non-zero status", result.returncode != 0),
        ("its first line names the stage", bool(lines) and lines[0].startswith(stage)),
        ("one line says it failed and names its log",
         len(failed) == 1 and lines[failed[0]].startswith(stage) and
         lines[failed[0]].endswith(named)),
        ("the end of the log follows", bool(failed) and
         any(said_last in line for line in lines[failed[0] + 1:])),
        ("the log holds the tool's own output", os.path.exists(log) and
         said_last in open(log, encoding="utf-8", errors="replace").read()),
        ("no more than 25 lines, no traceback",
         len(lines) <= 25 and "Traceback" not in result.stdout),
    ]:
        record(what + ": " + name, ok)


def main():
    repo, work = sys.argv[1], os.path.abspath(sys.argv[2])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "bin"))
    logs = os.path.join(work, "logs")
    env = dict(os.environ, VUQ_LOG_DIR=logs, VUQ_PROGRESS="lines")
    env.pop("VERBOSE", None)
    env.pop("MAKEFLAGS", None)

    if os.getuid() == 0:
        print("--- installing the build tools with a package that does not exist")
        result = run(["sh", os.path.join(repo, "tools", "install-deps.sh"), "build"],
                     dict(env, VUQ_EXTRA_PACKAGES="vuq-no-such-package"), work)
        check_failure("install", result, "[set-up] installing the build tools (",
                      os.path.join(logs, "build-tools.log"),
                      "Unable to locate package vuq-no-such-package")
    else:
        print("--- not root: the failing install is not tried")

    print("--- creating a Wine prefix with a wineboot that fails")
    wine = os.path.join(work, "bin", "wine")
    with open(wine, "w") as f:
        f.write(FAKE_WINE)
    os.chmod(wine, 0o755)
    code = ("import sys, winelab\n"
            "class Args: prefix_root, bin, exe = sys.argv[1], '', ''\n"
            "sys.exit(winelab.run_main(lambda: winelab.Prefix(Args, 'win64').ensure()))\n")
    result = run([sys.executable, "-c", code, os.path.join(work, "prefixes")],
                 dict(env, PATH=os.path.dirname(wine) + os.pathsep + env["PATH"],
                      PYTHONPATH=os.path.join(repo, "lab")), work)
    check_failure("wineboot", result, "[set-up] creating the Wine prefix win64 (",
                  os.path.join(logs, "prefix-win64.log"), "could not load kernel32.dll")
    return finish()


if __name__ == "__main__":
    sys.exit(main())

"""What the checks that run make share: a copy of the source to run it in, make itself, and a
snapshot of a folder that shows any file written since."""

import hashlib
import os
import shutil
import subprocess


def copy_source(src, copy):
    """A fresh copy of the source without its build, output, history or a signing try-out's
    secrets: make runs there apart."""
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(src, copy, ignore=shutil.ignore_patterns(".git", "build", "dist", "try-out"))


def run_make(folder, *args, env=None, **options):
    """make ARGS in folder, its output kept as text; stdout and stderr apart unless told."""
    env = dict(os.environ if env is None else env)
    env.pop("MAKEFLAGS", None)  # the outer make's jobserver is not ours
    if "stdout" not in options:
        options["capture_output"] = True
    return subprocess.run(["make", "--no-print-directory", "-C", folder] + list(args), env=env,
                          text=True, stdin=subprocess.DEVNULL, **options)


def snapshot(folder):
    """Every file under folder with its time and SHA-256: a file written anew, even with the same
    bytes, shows."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = (os.stat(path).st_mtime_ns,
                                                        hashlib.sha256(f.read()).hexdigest())
    return found

"""Lays out a release: OUT/NAME/ holds the pinned wrapper, its two payloads under their names and
SHA256SUMS; OUT/NAME.zip holds that folder, byte for byte the same for the same files (fixed
times and order, stored uncompressed); OUT/NAME.sig is the wrapper's detached signature when it
was signed. All of it is written beside and renamed into place at the end: on failure nothing
is left half-written.

  release.py OUT NAME PAYLOAD32 PAYLOAD64                   checks the name and the payloads
  release.py OUT NAME PAYLOAD32 PAYLOAD64 EXE [SIGNATURE]   makes the release

On failure: one line on stderr, exit 1.
"""

import hashlib
import os
import re
import shutil
import sys
import zipfile

NAMES = ("VuqSetup.exe", "VuqSetup.wzq", "VuqSetup64.wzq")
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
CHUNK = 1 << 20


class Refused(Exception):
    pass


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(CHUNK), b""):
            digest.update(chunk)
    return digest


def check_inputs(name, payload32, payload64):
    if not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,99}", name):
        raise Refused("NAME=%r: use letters, digits, '.', '_' and '-' (a folder's name)" % name)
    if not payload32 or not payload64:
        raise Refused("a release needs its two payloads: PAYLOAD32=FILE PAYLOAD64=FILE")


def check_pinned(exe, payloads):
    """The wrapper must be the build pinned to these very payloads: it holds their digests."""
    with open(exe, "rb") as f:
        image = f.read()
    for payload in payloads:
        if sha256(payload).digest() not in image:
            raise Refused("%s is not pinned to %s: build it with these payloads" % (exe, payload))


def write_zip(folder, name, path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        for entry in sorted(os.listdir(folder)):
            source = os.path.join(folder, entry)
            info = zipfile.ZipInfo(name + "/" + entry, ZIP_TIME)
            info.create_system, info.external_attr = 3, 0o100644 << 16
            info.file_size = os.path.getsize(source)
            with open(source, "rb") as f, archive.open(info, "w") as out:
                shutil.copyfileobj(f, out, CHUNK)


def replace(staged, final):
    """Puts staged where final is, moving an older one out of the way first."""
    old = final + ".old"
    shutil.rmtree(old, ignore_errors=True)
    if os.path.lexists(final):
        os.rename(final, old)
    if staged:
        os.rename(staged, final)
    if os.path.isdir(old):
        shutil.rmtree(old)
    elif os.path.lexists(old):
        os.remove(old)


def make_release(out, name, exe, payload32, payload64, signature):
    check_pinned(exe, (payload32, payload64))
    os.makedirs(out, exist_ok=True)
    stage = os.path.join(out, ".%s.part.%d" % (name, os.getpid()))
    try:
        folder = os.path.join(stage, name)
        os.makedirs(folder)
        for source, target in zip((exe, payload32, payload64), NAMES):
            shutil.copyfile(source, os.path.join(folder, target))
        with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
            for target in sorted(NAMES):
                sums.write("%s  %s\n" % (sha256(os.path.join(folder, target)).hexdigest(), target))
        write_zip(folder, name, os.path.join(stage, name + ".zip"))
        if signature:
            shutil.copyfile(signature, os.path.join(stage, name + ".sig"))
        for suffix in ("", ".zip", ".sig"):
            staged = os.path.join(stage, name + suffix)
            replace(staged if os.path.exists(staged) else None, os.path.join(out, name + suffix))
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    print("release: %s/ (%s, SHA256SUMS)" % (os.path.join(out, name), ", ".join(NAMES)))
    print("zip:     %s.zip" % os.path.join(out, name))
    if signature:
        print("detached signature: %s.sig (publish it beside the zip)" % os.path.join(out, name))


def main(args):
    if len(args) not in (4, 5, 6):
        raise Refused("usage: release.py OUT NAME PAYLOAD32 PAYLOAD64 [EXE [SIGNATURE]]")
    out, name, payload32, payload64 = args[:4]
    check_inputs(name, payload32, payload64)
    if len(args) > 4:
        make_release(out, name, args[4], payload32, payload64, args[5] if len(args) > 5 else "")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Refused as refusal:
        print("release: %s" % refusal, file=sys.stderr)
    except OSError as error:
        print("release: %s: %s" % (error.filename, error.strerror), file=sys.stderr)
    sys.exit(1)

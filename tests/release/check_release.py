"""Runs `make release` as a release engineer would, in a copy of the source (this tree's build/
and dist/ stay as they are), with two payloads of our own: the lab's 32-bit stand-in and an x64
image made here. Checks that the zip is the same bytes twice, the folder's files and sums, that
its wrapper is the one `make PAYLOAD32=... PAYLOAD64=...` builds, and that a swapped pair, an
.msi, a DLL, a SIGNATURE that is none, and a SIGNATURE with a key are refused in one line with
nothing written into dist/release.

Usage: /usr/bin/python3 check_release.py SOURCE_DIR HELPER_DIR WORK_DIR
"""

import hashlib
import os
import shutil
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from make_run import copy_source, run_make, snapshot
from report import check, finish


def pe_image(machine, dll=False):
    """Headers enough for the payload check: MZ, PE, COFF and the optional header's subsystem."""
    characteristics = 0x0002 | 0x0100 | (0x2000 if dll else 0)
    wide = machine != 0x14C
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", machine, 1, 0, 0, 0, 240 if wide else 224,
                       characteristics)
    optional = struct.pack("<H66xH", 0x20B if wide else 0x10B, 2)
    return (b"MZ" + bytes(58) + struct.pack("<I", 64) + coff + optional).ljust(1024, b"\0")


def make(copy, *args):
    unsigned = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    return run_make(copy, *args, env=unsigned, timeout=900)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: check_release.py SOURCE_DIR HELPER_DIR WORK_DIR")
    src, helpers, work = (os.path.abspath(a) for a in sys.argv[1:])
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, "source")
    copy_source(src, copy)
    payloads = os.path.join(work, "payloads")
    os.makedirs(payloads)
    files = {"x86.exe": open(f"{helpers}/fake_payload.exe", "rb").read(),
             "x64.exe": pe_image(0x8664), "helper.dll": pe_image(0x14C, dll=True),
             "setup.msi": bytes.fromhex("d0cf11e0a1b11ae1") + bytes(504),
             "bogus.sig": b"-----BEGIN PKCS7-----\nbm90IGEgc2lnbmF0dXJl\n-----END PKCS7-----\n"}
    for name, data in files.items():
        with open(os.path.join(payloads, name), "wb") as f:
            f.write(data)
    pair = ["PAYLOAD32=" + os.path.join(payloads, "x86.exe"),
            "PAYLOAD64=" + os.path.join(payloads, "x64.exe")]
    release = os.path.join(copy, "dist", "release")

    zips = []
    for run in range(2):
        time.sleep(2.5 * run)  # a zip's times count in steps of 2 s
        made = make(copy, "release", "NAME=Vuq-1.0", *pair)
        check("make release exits 0", (made.returncode, made.stderr if made.returncode else ""),
              (0, ""))
        zips.append(open(os.path.join(release, "Vuq-1.0.zip"), "rb").read())
    check("the zip is the same bytes both times", zips[0] == zips[1], True)
    folder = os.path.join(release, "Vuq-1.0")
    check("the folder holds the wrapper, the payloads and SHA256SUMS, nothing else",
          sorted(os.listdir(folder)), ["SHA256SUMS", "VuqSetup.exe", "VuqSetup.wzq",
                                       "VuqSetup64.wzq"])
    sums = [f"{hashlib.sha256(open(os.path.join(folder, name), 'rb').read()).hexdigest()}"
            f"  {name}" for name in ("VuqSetup.exe", "VuqSetup.wzq", "VuqSetup64.wzq")]
    check("SHA256SUMS holds their sums", open(os.path.join(folder, "SHA256SUMS")).read(),
          "".join(line + "\n" for line in sums))
    check("the payloads are the files given",
          [open(os.path.join(folder, name), "rb").read() for name in ("VuqSetup.wzq",
                                                                      "VuqSetup64.wzq")],
          [files["x86.exe"], files["x64.exe"]])
    wrapper = open(os.path.join(folder, "VuqSetup.exe"), "rb").read()
    os.remove(os.path.join(copy, "dist", "VuqSetup.exe"))
    check("make PAYLOAD32=... PAYLOAD64=... exits 0", make(copy, *pair).returncode, 0)
    check("the release's wrapper is the one make PAYLOAD32=... PAYLOAD64=... builds",
          wrapper == open(os.path.join(copy, "dist", "VuqSetup.exe"), "rb").read(), True)

    before = snapshot(release)
    bogus = "SIGNATURE=" + os.path.join(payloads, "bogus.sig")
    refusals = [("a swapped pair", "x64.exe", "x86.exe", [], "x64.exe", "an x64 program"),
                ("an .msi", "setup.msi", "x64.exe", [], "setup.msi", "OLE compound file"),
                ("a DLL", "x86.exe", "helper.dll", [], "helper.dll", "a DLL"),
                ("a SIGNATURE that is none", "x86.exe", "x64.exe", [bogus], "bogus.sig",
                 "cannot attach"),
                ("a SIGNATURE and a key", "x86.exe", "x64.exe", [bogus, "SIGN_KEY=key.pem"],
                 "SIGNATURE", "not both")]
    for what, payload32, payload64, more, named, said in refusals:
        made = make(copy, "release", "NAME=Refused",
                    "PAYLOAD32=" + os.path.join(payloads, payload32),
                    "PAYLOAD64=" + os.path.join(payloads, payload64), *more)
        # Besides make's own, a signature's refusal follows the lines of the build it was given.
        lines = [line for line in made.stderr.splitlines()
                 if not line.startswith(("make", "pinned VuqSetup"))]
        check(f"{what}: refused in one line naming the file and what it is",
              (made.returncode != 0, len(lines), named in "".join(lines), said in "".join(lines)),
              (True, 1, True, True))
        print(f"     {lines[0] if lines else ''}")
        check(f"{what}: nothing written into dist/release", snapshot(release), before)
    sys.exit(finish())


if __name__ == "__main__":
    main()

"""Signs the built VuqSetup.exe with a throw-away certificate through tools/sign.sh, the script
behind make sign and make attach, and checks the result, the detached signature and the
failures. A timestamp server runs on 127.0.0.1 for the time of the test.

Usage: /usr/bin/python3 check_signing.py SOURCE_DIR EXE HELPER_DIR WORK_DIR
"""

import http.server
import os
import shutil
import subprocess
import sys
import threading

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from make_run import copy_source, run_make
from report import check, finish

PROGRAM_NAME = "VuqSetup Wrapper Application"
PASSWORD = "test password 7f3a"
EXTENSIONS = """
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[code]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tsa]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
"""
TSA_CONFIG = """
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = {pki}/tsa-serial
crypto_device = builtin
signer_cert = {pki}/tsa.pem
signer_key = {pki}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256
ess_cert_id_alg = sha256
"""

def run(args, env=None, timeout=120):
    return subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout)


def make_pki(pki):
    """A root, a code-signing certificate and a timestamping certificate signed by it."""
    os.makedirs(pki)
    with open(f"{pki}/ext.cnf", "w") as f:
        f.write(EXTENSIONS)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{pki}/root.key",
         "-out", f"{pki}/root.pem", "-days", "2", "-subj", "/CN=VuqSetup Test Root",
         "-config", f"{pki}/ext.cnf", "-extensions", "root"]).check_returncode()
    for name in ("code", "tsa"):
        run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{pki}/{name}.key",
             "-out", f"{pki}/{name}.csr", "-subj", f"/CN=VuqSetup Test {name}"]).check_returncode()
        run(["openssl", "x509", "-req", "-in", f"{pki}/{name}.csr", "-CA", f"{pki}/root.pem",
             "-CAkey", f"{pki}/root.key", "-set_serial", str(len(name)), "-days", "2",
             "-extfile", f"{pki}/ext.cnf", "-extensions", name,
             "-out", f"{pki}/{name}.pem"]).check_returncode()
    for name, text in (("password", PASSWORD), ("wrong-password", "not it")):
        with open(f"{pki}/{name}", "w") as f:
            f.write(text)
    run(["openssl", "pkcs12", "-export", "-inkey", f"{pki}/code.key", "-in", f"{pki}/code.pem",
         "-out", f"{pki}/code.p12", "-passout", f"file:{pki}/password"]).check_returncode()
    with open(f"{pki}/tsa.cnf", "w") as f:
        f.write(TSA_CONFIG.format(pki=pki))
    with open(f"{pki}/tsa-serial", "w") as f:
        f.write("01\n")


def start_timestamp_server(pki):
    """openssl ts -reply behind HTTP on 127.0.0.1, on a port the system picks."""
    class Reply(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            with open(f"{pki}/query.tsq", "wb") as f:
                f.write(self.rfile.read(int(self.headers["Content-Length"])))
            made = run(["openssl", "ts", "-reply", "-config", f"{pki}/tsa.cnf",
                        "-queryfile", f"{pki}/query.tsq", "-out", f"{pki}/reply.tsr"], timeout=30)
            body = open(f"{pki}/reply.tsr", "rb").read() if made.returncode == 0 else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
    server.timeout = 30
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def sign_env(**names):
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    env.update({"SIGN_" + k.upper(): v for k, v in names.items()})
    return env


def verify(pki, exe):
    return run(["osslsigncode", "verify", "-CAfile", f"{pki}/root.pem",
                "-TSA-CAfile", f"{pki}/root.pem", "-in", exe])


def fresh_build(src, folder, *options):
    """VuqSetup.exe built anew in another build directory, as someone with the source would."""
    cmake = os.environ.get("CMAKE", "cmake")
    for args in ([cmake, "-S", src, "-B", folder, "--toolchain", f"{src}/cmake/mingw-i686.cmake",
                  "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DVUQ_DIST_DIR={folder}/dist"] + list(options),
                 [cmake, "--build", folder, "--target", "VuqSetup"]):
        run(args, timeout=900).check_returncode()
    return f"{folder}/dist/VuqSetup.exe"


def check_signed(src, pki, exe, other_build, work, out, sign_sh):
    signed, signature = f"{out}/signed/VuqSetup.exe", f"{out}/VuqSetup.exe.sig"
    server = start_timestamp_server(pki)
    try:
        made = run(["sh", sign_sh, "sign", exe, signed, signature],
                   sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code.key",
                            url="https://vuq.invalid/setup",
                            timestamp_url=f"http://127.0.0.1:{server.server_port}/"))
    finally:
        server.shutdown()
    check("sign with PEM key and timestamp", (made.returncode, made.stderr), (0, ""))
    if made.returncode:
        return None
    report = verify(pki, signed)
    check("signed file verifies against the test root",
          (report.returncode, "Signature verification: ok" in report.stdout), (0, True))
    check("timestamp verifies against the test TSA",
          "Timestamp Server Signature verification: ok" in report.stdout, True)
    check("program name in the signature",
          [line.split(":", 1)[1].strip() for line in report.stdout.splitlines()
           if line.strip().startswith("Text description:")], [PROGRAM_NAME])

    removed = f"{out}/removed.exe"
    run(["osslsigncode", "remove-signature", "-in", signed, "-out", removed])
    check("removing the signature gives back the unsigned build",
          open(removed, "rb").read() == open(exe, "rb").read(), True)

    attached = f"{out}/attached/VuqSetup.exe"
    made = run(["sh", sign_sh, "attach", signature, fresh_build(src, f"{work}/fresh"), attached])
    check("attach to a fresh build reproduces the signed file",
          (made.returncode, os.path.exists(attached) and
           open(attached, "rb").read() == open(signed, "rb").read()), (0, True))

    other = f"{out}/other/VuqSetup.exe"
    made = run(["sh", sign_sh, "attach", signature, other_build, other])
    check("attach to another build refuses with one line, nothing written",
          (made.returncode, len(made.stderr.splitlines()), os.path.exists(other)), (1, 1, False))

    pe = pefile.PE(signed, fast_load=True)
    text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
    data = bytearray(open(signed, "rb").read())
    data[text.PointerToRawData + text.SizeOfRawData // 2] ^= 0x01
    flipped = f"{out}/flipped.exe"
    with open(flipped, "wb") as f:
        f.write(data)
    report = verify(pki, flipped)
    check("one flipped byte in the code fails verification",
          (report.returncode != 0, "MISMATCH" in report.stdout + report.stderr), (True, True))
    return signed


def check_pkcs12(pki, exe, out, sign_sh):
    signed = f"{out}/signed/VuqSetup.exe"
    made = run(["sh", sign_sh, "sign", exe, signed, f"{out}/VuqSetup.exe.sig"],
               sign_env(pkcs12=f"{pki}/code.p12", password_file=f"{pki}/password"))
    report = verify(pki, signed)
    check("sign with PKCS#12 and password file; verifies",
          (made.returncode, report.returncode), (0, 0))


def check_pinned(src, pki, helpers, work, out, sign_sh):
    """A pinned build signs, and its signature attaches to a fresh build pinned alike."""
    signed, signature = f"{out}/signed/VuqSetup.exe", f"{out}/VuqSetup.exe.sig"
    made = run(["sh", sign_sh, "sign", f"{helpers}/VuqSetupPinned.exe", signed, signature],
               sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code.key"))
    fresh = fresh_build(src, f"{work}/fresh-pinned", f"-DVUQ_PAYLOAD32={helpers}/fake_payload.exe",
                        f"-DVUQ_PAYLOAD64={helpers}/fake_payload64.exe")
    attached = f"{out}/attached/VuqSetup.exe"
    again = run(["sh", sign_sh, "attach", signature, fresh, attached])
    check("pinned build: signs; its signature attaches to a fresh build pinned alike",
          (made.returncode, verify(pki, signed).returncode, again.returncode,
           os.path.exists(attached) and open(attached, "rb").read() == open(signed, "rb").read()),
          (0, 0, 0, True))


def check_release(src, pki, helpers, work):
    """make release with the signing variables, in a copy of the source: the folder's wrapper is
    signed, and the signature beside the zip says which payloads it was made for."""
    copy = f"{work}/release-source"
    copy_source(src, copy)
    env = sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code.key")
    made = run_make(copy, "release", "NAME=Signed", f"PAYLOAD32={helpers}/fake_payload.exe",
                    f"PAYLOAD64={helpers}/fake_payload64.exe", env=env, timeout=900)
    signed = f"{copy}/dist/release/Signed/VuqSetup.exe"
    signature = f"{copy}/dist/release/Signed.sig"
    said = open(signature).read().splitlines()[-1:] if os.path.exists(signature) else []
    check("a release signs its wrapper, which verifies; its signature says it is pinned",
          (made.returncode, os.path.exists(signed) and verify(pki, signed).returncode,
           [line.startswith("For: a build pinned to VuqSetup.wzq") for line in said]),
          (0, 0, [True]))
    plain = run_make(copy, "attach", f"SIGNATURE={signature}", env=env, timeout=900)
    check("its signature, given to a plain build, is refused with the payloads to give",
          (plain.returncode != 0, "PAYLOAD32=" in plain.stderr), (True, True))


def check_refusals(pki, exe, out, sign_sh):
    key = open(f"{pki}/code.key").read()
    cases = [
        ("missing key", sign_env(cert=f"{pki}/code.pem", key=f"{pki}/no-such.key")),
        ("wrong password", sign_env(pkcs12=f"{pki}/code.p12",
                                    password_file=f"{pki}/wrong-password")),
    ]
    for name, env in cases:
        folder = f"{out}/{name.replace(' ', '-')}"
        made = run(["sh", sign_sh, "sign", exe, f"{folder}/signed/VuqSetup.exe",
                    f"{folder}/VuqSetup.exe.sig"], env)
        lines = made.stderr.splitlines()
        check(f"{name}: fails with one line, nothing written",
              (made.returncode, len(lines), made.stdout, os.path.exists(folder)), (1, 1, "", False))
        said = made.stdout + made.stderr
        check(f"{name}: says neither key nor password",
              (PASSWORD in said, "not it" in said, key.splitlines()[1] in said), (False,) * 3)
        print(f"     {lines[0] if lines else ''}")


def check_under_wine(src, signed, helpers, work):
    made = subprocess.run(["sh", f"{src}/lab/wine-run.sh", signed, helpers, work,
                           f"{src}/tests/e2e/run_e2e.py", "-k", "typical run"],
                          capture_output=True, text=True, timeout=1800)
    print("     " + made.stdout.strip().replace("\n", "\n     "))
    check("signed exe does its typical run under Wine on both prefixes",
          (made.returncode, made.stdout.strip().splitlines()[-1:]), (0, ["2 passed, 0 failed"]))


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: check_signing.py SOURCE_DIR EXE HELPER_DIR WORK_DIR")
    src, exe, helpers, work = (os.path.abspath(a) for a in sys.argv[1:])
    sign_sh = f"{src}/tools/sign.sh"
    out = f"{work}/run"
    shutil.rmtree(out, ignore_errors=True)
    pki = f"{out}/pki"
    make_pki(pki)
    other_build = f"{helpers}/VuqSetupWithoutDllApi.exe"
    signed = check_signed(src, pki, exe, other_build, work, out, sign_sh)
    check_pkcs12(pki, exe, f"{out}/pkcs12", sign_sh)
    check_pinned(src, pki, helpers, work, f"{out}/pinned", sign_sh)
    check_refusals(pki, exe, out, sign_sh)
    check_release(src, pki, helpers, work)
    if signed:
        check_under_wine(src, signed, helpers, f"{work}/wine")
    sys.exit(finish())


if __name__ == "__main__":
    main()

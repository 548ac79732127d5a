"""Signs the built VuqSetup.exe with a throw-away certificate through tools/sign.sh, the script
behind make sign and make attach, and checks the result, the detached signature and the
failures. A timestamp server runs on 127.0.0.1 for the time of the test. The same through a key
on a token: two SoftHSM2 tokens in a folder of their own, keys generated inside them.

Usage: /usr/bin/python3 check_signing.py SOURCE_DIR EXE HELPER_DIR WORK_DIR
"""

import hashlib
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import zipfile

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
digests = sha1, sha256
ess_cert_id_alg = sha256
"""

# The tokens: their PINs, which no output, log or command of a signing run may show.
PIN, SO_PIN = "pin-4d1e9c", "so-pin-7a22f0"
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
TOKEN, OTHER_TOKEN = "VuqSetup test token", "VuqSetup other token"
TOKEN_URI = "pkcs11:token=VuqSetup%20test%20token"
OTHER_URI = "pkcs11:token=VuqSetup%20other%20token"
# Keys generated inside the tokens: token, label, id, pkcs11-tool's options.
TOKEN_KEYS = [(TOKEN, "signer", "01", ["--key-type", "rsa:2048"]),
              (TOKEN, "ec-signer", "02", ["--key-type", "EC:prime256v1"]),
              (TOKEN, "twin", "03", ["--key-type", "EC:prime256v1"]),
              (TOKEN, "twin", "04", ["--key-type", "EC:prime256v1"]),
              (TOKEN, "pss-only", "05", ["--key-type", "rsa:2048", "--allowed-mechanisms",
                                         "RSA-PKCS-PSS,SHA256-RSA-PKCS-PSS"]),
              (OTHER_TOKEN, "edwards", "06", ["--key-type", "EC:edwards25519"])]
ENGINE_CONFIG = """openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
MODULE_PATH = {module}
"""
CKF_USER_PIN_LOCKED = 0x40000
# SoftHSM2 keeps a token's flags as this attribute (CKA_OS_TOKENFLAGS, an unsigned long) in the
# token's own file, whose first 8 bytes count the writes to it.
SOFTHSM_FLAGS = struct.pack(">QQ", 0x8000534B, 2)


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
        write_text(f"{pki}/{name}", text)
    run(["openssl", "pkey", "-in", f"{pki}/code.key", "-aes256", "-passout",
         f"file:{pki}/password", "-out", f"{pki}/code-encrypted.key"]).check_returncode()
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


def digests_of(report):
    """The message digest algorithm of each signature osslsigncode verify reports, in order."""
    return re.findall(r"^Message digest algorithm  : (\S+)", report.stdout, re.M)


def token_env(token, **names):
    env = sign_env(**names)
    env["SOFTHSM2_CONF"] = f"{token}/softhsm2.conf"
    return env


def write_text(path, text):
    """A file its owner alone can read, as a password's or a PIN's must be."""
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(text)


def make_tokens(pki, token):
    """Two SoftHSM2 tokens in a folder of their own, never the machine's; their keys generated
    inside them, sensitive and not extractable; for two keys a certificate from the test root,
    on a request signed inside the token. Returns pkcs11-tool's report of the signer's key."""
    os.makedirs(f"{token}/store")
    write_text(f"{token}/softhsm2.conf", f"directories.tokendir = {token}/store\n"
               "objectstore.backend = file\nlog.level = ERROR\n")
    write_text(f"{token}/pin", PIN + "\n")
    write_text(f"{token}/wrong-pin", "not-the-pin\n")
    write_text(f"{token}/openssl.cnf", ENGINE_CONFIG.format(module=MODULE))
    env = token_env(token)
    for label in (TOKEN, OTHER_TOKEN):
        run(["softhsm2-util", "--init-token", "--free", "--label", label, "--so-pin", SO_PIN,
             "--pin", PIN], env).check_returncode()
    report = ""
    for token_label, label, key_id, options in TOKEN_KEYS:
        made = run(["pkcs11-tool", "--module", MODULE, "--token-label", token_label, "--login",
                    "--pin", PIN, "--keypairgen", "--label", label, "--id", key_id,
                    "--usage-sign", "--sensitive"] + options, env)
        made.check_returncode()
        report = made.stdout if label == "signer" else report
    engine = dict(env, OPENSSL_CONF=f"{token}/openssl.cnf")
    for serial, label in enumerate(("signer", "ec-signer"), 10):
        run(["openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine",
             "-key", f"{TOKEN_URI};object={label};type=private", "-passin", f"file:{token}/pin",
             "-subj", f"/CN=VuqSetup Test {label}", "-out", f"{token}/{label}.csr"],
            engine).check_returncode()
        run(["openssl", "x509", "-req", "-in", f"{token}/{label}.csr", "-CA", f"{pki}/root.pem",
             "-CAkey", f"{pki}/root.key", "-set_serial", str(serial), "-days", "2",
             "-extfile", f"{pki}/ext.cnf", "-extensions", "code",
             "-out", f"{token}/{label}.pem"]).check_returncode()
    run(["openssl", "x509", "-in", f"{token}/signer.pem", "-outform", "DER",
         "-out", f"{token}/signer.der"]).check_returncode()
    run(["pkcs11-tool", "--module", MODULE, "--token-label", TOKEN, "--login", "--pin", PIN,
         "--write-object", f"{token}/signer.der", "--type", "cert", "--label", "signer",
         "--id", "01"], env).check_returncode()
    return report


def token_file(token, label):
    """SoftHSM2's file of a token's own data, found by the token's label."""
    for root, _, files in os.walk(f"{token}/store"):
        if "token.object" in files:
            path = os.path.join(root, "token.object")
            if label.encode().ljust(32) in open(path, "rb").read():
                return path
    raise FileNotFoundError(label)


def logins(token):
    """Logins to both tokens so far, right or wrong: SoftHSM2 writes the token's flags at each,
    and at nothing else a signing run does."""
    return sum(int.from_bytes(open(token_file(token, label), "rb").read(8), "big")
               for label in (TOKEN, OTHER_TOKEN))


def set_locked(token, locked):
    """SoftHSM2 never locks a token: the test sets the flag that a token sets when it locks."""
    path = token_file(token, TOKEN)
    data = bytearray(open(path, "rb").read())
    at = data.index(SOFTHSM_FLAGS) + len(SOFTHSM_FLAGS)
    flags = int.from_bytes(data[at:at + 8], "big")
    flags = flags | CKF_USER_PIN_LOCKED if locked else flags & ~CKF_USER_PIN_LOCKED
    data[at:at + 8] = flags.to_bytes(8, "big")
    with open(path, "wb") as f:
        f.write(data)


def run_traced(args, env, trace, **options):
    """args under strace, which records every command it starts, with its arguments and
    environment, into the file trace."""
    return run(["strace", "-f", "-qq", "-v", "-s", "4096", "-e", "trace=execve", "-o", trace]
               + args, env, **options)


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
    check("by default two signatures, SHA-1 then SHA-256 nested, each verifies and is stamped",
          (report.returncode, digests_of(report),
           report.stdout.splitlines().count("Signature verification: ok"),
           report.stdout.count("Timestamp Server Signature verification: ok")),
          (0, ["SHA1", "SHA256"], 2, 2))
    check("program name in each signature",
          [line.split(":", 1)[1].strip() for line in report.stdout.splitlines()
           if line.strip().startswith("Text description:")], [PROGRAM_NAME] * 2)

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
    """PKCS#12, one SHA-256 signature, and a password file that others can read."""
    signed, readable = f"{out}/signed/VuqSetup.exe", f"{pki}/readable-password"
    shutil.copyfile(f"{pki}/password", readable)
    os.chmod(readable, 0o644)
    made = run(["sh", sign_sh, "sign", exe, signed, f"{out}/VuqSetup.exe.sig"],
               sign_env(pkcs12=f"{pki}/code.p12", password_file=readable, digests="sha256"))
    report = verify(pki, signed)
    check("PKCS#12, SIGN_DIGESTS=sha256: one SHA-256 signature, verifies; warns of the password "
          "file", (made.returncode, report.returncode, digests_of(report),
                   made.stderr.splitlines()),
          (0, 0, ["SHA256"], [f"sign.sh: warning: SIGN_PASSWORD_FILE: others can read {readable} "
                              f"(chmod 600 {readable})"]))


def check_pinned(src, pki, exe, helpers, work, out, sign_sh):
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
    failed = run(["sh", sign_sh, "sign", exe, signed, signature],
                 sign_env(cert=f"{pki}/code.pem", key=f"{pki}/tsa.key"))
    check("a failed sign of the plain build leaves neither the pinned signed file nor its .sig",
          (failed.returncode, os.path.exists(signed), os.path.exists(signature)), (1, False, False))


def sha256_of(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def same_bytes(path, other):
    return os.path.exists(path) and open(path, "rb").read() == open(other, "rb").read()


def started_commands(trace):
    """The commands a traced run started: each one's line, with arguments and environment."""
    return [line for line in open(trace) if " execve(" in line and "ENOENT" not in line]


def arguments_of(line):
    return line.split("], [", 1)[0]


def sign_with_token(sign_sh, token, exe, folder, env, *payloads):
    """sign.sh sign into folder, traced; the signing run, the logins it made, its trace."""
    os.makedirs(f"{token}/traces", exist_ok=True)
    trace = f"{token}/traces/{os.path.basename(folder)}.log"
    before = logins(token)
    made = run_traced(["sh", sign_sh, "sign", exe, f"{folder}/signed/VuqSetup.exe",
                       f"{folder}/VuqSetup.exe.sig"] + list(payloads), env, trace)
    return made, logins(token) - before, trace


def check_token_signing(pki, exe, helpers, out, sign_sh, token):
    """The plain and the pinned build signed through the token, with a timestamp; the detached
    signatures rebuild them; each way of naming the signer signs."""
    report = make_tokens(pki, token)
    check("token: pkcs11-tool made the signer's key sensitive and never extractable",
          "Access:     sensitive, always sensitive, never extractable, local" in report, True)
    main = dict(pkcs11_module=MODULE, key=f"{TOKEN_URI};object=signer;type=private",
                cert=f"{token}/signer.pem", pin_file=f"{token}/pin")
    server = start_timestamp_server(pki)
    try:
        made, count, _ = sign_with_token(sign_sh, token, exe, f"{out}/plain", token_env(
            token, timestamp_url=f"http://127.0.0.1:{server.server_port}/", **main))
    finally:
        server.shutdown()
    signed, signature = f"{out}/plain/signed/VuqSetup.exe", f"{out}/plain/VuqSetup.exe.sig"
    report = verify(pki, signed)
    check("token: signs the plain build, SHA-1 and SHA-256, each stamped; all verify; no trace "
          "of the stand-in", (made.returncode, made.stderr, digests_of(report),
                              report.stdout.splitlines().count("Signature verification: ok"),
                              report.stdout.count("Timestamp Server Signature verification: ok"),
                              os.path.exists(signed) and b"stand-in" in open(signed, "rb").read()),
          (0, "", ["SHA1", "SHA256"], 2, 2, False))
    check("token: says the key is not extractable; one login checks the key and makes both "
          "signatures", ([line for line in made.stdout.splitlines() if line.startswith("key:")],
                         count),
          ([f"key: RSA 2048-bit 'signer' id 01 on token '{TOKEN}', not extractable"], 1))
    again = run(["sh", sign_sh, "attach", signature, exe, f"{out}/plain/attached.exe"])
    check("token: the detached signature rebuilds the signed file byte for byte",
          (again.returncode, same_bytes(f"{out}/plain/attached.exe", signed)), (0, True))

    pinned, payloads = f"{helpers}/VuqSetupPinned.exe", (f"{helpers}/fake_payload.exe",
                                                          f"{helpers}/fake_payload64.exe")
    made, _, _ = sign_with_token(sign_sh, token, pinned, f"{out}/pinned-token", token_env(
        token, **main), *payloads)
    signed, signature = (f"{out}/pinned-token/signed/VuqSetup.exe",
                         f"{out}/pinned-token/VuqSetup.exe.sig")
    again = run(["sh", sign_sh, "attach", signature, pinned, f"{out}/pinned-token/attached.exe"]
                + list(payloads))
    said = open(signature).read().splitlines()[-1:] if os.path.exists(signature) else []
    check("token: signs the pinned build, which verifies, says so, and rebuilds byte for byte",
          (made.returncode, verify(pki, signed).returncode,
           [line.startswith("For: a build pinned to") for line in said], again.returncode,
           same_bytes(f"{out}/pinned-token/attached.exe", signed)), (0, 0, [True], 0, True))

    ways = [("the certificate on the token", dict(cert=f"{TOKEN_URI};object=signer;type=cert")),
            ("an ECDSA key", dict(key=f"{TOKEN_URI};object=ec-signer",
                                  cert=f"{token}/ec-signer.pem")),
            ("the PIN in SIGN_PASSWORD_FILE", dict(pin_file="", password_file=f"{token}/pin")),
            ("the module by a relative path", dict(pkcs11_module=os.path.relpath(MODULE)))]
    for number, (way, names) in enumerate(ways):
        names = {k: v for k, v in dict(main, **names).items() if v}
        made, count, _ = sign_with_token(sign_sh, token, exe, f"{out}/way-{number}",
                                         token_env(token, **names))
        check(f"token: {way} signs, verifies, one login",
              (made.returncode, made.stderr,
               verify(pki, f"{out}/way-{number}/signed/VuqSetup.exe").returncode, count),
              (0, "", 0, 1))


def check_token_refusals(pki, exe, out, sign_sh, token):
    """Each way a key on a token cannot sign: one line, nothing written, no PIN shown or on the
    command line of anything it started, and the logins it took: none where the key need not be
    searched, never a second after a wrong PIN. Where the test itself gives the PIN in a URI, the
    trace of what it gave is removed once read."""
    main = dict(pkcs11_module=MODULE, key=f"{TOKEN_URI};object=signer;type=private",
                cert=f"{token}/signer.pem", pin_file=f"{token}/pin")
    cases = [
        ("a URI but no module", dict(pkcs11_module=""), "needs SIGN_PKCS11_MODULE", 0),
        ("a module that does not load", dict(pkcs11_module=f"{pki}/root.pem"),
         "cannot load the PKCS#11 module", 0),
        ("a URI that names no key", dict(key=f"{TOKEN_URI};object=nobody"),
         "names no private key", 1),
        ("a URI that names two keys", dict(key=f"{TOKEN_URI};object=twin"),
         "names 2 private keys", 1),
        ("a URI that names two tokens", dict(key="pkcs11:object=signer"), "matches 2 tokens", 0),
        ("a wrong PIN", dict(pin_file=f"{token}/wrong-pin"), "wrong PIN", 1),
        ("a locked token", dict(), "is locked", 0),
        ("the certificate of another key", dict(cert=f"{pki}/code.pem"), "is not for key", 1),
        ("an EdDSA key", dict(key=f"{OTHER_URI};object=edwards"), "an EdDSA key", 1),
        ("a key that may sign with RSA-PSS only", dict(key=f"{TOKEN_URI};object=pss-only"),
         "leave out CKM_RSA_PKCS", 1),
        ("a PIN in the URI", dict(key=f"{TOKEN_URI};object=signer;pin-value={PIN}"),
         "holds a PIN", 0),
    ]
    for name, names, said, expected_logins in cases:
        folder = f"{out}/token-{name.replace(' ', '-')}"
        set_locked(token, name == "a locked token")
        made, count, trace = sign_with_token(sign_sh, token, exe, folder,
                                             token_env(token, **dict(main, **names)))
        set_locked(token, False)
        arguments = "".join(arguments_of(line) for line in started_commands(trace))
        if "pin-value" in names.get("key", ""):
            os.remove(trace)
        lines = made.stderr.splitlines()
        check(f"token, {name}: one line, nothing written, no PIN, {expected_logins} login(s)",
              (made.returncode, len(lines), said in made.stderr, made.stdout,
               os.path.exists(folder), PIN in made.stdout + made.stderr + arguments, count),
              (1, 1, True, "", False, False, expected_logins))
        print(f"     {lines[0] if lines else ''}")


def release_apart_from_signature(release, name, unsigned):
    """A release's files, sums and zip entries by their SHA-256, its wrapper's signature taken
    out."""
    folder = f"{release}/{name}"
    if os.path.exists(unsigned):
        os.remove(unsigned)
    run(["osslsigncode", "remove-signature", "-in", f"{folder}/VuqSetup.exe",
         "-out", unsigned]).check_returncode()
    files = {entry: sha256_of(f"{folder}/{entry}") for entry in os.listdir(folder)}
    files["VuqSetup.exe"] = sha256_of(unsigned)
    sums = [line for line in open(f"{folder}/SHA256SUMS").read().splitlines()
            if not line.endswith(" VuqSetup.exe")]
    with zipfile.ZipFile(f"{release}/{name}.zip") as archive:
        entries = [(info.filename, info.date_time, info.external_attr,
                    None if info.filename.endswith(("/VuqSetup.exe", "/SHA256SUMS"))
                    else hashlib.sha256(archive.read(info)).hexdigest())
                   for info in archive.infolist()]
    del files["SHA256SUMS"]
    return files, sums, entries


def check_token_release(copy, pki, helpers, work, token):
    """make release through the token, traced, against the PEM key's release of the same name;
    make attach rebuilds its wrapper from its signature."""
    pem = f"{work}/release-pem"
    shutil.rmtree(pem, ignore_errors=True)
    shutil.copytree(f"{copy}/dist/release", pem)
    payloads = [f"PAYLOAD32={helpers}/fake_payload.exe", f"PAYLOAD64={helpers}/fake_payload64.exe"]
    env = token_env(token, pkcs11_module=MODULE, key=f"{TOKEN_URI};object=signer",
                    cert=f"{token}/signer.pem", pin_file=f"{token}/pin")
    env.pop("MAKEFLAGS", None)
    os.makedirs(f"{token}/traces", exist_ok=True)
    made = run_traced(["make", "--no-print-directory", "-C", copy, "release", "NAME=Signed"]
                      + payloads, env, f"{token}/traces/release.log", timeout=900)
    release = f"{copy}/dist/release"
    check("token: make release signs, its wrapper verifies",
          (made.returncode, verify(pki, f"{release}/Signed/VuqSetup.exe").returncode,
           PIN in made.stdout + made.stderr), (0, 0, False))
    check("token: the release is the PEM key's apart from the signature: folder, sums, zip",
          release_apart_from_signature(release, "Signed", f"{work}/unsigned-token.exe"),
          release_apart_from_signature(pem, "Signed", f"{work}/unsigned-pem.exe"))
    again = run_make(copy, "attach", f"SIGNATURE={release}/Signed.sig", *payloads,
                     env=sign_env(), timeout=900)
    check("token: make attach rebuilds the release's wrapper byte for byte, says what it replaced",
          (again.returncode, same_bytes(f"{copy}/dist/signed/VuqSetup.exe",
                                        f"{release}/Signed/VuqSetup.exe"),
           [line for line in again.stdout.splitlines() if line.startswith("replaced:")]),
          (0, True, ["replaced: dist/signed/VuqSetup.exe, which held the same bytes"]))


def check_readme_example(src, copy):
    """The SoftHSM2 example of docs/SIGNING.md as it stands, in a copy of the source: it writes
    under try-out/ alone, which git ignores, its PIN file its owner's alone."""
    blocks = re.findall(r"\n```sh\n(.*?)```", open(f"{src}/docs/SIGNING.md").read(), re.S)
    before = set(os.listdir(copy))
    env = {k: v for k, v in sign_env().items() if k not in ("SOFTHSM2_CONF", "MAKEFLAGS")}
    made = subprocess.run(["sh", "-e"], input=blocks[0] if blocks else "exit 1", cwd=copy,
                          env=env, capture_output=True, text=True, timeout=900)
    said = made.stdout.strip().splitlines()
    check("the SoftHSM2 example runs as it stands and ends with a verified signature",
          (len(blocks), made.returncode, "Signature verification: ok" in said, said[-1:]),
          (1, 0, True, ["Succeeded"]))
    pin = f"{copy}/try-out/pin"
    ignored = run(["git", "-C", src, "check-ignore", "-q", "try-out/pin"]).returncode
    check("the example writes under try-out/ alone, which git ignores; its PIN file is 0600",
          (sorted(set(os.listdir(copy)) - before), ignored,
           os.path.exists(pin) and oct(os.stat(pin).st_mode & 0o777)), (["try-out"], 0, "0o600"))
    if made.returncode:
        print("     " + made.stderr.strip().replace("\n", "\n     "))


def files_under(*folders):
    for folder in folders:
        for root, _, names in os.walk(folder):
            for name in names:
                path = os.path.join(root, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    yield path


def public_key(path, *options):
    made = subprocess.run(["openssl", "pkey", "-in", path, "-pubout", "-outform", "DER"]
                          + list(options), capture_output=True)
    return made.stdout if made.returncode == 0 else None


def check_nothing_left(work, out, copy, token):
    """No PIN in any output, log or command of the signing runs; no token's key in any file."""
    shown = [path for path in files_under(out, f"{copy}/dist", f"{copy}/build/logs")
             if path != f"{token}/pin" and PIN.encode() in open(path, "rb").read()]
    started = [line for path in files_under(f"{token}/traces") for line in started_commands(path)]
    check("no PIN in any file the test wrote, its logs, or the commands the signing runs started",
          (shown, len([line for line in started if "/pkcs11_key.py" in line]) > 10,
           len([line for line in started if '["osslsigncode", "sign"' in line]) > 5),
          ([], True, True))
    certificates = [f"{token}/signer.pem", f"{token}/ec-signer.pem", f"{copy}/try-out/chain.pem"]
    on_tokens = [subprocess.run(f"openssl x509 -in '{c}' -pubkey -noout | openssl pkey -pubin "
                                "-outform DER", shell=True, capture_output=True).stdout or None
                 for c in certificates]
    keys = {}
    for path in files_under(work):
        with open(path, "rb") as f:
            head = f.read(1 << 16)
        if b"PRIVATE KEY-----" in head:
            keys[path] = public_key(path)
        elif re.match(rb"\x30(\x82..|\x81.|[\x00-\x7f])\x02\x01[\x00\x01]", head, re.S):
            keys[path] = public_key(path, "-inform", "DER")
    check("no file in the test's folders holds a token's key (the test root's key is found)",
          ([path for path, key in keys.items() if key in on_tokens], f"{out}/pki/root.key" in keys,
           None in on_tokens), ([], True, False))


def check_release(src, pki, helpers, work):
    """make release with the signing variables, in a copy of the source: the folder's wrapper is
    signed, and the signature beside the zip says which payloads it was made for."""
    copy = f"{work}/release-source"
    copy_source(src, copy)
    env = sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code.key")
    payloads = [f"PAYLOAD32={helpers}/fake_payload.exe", f"PAYLOAD64={helpers}/fake_payload64.exe"]
    made = run_make(copy, "release", "NAME=Signed", *payloads, env=env, timeout=900)
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

    published = f"{work}/published"
    shutil.rmtree(published, ignore_errors=True)
    shutil.copytree(f"{copy}/dist/release", published)
    shutil.rmtree(f"{copy}/dist")
    again = run_make(copy, "release", "NAME=Signed", f"SIGNATURE={published}/Signed.sig", *payloads,
                     env=sign_env(), timeout=900)
    check("without a key, make release SIGNATURE=Signed.sig gives the published zip, sums and .sig",
          (again.returncode, [same_bytes(f"{copy}/dist/release/{name}", f"{published}/{name}")
                              for name in ("Signed.zip", "Signed.sig", "Signed/SHA256SUMS")]),
          (0, [True] * 3))
    return copy


def check_refusals(pki, exe, out, sign_sh):
    key = open(f"{pki}/code.key").read()
    cases = [
        ("missing key", sign_env(cert=f"{pki}/code.pem", key=f"{pki}/no-such.key"),
         "cannot read"),
        ("wrong password", sign_env(pkcs12=f"{pki}/code.p12",
                                    password_file=f"{pki}/wrong-password"), "cannot sign"),
        ("an encrypted key without its password file",
         sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code-encrypted.key"),
         "is encrypted: name the file that holds its password as SIGN_PASSWORD_FILE"),
        ("an encrypted key with a wrong password",
         sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code-encrypted.key",
                  password_file=f"{pki}/wrong-password"), "with the password in SIGN_PASSWORD"),
        ("a key that is not the certificate's", sign_env(cert=f"{pki}/code.pem",
                                                          key=f"{pki}/tsa.key"),
         "is not for the key in"),
        ("a digest of no use", sign_env(cert=f"{pki}/code.pem", key=f"{pki}/code.key",
                                        digests="md5"), "SIGN_DIGESTS=md5: give sha1,sha256"),
    ]
    for name, env, said in cases:
        folder = f"{out}/{name.replace(' ', '-')}"
        made = run(["sh", sign_sh, "sign", exe, f"{folder}/signed/VuqSetup.exe",
                    f"{folder}/VuqSetup.exe.sig"], env)
        lines = made.stderr.splitlines()
        check(f"{name}: fails with one line of ours, nothing written",
              (made.returncode, len(lines), said in made.stderr, made.stdout,
               os.path.exists(folder)), (1, 1, True, "", False))
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
    check_pinned(src, pki, exe, helpers, work, f"{out}/pinned", sign_sh)
    check_refusals(pki, exe, out, sign_sh)
    token = f"{out}/token"
    check_token_signing(pki, exe, helpers, out, sign_sh, token)
    check_token_refusals(pki, exe, out, sign_sh, token)
    copy = check_release(src, pki, helpers, work)
    check_token_release(copy, pki, helpers, work, token)
    check_readme_example(src, copy)
    check_nothing_left(work, out, copy, token)
    if signed:
        check_under_wine(src, signed, helpers, f"{work}/wine")
    sys.exit(finish())


if __name__ == "__main__":
    main()

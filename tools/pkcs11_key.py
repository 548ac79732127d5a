"""Finds the signing key that a PKCS#11 URI names on a token and checks it, so that each way
this can fail says so in one line: a module that does not load, a URI that names no key or more
than one, a wrong PIN, a locked token, a certificate that is not the key's, a key that cannot
sign RSA or ECDSA. Then, in the same login, it signs: given a TEMPLATE, the Authenticode
signature osslsigncode laid out with a stand-in key, every signature in it (the nested ones
too) made anew by the key, over the same signed attributes, with CERT's chain in place of the
stand-in's, and each checked against the certificate before it is written to SIGNATURE_OUT.

  pkcs11_key.py MODULE KEY_URI CERT PIN_FILE CERT_OUT [TEMPLATE SIGNATURE_OUT]

MODULE is the module's library. KEY_URI names the private key (RFC 7512, with the attributes
OpenSSL's engine reads). CERT is the signer's certificate: a PEM file (a chain, the signer's
first), or the pkcs11: URI of a certificate on the key's token, which is then written to
CERT_OUT as PEM. PIN_FILE holds the user PIN, alone on its line (trailing line ends dropped);
empty when the token needs none. It logs in once at most, and never again after a wrong PIN:
tokens lock after a few. It changes nothing on the token.

Prints one line on stdout: what the key is, or why it cannot sign (then exits 1).
"""

import base64
import ctypes
import hashlib
import os
import re
import subprocess
import sys
import tempfile
from urllib.parse import unquote_to_bytes

ULONG, POINTER = ctypes.c_ulong, ctypes.c_void_p
CKR_OK, CKR_PIN_EXPIRED, CKR_PIN_LOCKED, CKR_USER_ALREADY_LOGGED_IN = 0, 0xA3, 0xA4, 0x100
WRONG_PIN = (0xA0, 0xA1, 0xA2)  # CKR_PIN_INCORRECT, CKR_PIN_INVALID, CKR_PIN_LEN_RANGE
CKF_LOGIN_REQUIRED, CKF_TOKEN_INITIALIZED = 0x4, 0x400
CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED = 0x20000, 0x40000
CKF_SERIAL_SESSION, CKU_USER, CKF_SIGN = 0x4, 1, 0x800
CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY = 1, 2, 3
CKA_CLASS, CKA_LABEL, CKA_VALUE, CKA_KEY_TYPE, CKA_ID, CKA_SIGN = 0, 3, 0x11, 0x100, 0x102, 0x108
CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_EXTRACTABLE = 0x120, 0x122, 0x162
CKA_EC_PARAMS, CKA_EC_POINT, CKA_ALLOWED_MECHANISMS = 0x180, 0x181, 0x40000600
CKK_RSA, CKK_EC = 0, 3
KEY_KINDS = {1: "a DSA", 2: "a Diffie-Hellman", 0x40: "an EdDSA", 0x41: "an X25519 or X448"}
# What a key signs with here: RSA PKCS #1 v1.5 over a DigestInfo, ECDSA over a digest.
SIGNING = {CKK_RSA: (0x1, "CKM_RSA_PKCS", "RSA PKCS #1 v1.5"),
           CKK_EC: (0x1041, "CKM_ECDSA", "ECDSA")}
RSA_OID, EC_OID = bytes.fromhex("2a864886f70d010101"), bytes.fromhex("2a8648ce3d0201")
CURVES = {bytes.fromhex("06082a8648ce3d030107"): "P-256", bytes.fromhex("06052b81040022"): "P-384",
          bytes.fromhex("06052b81040023"): "P-521"}
# The attributes of a URI taken here, those OpenSSL's engine reads too; any other is refused.
TOKEN_FIELDS = {"token": "label", "manufacturer": "manufacturer", "model": "model",
                "serial": "serial"}
URI_ATTRIBUTES = tuple(TOKEN_FIELDS) + ("object", "id", "type")
# The functions used, by their place in CK_FUNCTION_LIST, with their parameters.
FUNCTIONS = {"C_Initialize": (0, POINTER), "C_Finalize": (1, POINTER),
             "C_GetSlotList": (4, ctypes.c_ubyte, POINTER, POINTER),
             "C_GetTokenInfo": (6, ULONG, POINTER),
             "C_GetMechanismInfo": (8, ULONG, ULONG, POINTER),
             "C_OpenSession": (12, ULONG, ULONG, POINTER, POINTER, POINTER),
             "C_CloseSession": (13, ULONG), "C_Login": (18, ULONG, ULONG, POINTER, ULONG),
             "C_GetAttributeValue": (24, ULONG, ULONG, POINTER, ULONG),
             "C_FindObjectsInit": (26, ULONG, POINTER, ULONG),
             "C_FindObjects": (27, ULONG, POINTER, ULONG, POINTER),
             "C_FindObjectsFinal": (28, ULONG),
             "C_SignInit": (42, ULONG, POINTER, ULONG),
             "C_Sign": (43, ULONG, POINTER, ULONG, POINTER, POINTER)}
STATUS_NAMES = {0x5: "CKR_GENERAL_ERROR", 0x6: "CKR_FUNCTION_FAILED",
                0x30: "CKR_DEVICE_ERROR", 0x32: "CKR_DEVICE_REMOVED", 0xE0: "CKR_TOKEN_NOT_PRESENT"}
MAX_OBJECTS = 16
MAX_PIN = 256
MAX_SIGNATURE = 1024
# What a signature in the template says of its digest, and what the key's signs with it: RSA
# signs the digest's DigestInfo, ECDSA the digest alone.
DIGESTS = {bytes.fromhex("2b0e03021a"): "sha1", bytes.fromhex("608648016503040201"): "sha256"}
DIGEST_INFO = {"sha1": bytes.fromhex("3021300906052b0e03021a05000414"),
               "sha256": bytes.fromhex("3031300d060960864801650304020105000420")}
ECDSA_WITH = {"sha1": bytes.fromhex("2a8648ce3d0401"), "sha256": bytes.fromhex("2a8648ce3d040302")}
NESTED_SIGNATURE = bytes.fromhex("2b060104018237020401")  # 1.3.6.1.4.1.311.2.4.1


class Refused(Exception):
    pass


class TokenInfo(ctypes.Structure):
    _fields_ = [("label", ctypes.c_ubyte * 32), ("manufacturer", ctypes.c_ubyte * 32),
                ("model", ctypes.c_ubyte * 16), ("serial", ctypes.c_ubyte * 16),
                ("flags", ULONG), ("counts", ULONG * 10), ("versions", ctypes.c_ubyte * 4),
                ("utc_time", ctypes.c_ubyte * 16)]


class Attribute(ctypes.Structure):
    _fields_ = [("type", ULONG), ("value", POINTER), ("length", ULONG)]


class Mechanism(ctypes.Structure):
    _fields_ = [("mechanism", ULONG), ("parameter", POINTER), ("length", ULONG)]


class MechanismInfo(ctypes.Structure):
    _fields_ = [("min_key_size", ULONG), ("max_key_size", ULONG), ("flags", ULONG)]


def parse_uri(variable, uri):
    """The attributes of a pkcs11: URI, percent-decoded."""
    path, _, query = uri[len("pkcs11:"):].partition("?")
    attributes = {}
    for part in [p for p in path.split(";") if p] + [q for q in query.split("&") if q]:
        name, equals, value = part.partition("=")
        if not equals or name not in URI_ATTRIBUTES:
            raise Refused("%s: '%s' is not taken: name the token with token=, manufacturer=, "
                          "model=, serial= and the object with object=, id=, type="
                          % (variable, name))
        if name in attributes:
            raise Refused("%s gives %s= twice" % (variable, name))
        if re.search("%(?![0-9A-Fa-f]{2})", value):
            raise Refused("%s: %s= has a '%%' without two hex digits after it" % (variable, name))
        attributes[name] = unquote_to_bytes(value)
    return attributes


def check_type(variable, attributes, wanted):
    if attributes.get("type", wanted) != wanted:
        raise Refused("%s names type=%s: it must name the %s (type=%s)" % (
            variable, attributes["type"].decode(errors="replace"),
            "private key" if wanted == b"private" else "certificate", wanted.decode()))


def read_pin(path):
    with open(path, "rb") as f:
        pin = f.read(MAX_PIN + 3).rstrip(b"\r\n")
    if not pin:
        raise Refused("the PIN file %s is empty" % path)
    if len(pin) > MAX_PIN or re.search(b"[\r\n\0]", pin):
        raise Refused("the PIN file %s must hold the PIN alone, on one line" % path)
    return pin


def read_certificate_file(path):
    """The certificates of a PEM file, the signer's first (or of a DER one), as DER."""
    with open(path, "rb") as f:
        data = f.read()
    found = re.findall(b"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", data, re.S)
    if found:
        return [base64.b64decode(text) for text in found]
    if data[:1] == b"\x30":
        return [data]
    raise Refused("SIGN_CERT: there is no certificate in %s" % path)


def load_module(path):
    """The module's functions by name, the module initialized."""
    try:
        library = ctypes.CDLL(path)
        get_function_list = library.C_GetFunctionList
    except OSError as error:
        reason = str(error)
        reason = reason[len(path) + 2:] if reason.startswith(path + ": ") else reason
        raise Refused("cannot load the PKCS#11 module %s: %s" % (path, reason))
    except AttributeError:
        raise Refused("%s is not a PKCS#11 module: it has no C_GetFunctionList" % path)
    table = POINTER()
    get_function_list.restype, get_function_list.argtypes = ULONG, [POINTER]
    if get_function_list(ctypes.byref(table)) != CKR_OK or not table.value:
        raise Refused("the PKCS#11 module %s gave no function list" % path)
    # CK_FUNCTION_LIST: a 2-byte version, padded to a pointer, then the functions in order.
    pointers = ctypes.cast(table, ctypes.POINTER(POINTER))
    module = {}
    for name, (place, *parameters) in FUNCTIONS.items():
        module[name] = ctypes.CFUNCTYPE(ULONG, *parameters)(pointers[place + 1])
    status = module["C_Initialize"](None)
    if status != CKR_OK:
        raise Refused("the PKCS#11 module %s did not start: %s" % (path, describe_status(status)))
    return module


def describe_status(status):
    return STATUS_NAMES.get(status, "CKR 0x%X" % status)


def text_of(field):
    return bytes(field).rstrip(b" \0")


def shown(value):
    return "'%s'" % value.decode(errors="replace")


def find_token(module, variable, attributes):
    """The one initialized token whose fields match the URI's: (slot, TokenInfo)."""
    count = ULONG()
    if module["C_GetSlotList"](1, None, ctypes.byref(count)) != CKR_OK:
        raise Refused("the PKCS#11 module cannot list its slots")
    slots = (ULONG * max(count.value, 1))()
    if module["C_GetSlotList"](1, slots, ctypes.byref(count)) != CKR_OK:
        raise Refused("the PKCS#11 module cannot list its slots")
    tokens = []
    for slot in slots[:count.value]:
        info = TokenInfo()
        if (module["C_GetTokenInfo"](slot, ctypes.byref(info)) == CKR_OK
                and info.flags & CKF_TOKEN_INITIALIZED):
            tokens.append((slot, info))
    matching = [(slot, info) for slot, info in tokens
                if all(text_of(getattr(info, TOKEN_FIELDS[name])) == value
                       for name, value in attributes.items() if name in TOKEN_FIELDS)]
    labels = ", ".join(shown(text_of(info.label)) for _, info in (matching or tokens))
    if not tokens:
        raise Refused("the PKCS#11 module sees no token: is it plugged in?")
    if not matching:
        raise Refused("%s names no token the module sees (it sees %s)" % (variable, labels))
    if len(matching) > 1:
        raise Refused("%s matches %d tokens (%s): add token= or serial= to name one" % (
            variable, len(matching), labels))
    return matching[0]


def log_in(module, session, slot, token, pin):
    """Logs in with the PIN once; after a wrong PIN, says so and tries nothing more."""
    name = shown(text_of(token.label))
    if token.flags & CKF_USER_PIN_LOCKED:
        raise Refused("token %s is locked: its PIN was entered wrong too often. Unblock it with "
                      "its SO PIN or PUK; no PIN was tried" % name)
    if not token.flags & CKF_LOGIN_REQUIRED:
        return
    if pin is None:
        raise Refused("token %s needs its PIN: put it in a file and name it SIGN_PIN_FILE" % name)
    status = module["C_Login"](session, CKU_USER, pin, len(pin))
    if status in (CKR_OK, CKR_USER_ALREADY_LOGGED_IN):
        return
    if status == CKR_PIN_LOCKED:
        raise Refused("token %s is locked: its PIN was entered wrong too often. Unblock it "
                      "with its SO PIN or PUK" % name)
    if status == CKR_PIN_EXPIRED:
        raise Refused("the PIN of token %s has expired: set a new one" % name)
    if status not in WRONG_PIN:
        raise Refused("cannot log in to token %s: %s" % (name, describe_status(status)))
    after = TokenInfo()
    module["C_GetTokenInfo"](slot, ctypes.byref(after))
    warning = ""
    if after.flags & CKF_USER_PIN_LOCKED:
        warning = "; the token is locked now"
    elif after.flags & CKF_USER_PIN_FINAL_TRY:
        warning = "; one more wrong PIN locks it"
    raise Refused("wrong PIN for token %s: tried once and not again, as tokens lock after a "
                  "few wrong tries%s" % (name, warning))


def read_attribute(module, session, handle, kind):
    """An attribute's bytes, or None where the token does not tell it."""
    attribute = Attribute(kind, None, 0)
    if module["C_GetAttributeValue"](session, handle, ctypes.byref(attribute), 1) != CKR_OK:
        return None
    if attribute.length == ULONG(-1).value:
        return None
    value = ctypes.create_string_buffer(attribute.length)
    attribute.value = ctypes.cast(value, POINTER)
    if module["C_GetAttributeValue"](session, handle, ctypes.byref(attribute), 1) != CKR_OK:
        return None
    return value.raw[:attribute.length]


def find_objects(module, session, kind, attributes):
    """Up to MAX_OBJECTS handles of the objects of a class with the URI's object= and id=."""
    wanted = [(CKA_CLASS, bytes(ULONG(kind)))]
    if "object" in attributes:
        wanted.append((CKA_LABEL, attributes["object"]))
    if "id" in attributes:
        wanted.append((CKA_ID, attributes["id"]))
    values = [ctypes.create_string_buffer(value, len(value)) for _, value in wanted]
    template = (Attribute * len(wanted))(*[
        Attribute(kind, ctypes.cast(value, POINTER), len(value.raw))
        for (kind, _), value in zip(wanted, values)])
    if module["C_FindObjectsInit"](session, template, len(wanted)) != CKR_OK:
        raise Refused("the token cannot search its objects")
    handles, count = (ULONG * MAX_OBJECTS)(), ULONG()
    status = module["C_FindObjects"](session, handles, MAX_OBJECTS, ctypes.byref(count))
    module["C_FindObjectsFinal"](session)
    if status != CKR_OK:
        raise Refused("the token cannot search its objects: %s" % describe_status(status))
    return list(handles[:count.value])


def describe_object(module, session, handle):
    label = read_attribute(module, session, handle, CKA_LABEL) or b""
    identifier = read_attribute(module, session, handle, CKA_ID) or b""
    return "%s id %s" % (shown(label), identifier.hex() or "(none)")


def find_one(module, session, token, variable, attributes, kind, what):
    """The one object of a class that the URI names on the token."""
    found = find_objects(module, session, kind, attributes)
    if len(found) == 1:
        return found[0]
    name = shown(text_of(token.label))
    if found:
        more = "" if len(found) < MAX_OBJECTS else " or more"
        raise Refused("%s names %d%s %ss on token %s (%s): add id= to name one" % (
            variable, len(found), more, what, name,
            ", ".join(describe_object(module, session, h) for h in found[:4])))
    held = find_objects(module, session, kind, {})
    listed = ", ".join(describe_object(module, session, h) for h in held[:4]) or "none"
    more = " and more" if len(held) > 4 else ""
    raise Refused("%s names no %s on token %s (it holds %s%s)" % (variable, what, name, listed,
                                                                 more))


def flag_of(value):
    return value is not None and value[:1] not in (b"", b"\0")


def check_can_sign(module, session, slot, handle, description):
    """The key signs as Authenticode asks: RSA PKCS #1 v1.5 or ECDSA."""
    kind = int.from_bytes(read_attribute(module, session, handle, CKA_KEY_TYPE) or b"\xff" * 8,
                          sys.byteorder)
    if kind not in SIGNING:
        raise Refused("%s is %s key: Authenticode signs with an RSA or an ECDSA key" % (
            description, KEY_KINDS.get(kind, "an unknown kind of")))
    mechanism, mechanism_name, signature = SIGNING[kind]
    if not flag_of(read_attribute(module, session, handle, CKA_SIGN)):
        raise Refused("%s may not sign (CKA_SIGN is false)" % description)
    allowed = read_attribute(module, session, handle, CKA_ALLOWED_MECHANISMS)
    width = ctypes.sizeof(ULONG)
    if allowed and mechanism not in [int.from_bytes(allowed[i:i + width], sys.byteorder)
                                     for i in range(0, len(allowed), width)]:
        raise Refused("%s cannot sign %s: its CKA_ALLOWED_MECHANISMS leave out %s"
                      % (description, signature, mechanism_name))
    info = MechanismInfo()
    if (module["C_GetMechanismInfo"](slot, mechanism, ctypes.byref(info)) != CKR_OK
            or not info.flags & CKF_SIGN):
        raise Refused("the token of %s cannot sign %s: it lacks %s" % (
            description, signature, mechanism_name))
    return kind


def der_elements(data, start, end):
    """(tag, element start, contents start, element end) of each DER element in data[start:end]."""
    elements = []
    while start < end:
        tag, length, contents = data[start], data[start + 1], start + 2
        if length & 0x80:
            contents += length & 0x7F
            length = int.from_bytes(data[start + 2:contents], "big")
        if contents + length > end:
            raise ValueError("truncated")
        elements.append((tag, start, contents, contents + length))
        start = contents + length
    return elements


def public_key_of(certificate):
    """(algorithm OID, algorithm parameters as DER, key bits) of a certificate's public key."""
    try:
        (_, _, body, end), = der_elements(certificate, 0, len(certificate))
        _, _, tbs, tbs_end = der_elements(certificate, body, end)[0]
        fields = der_elements(certificate, tbs, tbs_end)
        fields = fields[1:] if fields[0][0] == 0xA0 else fields
        _, _, spki, spki_end = fields[5]
        (_, _, algorithm, algorithm_end), (_, _, bits, bits_end) = der_elements(
            certificate, spki, spki_end)
        oid, *parameters = der_elements(certificate, algorithm, algorithm_end)
        parameters = certificate[parameters[0][1]:parameters[0][3]] if parameters else b""
        return certificate[oid[2]:oid[3]], parameters, certificate[bits + 1:bits_end]
    except (ValueError, IndexError):
        raise Refused("SIGN_CERT: cannot read its certificate")


def rsa_numbers(bits):
    """Modulus and exponent of an RSAPublicKey."""
    try:
        (_, _, body, end), = der_elements(bits, 0, len(bits))
        return [int.from_bytes(bits[c:e], "big") for _, _, c, e in der_elements(bits, body, end)]
    except ValueError:
        raise Refused("SIGN_CERT: cannot read its certificate's RSA key")


def ec_points(value):
    """A CKA_EC_POINT as given, and unwrapped from its DER OCTET STRING."""
    try:
        (tag, _, contents, end), = der_elements(value, 0, len(value))
        return {value, value[contents:end]} if tag == 0x04 else {value}
    except ValueError:
        return {value}


def check_certificate(module, session, handle, kind, certificate, description):
    """The certificate's public key is the key's: RSA's modulus and exponent, EC's curve and
    point (from the key's public key object, where the token has one)."""
    oid, parameters, bits = public_key_of(certificate)
    matches = None
    if kind == CKK_RSA:
        modulus = read_attribute(module, session, handle, CKA_MODULUS)
        exponent = read_attribute(module, session, handle, CKA_PUBLIC_EXPONENT)
        if oid != RSA_OID:
            matches = False
        elif modulus and exponent:
            matches = rsa_numbers(bits) == [int.from_bytes(modulus, "big"),
                                            int.from_bytes(exponent, "big")]
        size = "RSA %d-bit" % int.from_bytes(modulus, "big").bit_length() if modulus else "RSA"
    else:
        curve = read_attribute(module, session, handle, CKA_EC_PARAMS)
        identifier = read_attribute(module, session, handle, CKA_ID)
        public = find_objects(module, session, CKO_PUBLIC_KEY, {"id": identifier}) if (
            identifier) else []
        point = None
        if len(public) == 1:
            point = read_attribute(module, session, public[0], CKA_EC_POINT)
        if oid != EC_OID or curve != parameters:
            matches = False
        elif point:
            matches = bits in ec_points(point)
        size = "ECDSA %s" % CURVES.get(curve, "")
    if matches is False:
        raise Refused("the certificate in SIGN_CERT is not for %s: their public keys differ" %
                      description)
    return size.strip()


def write_certificate(path, certificate):
    text = base64.b64encode(certificate).decode()
    with open(path, "w") as f:
        f.write("-----BEGIN CERTIFICATE-----\n")
        f.writelines(text[i:i + 64] + "\n" for i in range(0, len(text), 64))
        f.write("-----END CERTIFICATE-----\n")


def der(tag, contents):
    """A DER element: tag, length, contents."""
    if len(contents) < 0x80:
        return bytes([tag, len(contents)]) + contents
    size = len(contents).to_bytes((len(contents).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + contents


def der_integer(value):
    """A non-negative INTEGER: a leading zero byte where the top bit is set."""
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big"))


def whole(data, element):
    return data[element[1]:element[3]]


def issuer_and_serial(certificate):
    """The IssuerAndSerialNumber that names a certificate in a SignerInfo."""
    (_, _, body, end), = der_elements(certificate, 0, len(certificate))
    _, _, tbs, tbs_end = der_elements(certificate, body, end)[0]
    fields = der_elements(certificate, tbs, tbs_end)
    fields = fields[1:] if fields[0][0] == 0xA0 else fields
    return der(0x30, whole(certificate, fields[2]) + whole(certificate, fields[0]))


def sign_digest(module, session, handle, kind, description, name, digest):
    """The key's signature of a digest, with the AlgorithmIdentifier a SignerInfo gives it."""
    mechanism = Mechanism(SIGNING[kind][0], None, 0)
    data = DIGEST_INFO[name] + digest if kind == CKK_RSA else digest
    status = module["C_SignInit"](session, ctypes.byref(mechanism), handle)
    if status == CKR_OK:
        signature, length = ctypes.create_string_buffer(MAX_SIGNATURE), ULONG(MAX_SIGNATURE)
        status = module["C_Sign"](session, ctypes.create_string_buffer(data, len(data)),
                                  len(data), signature, ctypes.byref(length))
    if status != CKR_OK:
        raise Refused("%s did not sign: %s" % (description, describe_status(status)))
    signature = signature.raw[:length.value]
    if kind == CKK_RSA:
        return der(0x30, der(0x06, RSA_OID) + b"\x05\x00"), signature
    half = len(signature) // 2  # r and s, each as wide as the curve's order
    return der(0x30, der(0x06, ECDSA_WITH[name])), der(0x30, b"".join(
        der_integer(int.from_bytes(part, "big")) for part in (signature[:half], signature[half:])))


def check_signature(certificate, name, digest, signature):
    """The token's signature verifies against the certificate, as OpenSSL checks it."""
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, leaf) for leaf in ("signer.pem", "digest", "signature")]
        write_certificate(paths[0], certificate)
        for path, data in zip(paths[1:], (digest, signature)):
            with open(path, "wb") as f:
                f.write(data)
        made = subprocess.run(["openssl", "pkeyutl", "-verify", "-certin", "-inkey", paths[0],
                               "-in", paths[1], "-sigfile", paths[2], "-pkeyopt",
                               "digest:" + name], capture_output=True, stdin=subprocess.DEVNULL)
    if made.returncode != 0:
        raise Refused("the token's %s signature does not verify against the certificate in "
                      "SIGN_CERT" % name.upper())


def resign(info, chain, sign):
    """A ContentInfo of Authenticode's SignedData with CHAIN as its certificates and each
    signature in it made anew by sign(digest name, digest), the nested ones too."""
    (_, _, body, end), = der_elements(info, 0, len(info))
    kind, content = der_elements(info, body, end)
    (_, _, data, data_end), = der_elements(info, content[2], content[3])
    fields = der_elements(info, data, data_end)
    parts = []
    for number, field in enumerate(fields):
        if field[0] == 0xA0:
            parts.append(der(0xA0, b"".join(chain)))
        elif number == len(fields) - 1:
            parts.append(der(0x31, b"".join(resign_signer(whole(info, signer), chain, sign)
                                            for signer in der_elements(info, *field[2:]))))
        else:
            parts.append(whole(info, field))
    return der(0x30, whole(info, kind) + der(0xA0, der(0x30, b"".join(parts))))


def resign_signer(signer, chain, sign):
    """A SignerInfo: the chain's first certificate named, its signed attributes signed anew."""
    (_, _, body, end), = der_elements(signer, 0, len(signer))
    version, _, algorithm, attributes, _, _, *rest = der_elements(signer, body, end)
    if attributes[0] != 0xA0:
        raise ValueError("no signed attributes")
    (_, _, oid, oid_end), *_ = der_elements(signer, *algorithm[2:])
    name = DIGESTS[signer[oid:oid_end]]
    # The signature covers the attributes as a SET, not as the [0] they are stored as.
    digest = hashlib.new(name, der(0x31, signer[attributes[2]:attributes[3]])).digest()
    signature_algorithm, signature = sign(name, digest)
    parts = [whole(signer, version), issuer_and_serial(chain[0]), whole(signer, algorithm),
             whole(signer, attributes), signature_algorithm, der(0x04, signature)]
    for field in rest:
        if field[0] != 0xA1:
            parts.append(whole(signer, field))
            continue
        parts.append(der(0xA1, b"".join(resign_attribute(whole(signer, attribute), chain, sign)
                                        for attribute in der_elements(signer, *field[2:]))))
    return der(0x30, b"".join(parts))


def resign_attribute(attribute, chain, sign):
    """An unsigned attribute, its nested signatures made anew; any other as it is."""
    (_, _, body, end), = der_elements(attribute, 0, len(attribute))
    oid, values = der_elements(attribute, body, end)
    if attribute[oid[2]:oid[3]] != NESTED_SIGNATURE:
        return attribute
    return der(0x30, whole(attribute, oid) + der(0x31, b"".join(
        resign(whole(attribute, value), chain, sign)
        for value in der_elements(attribute, *values[2:]))))


def sign_template(template, chain, signature_out, sign):
    with open(template, "rb") as f:
        info = f.read()
    try:
        signed = resign(info, chain, sign)
    except (ValueError, IndexError, KeyError):
        raise Refused("cannot read the signature osslsigncode laid out in %s" % template)
    with open(signature_out, "wb") as f:
        f.write(signed)


def describe_key(module, session, handle, token, size):
    extractable = read_attribute(module, session, handle, CKA_EXTRACTABLE)
    how = "extractable: the token lets it be copied out" if flag_of(extractable) else (
        "not extractable" if extractable is not None else "extractable or not, the token does "
        "not tell")
    return "key: %s %s on token %s, %s" % (size, describe_object(module, session, handle),
                                          shown(text_of(token.label)), how)


def check_key(module_path, key_uri, certificate_name, pin_path, certificate_out, template="",
              signature_out=""):
    key = parse_uri("SIGN_KEY", key_uri)
    check_type("SIGN_KEY", key, b"private")
    on_token = certificate_name.startswith("pkcs11:")
    if on_token:
        wanted = parse_uri("SIGN_CERT", certificate_name)
        check_type("SIGN_CERT", wanted, b"cert")
    else:
        chain = read_certificate_file(certificate_name)
        certificate = chain[0]
    pin = read_pin(pin_path) if pin_path else None
    module = load_module(module_path)
    session = ULONG()
    try:
        slot, token = find_token(module, "SIGN_KEY", key)
        if on_token and find_token(module, "SIGN_CERT", wanted)[0] != slot:
            raise Refused("SIGN_CERT names a certificate on another token than SIGN_KEY's key")
        if module["C_OpenSession"](slot, CKF_SERIAL_SESSION, None, None,
                                   ctypes.byref(session)) != CKR_OK:
            raise Refused("cannot open a session on token %s" % shown(text_of(token.label)))
        log_in(module, session, slot, token, pin)
        handle = find_one(module, session, token, "SIGN_KEY", key, CKO_PRIVATE_KEY, "private key")
        description = "key %s on token %s" % (describe_object(module, session, handle),
                                              shown(text_of(token.label)))
        kind = check_can_sign(module, session, slot, handle, description)
        if on_token:
            found = find_one(module, session, token, "SIGN_CERT", wanted, CKO_CERTIFICATE,
                             "certificate")
            certificate = read_attribute(module, session, found, CKA_VALUE) or b""
            chain = [certificate]
        size = check_certificate(module, session, handle, kind, certificate, description)
        if on_token:
            write_certificate(certificate_out, certificate)
        if template:
            def sign(name, digest):
                algorithm, signature = sign_digest(module, session, handle, kind, description,
                                                   name, digest)
                check_signature(certificate, name, digest, signature)
                return algorithm, signature

            sign_template(template, chain, signature_out, sign)
        return describe_key(module, session, handle, token, size)
    finally:
        if session.value:
            module["C_CloseSession"](session)
        module["C_Finalize"](None)


def main(args):
    if len(args) not in (5, 7):
        raise Refused("usage: pkcs11_key.py MODULE KEY_URI CERT PIN_FILE CERT_OUT "
                      "[TEMPLATE SIGNATURE_OUT]")
    print(check_key(*args))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Refused as refusal:
        print(refusal)
    except OSError as error:
        print("%s: %s" % (error.filename, error.strerror))
    sys.exit(1)

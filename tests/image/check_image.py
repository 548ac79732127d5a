"""Checks the built VuqSetup.exe: kind of image, manifest, icon, version record, imports,
and what keeps attaching a detached signature exact (PE checksum, file length).

Usage: /usr/bin/python3 check_image.py EXE OBJDUMP [BYTES [PLAIN]]
BYTES: the most the image may weigh without its resources (default 8704).
PLAIN: a plain build, for a pinned EXE: it may import more than PLAIN from kernel32 alone.
"""

import os
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from report import check, finish

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_EN_US = 1033
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# (width, height, bit count) of the icon group, in order; 256 is stored as PNG.
ICONS = [(32, 32, 4), (16, 16, 4), (48, 48, 8), (32, 32, 8), (16, 16, 8),
         (256, 256, 32), (48, 48, 32), (32, 32, 32), (16, 16, 32)]

FIXED_VERSION = [  # (name, index into VS_FIXEDFILEINFO's 13 DWORDs, value)
    ("signature", 0, 0xFEEF04BD), ("struct version", 1, 0x00010000),
    ("file version MS", 2, 0x00010000), ("file version LS", 3, 0x00000001),
    ("product version MS", 4, 0x00010000), ("product version LS", 5, 0x00000001),
    ("file flags mask", 6, 0x17), ("file flags", 7, 0), ("file OS", 8, 4),
    ("file type", 9, 1), ("file subtype", 10, 0), ("file date MS", 11, 0),
    ("file date LS", 12, 0),
]

STRINGS = {
    "CompanyName": "Vuq Devices Team",
    "FileDescription": "VuqSetup Wrapper Application",
    "FileVersion": "1, 0, 0, 1",
    "InternalName": "VuqSetup",
    "LegalCopyright": "Copyright (C) 2026 Vuq Devices Team",
    "OriginalFilename": "VuqSetup.exe",
    "ProductName": "VuqSetup Wrapper Application",
    "ProductVersion": "1, 0, 0, 1",
}

# Everything else (shell32, user32) is loaded at run time from the system folder, once the
# DLL search is narrowed; a static import would be in the process before the wrapper's code.
IMPORTS = ["advapi32.dll", "kernel32.dll"]
DLLCHARACTERISTICS_DYNAMIC_BASE, DLLCHARACTERISTICS_NX_COMPAT = 0x0040, 0x0100
DLLCHARACTERISTICS_NO_SEH = 0x0400
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DIRECTORY_ENTRY_BASERELOC = 5
SIZE_WITHOUT_RESOURCES = 8704

# Vista, 7, 8, 8.1, 10 and 11: without them Windows treats the wrapper as a legacy installer.
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]

COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "processorArchitecture": "x86",
                   "publicKeyToken": "6595b64144ccf1df", "language": "*"}

# (element path from the root, text); a namespace that is off by one letter finds nothing.
WINDOWS_SETTINGS = f"{ASM_V3}application/{ASM_V3}windowsSettings/"
SETTINGS = [
    (WINDOWS_SETTINGS + f"{WS_2005}dpiAware", "true/pm"),
    (WINDOWS_SETTINGS + f"{WS_2016}dpiAwareness", "PerMonitorV2, PerMonitor"),
    (WINDOWS_SETTINGS + f"{WS_2016}longPathAware", "true"),
]

def resources(pe):
    """Maps (type, id, lang) to the resource's bytes."""
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in root.entries if root else []:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                s = lang.data.struct
                found[(t.id, n.id, lang.id)] = pe.get_data(s.OffsetToData, s.Size)
    return found


def langs_of(res, rtype, rid):
    return sorted(lang for t, i, lang in res if (t, i) == (rtype, rid))


def version_node(data, pos):
    """Parses one VS_VERSIONINFO-style node: (key, value bytes, value type, children)."""
    length, value_len, vtype = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    key_end = pos + 6
    while key_end < end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos + 6:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    value_bytes = value_len * 2 if vtype == 1 else value_len
    value = data[p:p + value_bytes]
    p = (p + value_bytes + 3) & ~3
    children = []
    while p < end:
        child, p = version_node(data, p)
        children.append(child)
        p = (p + 3) & ~3
    return (key, value, vtype, children), end


def check_kind(pe):
    check("machine is i386", hex(pe.FILE_HEADER.Machine), hex(0x14C))
    check("optional header is PE32", hex(pe.OPTIONAL_HEADER.Magic), hex(0x10B))
    check("subsystem is GUI", pe.OPTIONAL_HEADER.Subsystem, 2)
    check("subsystem version is 5.0",
          (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion),
          (5, 0))


def check_manifest(res):
    langs = langs_of(res, RT_MANIFEST, 1)
    check("manifest resource 1 present once", len(langs), 1)
    if len(langs) != 1:
        return
    try:
        root = ET.fromstring(res[(RT_MANIFEST, 1, langs[0])])
    except ET.ParseError as e:
        check("manifest parses as XML", str(e), "no error")
        return
    path = (f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
            f"{ASM_V3}requestedExecutionLevel")
    levels = root.findall(path)
    check("manifest has one requestedExecutionLevel", len(levels), 1)
    attrs = levels[0].attrib if levels else {}
    check("manifest level", attrs.get("level"), "requireAdministrator")
    check("manifest uiAccess", attrs.get("uiAccess"), "false")
    check("manifest root", (root.tag, root.attrib),
          (f"{ASM_V1}assembly", {"manifestVersion": "1.0"}))
    check("manifest sections, in order", [e.tag for e in root],
          [f"{ASM_V3}trustInfo", f"{COMPAT}compatibility", f"{ASM_V1}dependency",
           f"{ASM_V3}application"])
    oses = root.findall(f"{COMPAT}compatibility/{COMPAT}application/{COMPAT}supportedOS")
    check("manifest supportedOS Ids", [e.attrib for e in oses], [{"Id": i} for i in SUPPORTED_OS])
    path = f"{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity"
    check("manifest Common-Controls dependency", [e.attrib for e in root.findall(path)],
          [COMMON_CONTROLS])
    check("manifest windowsSettings entries", len(root.findall(WINDOWS_SETTINGS + "*")),
          len(SETTINGS))
    for path, want in SETTINGS:
        found = root.findall(path)
        check(f"manifest {path.rsplit('}', 1)[1]}", [(e.text, e.attrib) for e in found],
              [(want, {})])


def check_icons(res):
    check("icon group 129 languages", langs_of(res, RT_GROUP_ICON, 129), [LANG_EN_US])
    group = res.get((RT_GROUP_ICON, 129, LANG_EN_US))
    if group is None:
        return
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    check("icon group header", (reserved, kind, count), (0, 1, len(ICONS)))
    for i, (w, h, bits) in enumerate(ICONS):
        name = f"icon {i} ({w}x{h} {bits}-bit)"
        if 6 + 14 * (i + 1) > len(group):
            check(f"{name} entry present", False, True)
            continue
        gw, gh, colours, _, planes, gbits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        check(f"{name} entry", (gw or 256, gh or 256, gbits, planes, colours),
              (w, h, bits, 1, 16 if bits == 4 else 0))
        langs = langs_of(res, RT_ICON, icon_id)
        if len(langs) != 1:
            check(f"{name} image resource {icon_id} present once", len(langs), 1)
            continue
        image = res[(RT_ICON, icon_id, langs[0])]
        check(f"{name} image size matches entry", len(image), size)
        if w == 256:
            # IHDR: length, type, width, height, bit depth, colour type
            ihdr = struct.unpack_from(">I4sIIBB", image, 8) if len(image) >= 26 else None
            check(f"{name} image header", (image[:8], ihdr),
                  (PNG_SIGNATURE, (13, b"IHDR", w, h, 8, 6)))
        else:
            header = struct.unpack_from("<IiiHH", image, 0)
            check(f"{name} image header", header, (40, w, 2 * h, 1, bits))


def check_version(res):
    check("version record languages", langs_of(res, RT_VERSION, 1), [LANG_EN_US])
    data = res.get((RT_VERSION, 1, LANG_EN_US))
    if data is None:
        return
    (key, fixed, _, children), _ = version_node(data, 0)
    check("version root key", key, "VS_VERSION_INFO")
    check("version fixed part length", len(fixed), 52)
    fields = struct.unpack("<13I", fixed) if len(fixed) == 52 else [None] * 13
    for name, index, want in FIXED_VERSION:
        check(f"version {name}", hex(fields[index]) if fields[index] is not None else None,
              hex(want))
    check("version blocks", [c[0] for c in children], ["StringFileInfo", "VarFileInfo"])
    by_key = {c[0]: c for c in children}
    tables = by_key.get("StringFileInfo", (None, None, None, []))[3]
    check("string tables", [t[0] for t in tables], ["000004b0"])
    entries = tables[0][3] if tables else []
    got = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _, _ in entries}
    check("string keys, in order, no extras", [e[0] for e in entries], list(STRINGS))
    for k, want in STRINGS.items():
        check(f"string {k}", got.get(k), want)
    var = by_key.get("VarFileInfo", (None, None, None, []))[3]
    check("translation entries",
          [(k, struct.unpack("<HH", v) if len(v) == 4 else v) for k, v, _, _ in var],
          [("Translation", (0x0000, 0x04B0))])


def imported(pe):
    """{dll: sorted names} of the image's import table."""
    return {e.dll.decode().lower(): sorted(i.name.decode() for i in e.imports)
            for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


def check_imports(pe, plain):
    check("imports kernel32 and advapi32 only", sorted(imported(pe)), IMPORTS)
    if plain is None:
        return
    # kernel32's own exports are resolved in kernel32 or by the loader's own API sets; any other
    # import (advapi32's CryptoAPI forwards to cryptsp from 7 on) could bring a DLL in by bare
    # name before the wrapper's first instruction.
    ours, theirs = imported(pe), imported(plain)
    more = {dll: [name for name in names if name not in theirs.get(dll, [])]
            for dll, names in ours.items() if dll != "kernel32.dll"}
    check("imports nothing beyond the plain build's but from kernel32",
          {dll: names for dll, names in more.items() if names}, {})


def check_layout(pe, file_size, most_without_resources):
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    check("DYNAMIC_BASE set", bool(flags & DLLCHARACTERISTICS_DYNAMIC_BASE), True)
    check("NX_COMPAT set", bool(flags & DLLCHARACTERISTICS_NX_COMPAT), True)
    check("NO_SEH set", bool(flags & DLLCHARACTERISTICS_NO_SEH), True)
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_BASERELOC]
    check("relocations kept", (bool(pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED),
                               relocs.Size > 0), (False, True))
    rsrc = sum(s.SizeOfRawData for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
    check(f"at most {most_without_resources} bytes without resources",
          file_size - rsrc <= most_without_resources, True)


# What a Pentium MMX, K6 or Vortex86 lacks: P6 and later instructions (cmov, fcmov, fcomi, the
# long nops, sysenter), MMX and SSE registers, and the later extensions.
POST_I586 = re.compile(r"^(cmov|fcmov|f(u)?comip?$|nop[wl]|sysenter|sysexit|fxsave|fxrstor|"
                       r"[ls]dmxcsr|prefetch|[lms]fence|clflush|movnti|popcnt|lzcnt|tzcnt|"
                       r"movbe|crc32|cmpxchg16b|rdrand|rdseed)|%[xy]?mm\d")


def check_instructions(exe, objdump):
    listing = subprocess.run([objdump, "-d", "-j", ".text", exe], capture_output=True,
                             text=True, check=True).stdout
    found = sorted({line.split("\t")[2] for line in listing.splitlines()
                    if line.count("\t") >= 2 and POST_I586.search(line.split("\t")[2])})
    check("no instructions past the i586 in .text", found[:5], [])


def check_signing_layout(pe):
    # Attaching a signature pads the file to 8 bytes and rewrites the checksum; when both
    # already hold, removing the signature gives back the unsigned build byte for byte.
    check("PE checksum is correct", hex(pe.OPTIONAL_HEADER.CheckSum), hex(pe.generate_checksum()))
    check("file length is a multiple of 8", len(pe.__data__) % 8, 0)
    security_entry = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[security_entry]
    check("no signature", (security.VirtualAddress, security.Size), (0, 0))


def main():
    if len(sys.argv) not in (3, 4, 5):
        sys.exit("usage: check_image.py EXE OBJDUMP [BYTES [PLAIN]]")
    pe = pefile.PE(sys.argv[1])
    res = resources(pe)
    check_kind(pe)
    check_manifest(res)
    check_icons(res)
    check_version(res)
    check_imports(pe, pefile.PE(sys.argv[4]) if len(sys.argv) == 5 else None)
    check_layout(pe, len(pe.__data__),
                 int(sys.argv[3]) if len(sys.argv) >= 4 else SIZE_WITHOUT_RESOURCES)
    check_instructions(sys.argv[1], sys.argv[2])
    check_signing_layout(pe)
    sys.exit(finish())


if __name__ == "__main__":
    main()

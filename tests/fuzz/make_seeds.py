#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses under tests/fuzz/corpus/<harness>/.

Deterministic: the same files on every run, so the committed corpus can be regenerated
and compared. Each seed follows the input layout its harness documents at its top.
"""

import pathlib
import shutil
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def units(text):
    return text.encode("utf-16-le")


def u16(value):
    return struct.pack("<H", value)


def search_seed(pattern, text):
    return u16(len(pattern)) + units(pattern) + units(text)


def plan_seed(own_path, arguments="", is64=False, path_filler=0, argument_filler=0):
    flags = 1 if is64 else 0
    return (bytes([flags]) + u16(path_filler) + u16(argument_filler) + u16(len(own_path))
            + units(own_path) + units(arguments))


def cleanup_seed(data, value_type=1, refuse_write=False):
    return struct.pack("<I", value_type) + bytes([1 if refuse_write else 0]) + data


def text_search_seeds():
    return {
        "file_name": search_seed("vuqsetup.exe", "C:\\Setup\\VuqSetup.exe"),
        "capitals": search_seed("vuqsetup.exe", "C:\\Setup\\VUQSETUP.EXE"),
        "tag_at_end": search_seed("Beta", "1.0 Beta"),
        "tag_partial": search_seed("Beta", "1.0 Betx"),
        "failed_start": search_seed("Beta", "BBETA"),
        "overlap": search_seed("ab", "aab"),
        "one_unit": search_seed("Z", "xyz"),
        "no_fold_beyond_ascii": search_seed("\u00e9t\u00e9", "\u00c9T\u00c9"),
        "leftmost": search_seed("vuqsetup", "C:\\VuqSetup\\VuqSetup.exe"),
        "empty_pattern": search_seed("", "abc"),
        "pattern_longer": search_seed("abc", "ab"),
        "text_600_units": search_seed("beta", "x" * 596 + "BETA"),
        "pattern_520_units": search_seed("a" * 520, "A" * 600),
        "brackets_vs_letters": search_seed("[", "{@`"),
    }


def launch_plan_seeds():
    return {
        "typical_64": plan_seed("C:\\Setup\\VuqSetup.exe", is64=True),
        "typical_32": plan_seed("C:\\Setup\\VuqSetup.exe"),
        "capitals": plan_seed("D:\\SETUP\\VUQSETUP.EXE"),
        "no_folder": plan_seed("VuqSetup.exe"),
        "bare_name": plan_seed("C:\\Setup\\VuqSetup_v2.exe", is64=True),
        "folder_name": plan_seed("C:\\VuqSetup\\Install.exe"),
        "not_found": plan_seed("C:\\Tools\\setup.exe"),
        "arguments": plan_seed("C:\\Setup\\VuqSetup.exe", "/S /v", is64=True),
        # Folder parts of 498 and 499 units ahead of the 14-unit 64-bit payload name.
        "path_512": plan_seed("\\VuqSetup.exe", is64=True, path_filler=497),
        "path_513": plan_seed("\\VuqSetup.exe", is64=True, path_filler=498),
        # The longest own path the platform hands over: 511 units.
        "own_path_511": plan_seed("\\VuqSetup.exe", path_filler=498),
        "own_path_600": plan_seed("\\VuqSetup.exe", path_filler=587),
        "arguments_512": plan_seed("C:\\Setup\\VuqSetup.exe", "/S", argument_filler=510),
        "arguments_513": plan_seed("C:\\Setup\\VuqSetup.exe", "/S", argument_filler=511),
    }


def cleanup_seeds():
    def text(value, terminated=True):
        return units(value) + (b"\0\0" if terminated else b"")

    return {
        "trailing_blank": cleanup_seed(text("5.5.3 Beta")),
        "rest_goes": cleanup_seed(text("Touch Driver BETA 2 (x64)")),
        "tag_alone": cleanup_seed(text("Beta")),
        "no_tag": cleanup_seed(text("5.5.3")),
        "bet_and_letters": cleanup_seed(text("Betx Bet")),
        "expand_string": cleanup_seed(text("%x% Beta"), value_type=2),
        "tag_after_terminator": cleanup_seed(text("ok") + text("Beta")),
        "odd_byte": cleanup_seed(text("2.0 Bet", terminated=False) + b"a"),
        "1024_no_nul": cleanup_seed(text("v" * 508 + "BETA", terminated=False)),
        "1023_tag_last": cleanup_seed(text("x" * 507 + "beta", terminated=False) + b"z"),
        "1026_terminated": cleanup_seed(text("a" * 508 + "Beta")),
        "1100_bytes": cleanup_seed(text("Beta" + "b" * 546)),
        "write_refused": cleanup_seed(text("5.5.3 Beta"), refuse_write=True),
        "binary_type": cleanup_seed(text("Beta", terminated=False) + b"\x01", value_type=3),
        "odd_type": cleanup_seed(text("1 beta 2 Beta"), value_type=0xFFFFFFFF),
    }


def argument_text_seeds():
    return {
        "quoted_name": units('"C:\\My Setup\\VuqSetup.exe" /S'),
        "bare_name": units('C:\\Setup\\VuqSetup.exe a "b c"'),
        "leading_blank": units('  "x" /S'),
        "empty_quotes": units('"" /S'),
        "unbalanced": units('"C:\\My Setup\\VuqSetup.exe /S'),
        "quote_in_name": units('C:\\My" "Setup\\VuqSetup.exe /S'),
        "controls": units("a\x01\x1f\t /S\t "),
        "blanks_only": units('"x"  \t '),
        "empty": b"",
    }


def write_corpus(harness, seeds):
    folder = CORPUS / harness
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in sorted(seeds.items()):
        (folder / name).write_bytes(data)


def main():
    write_corpus("fuzz_text_search", text_search_seeds())
    write_corpus("fuzz_launch_plan", launch_plan_seeds())
    write_corpus("fuzz_cleanup", cleanup_seeds())
    write_corpus("fuzz_argument_text", argument_text_seeds())


if __name__ == "__main__":
    main()

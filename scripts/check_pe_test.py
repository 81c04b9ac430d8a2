#!/usr/bin/env python3
"""Tests of check_pe.py on real builds: the built programs pass, and copies with one thing
wrong each (a flag, a version, an import, a resource) fail with a message that names it.

Usage: check_pe_test.py QUORVEL32.EXE QUORVEL64.EXE OLVTOOL32.EXE OLVTOOL64.EXE
Prints one line per case and 'N passed, N failed'; exits 1 when any case fails.
"""

import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_pe.py")


def replace_once(data, old, new, start=0):
    """`data` with the first `old` at or after `start` replaced by `new` of the same length.
    ASCII text in UTF-16 is also found in upper case (the resource compiler's class names)."""
    assert len(old) == len(new), (old, new)
    at = data.find(old, start)
    if at < 0 and old.upper() != old:
        old, new = old.upper(), new.upper()
        at = data.find(old, start)
    if at < 0:
        raise AssertionError("%r not found in the file" % old)
    data[at:at + len(old)] = new
    return data


def u16(text):
    return text.encode("utf-16-le")


def resource_offset(data, rtype, name):
    """File offset of the first language of resource (rtype, name)."""
    image = check_pe.PeImage(bytes(data))
    rva, _ = next(iter(image.resources()[(rtype, name)].values()))
    return image.offset(rva)


def set_u16(at_fn, value):
    def mutate(data):
        struct.pack_into("<H", data, at_fn(data), value)
        return data
    return mutate


def dll_flags(data):
    return check_pe.PeImage(bytes(data)).opt + 70


def clear_flag(name):
    def mutate(data):
        at = dll_flags(data)
        struct.pack_into("<H", data, at, struct.unpack_from("<H", data, at)[0] & ~check_pe.DLL_CHARACTERISTICS[name])
        return data
    return mutate


def strip_relocations(data):
    image = check_pe.PeImage(bytes(data))
    struct.pack_into("<H", data, image.pe_offset + 22, image.characteristics | check_pe.IMAGE_FILE_RELOCS_STRIPPED)
    return data


def clear_large_address_aware(data):
    image = check_pe.PeImage(bytes(data))
    struct.pack_into("<H", data, image.pe_offset + 22,
                     image.characteristics & ~check_pe.IMAGE_FILE_LARGE_ADDRESS_AWARE)
    return data


def foreign_import(data):
    image = check_pe.PeImage(bytes(data))
    rva, _ = image.directory(check_pe.DIR_IMPORT)
    at = image.offset(struct.unpack("<IIIII", image.read(rva, 20))[3])
    name = b"libgcc.dll\0"
    assert data.index(b"\0", at) - at >= len(name) - 1
    data[at:at + len(name)] = name
    return data


def version_ls(value):
    def mutate(data):
        at = data.find(struct.pack("<I", check_pe.VS_FFI_SIGNATURE))
        struct.pack_into("<I", data, at + 12, value)  # dwFileVersionLS
        return data
    return mutate


def internal_name(data):
    return replace_once(data, u16("quorvel.exe"), u16("quorvel.com"), data.find(u16("InternalName")))


def icon_depth(data):
    # The first 24-bit image of the group becomes 32-bit.
    group = resource_offset(data, check_pe.RT_GROUP_ICON, check_pe.ICON_GROUP)
    count = struct.unpack_from("<H", data, group + 4)[0]
    for i in range(count):
        bits, _, icon_id = struct.unpack_from("<HIH", data, group + 6 + 14 * i + 6)
        if bits == 24:
            struct.pack_into("<H", data, resource_offset(data, check_pe.RT_ICON, icon_id) + 14, 32)
            return data
    raise AssertionError("no 24-bit icon image")


def in_resource(rtype, name, old, new):
    def mutate(data):
        return replace_once(data, old, new, resource_offset(data, rtype, name))
    return mutate


# (case, which builds, mutation or None for the file as built, --bits to check against, wanted text);
# the builds are quorvel.exe's, 32 and 64, and olvtool.exe's, "tool32" and "tool64".
CASES = [
    ("as built", ("tool32", "tool64"), None, None, ": OK"),
    ("large-address-awareness cleared", (32, 64, "tool32", "tool64"), clear_large_address_aware, None,
     "not large-address-aware"),
    ("GUI subsystem", ("tool32",), set_u16(lambda d: check_pe.PeImage(bytes(d)).opt + 68, 2), None,
     "subsystem 2, want 3 (console)"),
    ("as built", (32, 64), None, None, ": OK"),
    ("checked as the other machine", (32, 64), None, "other", "FAILED: machine"),
    ("NX_COMPAT cleared", (32, 64), clear_flag("NX_COMPAT"), None, "NX_COMPAT is not set"),
    ("DYNAMIC_BASE cleared", (32, 64), clear_flag("DYNAMIC_BASE"), None, "DYNAMIC_BASE is not set"),
    ("HIGH_ENTROPY_VA cleared", (64,), clear_flag("HIGH_ENTROPY_VA"), None, "HIGH_ENTROPY_VA is not set"),
    ("relocations stripped", (32, 64), strip_relocations, None, "no base relocations"),
    ("console subsystem", (32, 64), set_u16(lambda d: check_pe.PeImage(bytes(d)).opt + 68, 3), None, "subsystem 3"),
    ("declares Windows 2000", (32, 64), set_u16(lambda d: check_pe.PeImage(bytes(d)).opt + 40, 5), None,
     "declares OS version 5.0, want 6.0"),
    ("subsystem version 5", (32, 64), set_u16(lambda d: check_pe.PeImage(bytes(d)).opt + 48, 5), None,
     "declares subsystem version 5.0"),
    ("imports a DLL Windows lacks", (32, 64), foreign_import, None, "not part of Windows: libgcc.dll"),
    ("About string changed", (32,), lambda d: replace_once(d, u16("&About"), u16("&Abort")), None, "string 101"),
    ("InternalName changed", (32,), internal_name, None, "InternalName is 'quorvel.com'"),
    ("file version 1.0.0.2", (64,), version_ls(2), None, "file version 1.0.0.2"),
    ("an icon image dropped", (32,), set_u16(lambda d: resource_offset(d, check_pe.RT_GROUP_ICON, 128) + 4, 8),
     None, "icon group 128: 8 images"),
    ("an icon image of another depth", (64,), icon_depth, None, "32 bits; the group says"),
    ("main dialog caption", (32,), in_resource(check_pe.RT_DIALOG, 102, u16("quorvel"), u16("quorvex")), None,
     "dialog 102: caption"),
    ("file list of another class", (64,), in_resource(check_pe.RT_DIALOG, 102, u16("SysListView32"),
                                                      u16("SysListView64")), None, "control 1001"),
    ("About box without its OK button", (32,), in_resource(check_pe.RT_DIALOG, 100, b"\x01\0\0\0\xff\xff\x80\0",
                                                           b"\x09\0\0\0\xff\xff\x80\0"), None, "dialog 100: control 1"),
    ("manifest asks for elevation", (32,), lambda d: replace_once(d, b'"asInvoker"', b'"asInvokes"'), None,
     "requested execution level"),
    ("manifest names an assembly", (64,),
     lambda d: replace_once(d, b"<description>quorvel</description>", b"<dependentAssembly/>".ljust(34)), None,
     "names a dependent assembly"),
    ("manifest not XML", (32,), lambda d: replace_once(d, b"<assembly ", b"<assembly<"), None, "not well-formed"),
    ("cut short", (32, 64), lambda d: d[:4096], None, "cannot read it as a Windows program"),
    ("not a program", (32,), lambda d: bytearray(b"#!/bin/sh\n"), None, "no MZ header"),
]


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[3])
        return 2
    builds = {32: argv[0], 64: argv[1], "tool32": argv[2], "tool64": argv[3]}
    originals = {bits: open(path, "rb").read() for bits, path in builds.items()}
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="check-pe-") as tmp:
        for name, which, mutate, bits_flag, wanted in CASES:
            for bits in which:
                tool = isinstance(bits, str)
                width = int(bits[4:]) if tool else bits
                path = os.path.join(tmp, "%s%d.exe" % ("olvtool" if tool else "quorvel", width))
                label = "%s %d-bit: %s" % ("olvtool.exe" if tool else "quorvel.exe", width, name)
                try:
                    with open(path, "wb") as f:
                        f.write(mutate(bytearray(originals[bits])) if mutate else originals[bits])
                except (AssertionError, KeyError, check_pe.BadFile) as e:
                    failed += 1
                    print("FAIL  %s: the copy could not be made: %s" % (label, e), flush=True)
                    continue
                check_bits = (96 - width) if bits_flag == "other" else width
                run = subprocess.run([sys.executable, CHECKER, "--bits", str(check_bits)] +
                                     (["--console"] if tool else []) + [path],
                                     capture_output=True, text=True)
                out = run.stdout + run.stderr
                should_pass = wanted == ": OK"
                ok = "Traceback" not in out and (run.returncode == 0) == should_pass and wanted in out
                if ok:
                    passed += 1
                    print("ok    %s" % label, flush=True)
                else:
                    failed += 1
                    print("FAIL  %s: exit %d, wanted %s%s\n%s" % (label, run.returncode,
                          "success" if should_pass else "failure", " and %r" % wanted, out), flush=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

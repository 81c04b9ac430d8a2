#!/usr/bin/env python3
"""Checks a built quorvel.exe or olvtool.exe, read back from the file itself.

Usage: check_pe.py --bits 32|64 [--console] FILE

Checks the machine type, the subsystem (Windows GUI; the console with --console, for
olvtool.exe), the minimum Windows version the file declares, that it imports only system
DLLs, the DEP and ASLR flags (with the relocations ASLR needs), that it can use the whole
address space (large-address-aware), and for quorvel.exe the resources: dialogs 100 and 102
with their controls, string 101, icon group 128 with its nine images, the version information
and the manifest. Prints what it found; exits 1 and names every problem when the file is
wrong, 2 on bad arguments. Python 3 standard library only.
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ET

# The oldest Windows the program declares it runs on: Windows Vista (6.0), the oldest system
# its manifest lists and the first with the file and folder calls the program uses.
MIN_WINDOWS = (6, 0)

MACHINES = {32: (0x014C, 0x10B, "i386"), 64: (0x8664, 0x20B, "x86-64")}

# DLLs that every Windows from the minimum version on has in its system folder. Anything else
# (a compiler's run-time DLL, a library's DLL) would have to be shipped beside the program.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "dwmapi.dll",
    "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll", "ole32.dll",
    "oleaut32.dll", "rpcrt4.dll", "secur32.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "userenv.dll", "uxtheme.dll", "version.dll", "winmm.dll", "ws2_32.dll",
}

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
# Addresses above 2 GiB: a 32-bit program gets 4 GiB on 64-bit Windows instead of 2.
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
DLL_CHARACTERISTICS = {"HIGH_ENTROPY_VA": 0x0020, "DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100}
DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_DELAY_IMPORT = 1, 2, 5, 13

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24

# The dialogs: caption and, per control id, its window class.
DIALOGS = {
    100: ("About quorvel", {1: "Button"}),
    102: ("quorvel", {1: "Button", 2: "Button", 1000: "Button", 1001: "SysListView32",
                      1003: "msctls_progress32"}),
}
STRINGS = {101: "&About quorvel..."}
ICON_GROUP = 128
ICON_IMAGES = {(size, bits) for size in (48, 32, 16) for bits in (4, 8, 24)}
VERSION = (1, 0, 0, 1)
VERSION_STRINGS = {"FileVersion": "1.0.0.1", "ProductVersion": "1.0.0.1",
                   "InternalName": "quorvel.exe", "OriginalFilename": "quorvel.exe",
                   "ProductName": "quorvel"}
VS_FFI_SIGNATURE = 0xFEEF04BD
VFT_APP = 1
VOS_NT_WINDOWS32 = 0x00040004
MANIFEST_ID = 1  # CREATEPROCESS_MANIFEST_RESOURCE_ID
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
# Dialog item classes given as ordinals.
CONTROL_CLASSES = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
                   0x84: "ScrollBar", 0x85: "ComboBox"}


class BadFile(Exception):
    """The file cannot be read as a PE image far enough to check it."""


class PeImage:
    """The parts of a PE image the checks need: headers, sections, data directories."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise BadFile("no MZ header: not a Windows program")
        self.pe_offset = self.u32(0x3C)
        if self.bytes_at(self.pe_offset, 4) != b"PE\0\0":
            raise BadFile("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, sections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        self.opt = coff + 20
        self.magic = self.u16(self.opt)
        if self.magic not in (0x10B, 0x20B):
            raise BadFile("unknown optional header magic 0x%X" % self.magic)
        o = self.opt
        self.os_version = (self.u16(o + 40), self.u16(o + 42))
        self.subsystem_version = (self.u16(o + 48), self.u16(o + 50))
        self.subsystem = self.u16(o + 68)
        self.dll_characteristics = self.u16(o + 70)
        count_at = o + (92 if self.magic == 0x10B else 108)
        self.dir_count = self.u32(count_at)
        self.dirs_at = count_at + 4
        self.sections = []
        table = self.opt + opt_size
        for i in range(sections):
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", self.bytes_at(table + 40 * i, 40))
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), va, vsize, raw_ptr, raw_size))

    def bytes_at(self, offset, size):
        if offset < 0 or offset + size > len(self.data):
            raise BadFile("the file ends at %d, %d bytes wanted at %d" % (len(self.data), size, offset))
        return self.data[offset:offset + size]

    def u16(self, offset):
        return struct.unpack("<H", self.bytes_at(offset, 2))[0]

    def u32(self, offset):
        return struct.unpack("<I", self.bytes_at(offset, 4))[0]

    def directory(self, index):
        """(rva, size) of a data directory; (0, 0) when absent."""
        if index >= self.dir_count:
            return 0, 0
        return struct.unpack("<II", self.bytes_at(self.dirs_at + 8 * index, 8))

    def offset(self, rva, size=1):
        """The file offset of `size` bytes at `rva`, which must lie in one section's file data."""
        for _, va, _, raw_ptr, raw_size in self.sections:
            if va <= rva and rva + size <= va + raw_size:
                return raw_ptr + rva - va
        raise BadFile("RVA 0x%X (+%d) is outside the file's section data" % (rva, size))

    def read(self, rva, size):
        return self.bytes_at(self.offset(rva, size), size)

    def cstring(self, rva):
        at = self.offset(rva)
        end = self.data.find(b"\0", at)
        if end < 0:
            raise BadFile("unterminated name at RVA 0x%X" % rva)
        return self.data[at:end].decode("latin-1")

    def imports(self):
        """Names of the DLLs the image imports, directly or delay-loaded."""
        names = []
        rva, size = self.directory(DIR_IMPORT)
        while rva and size >= 20:
            name_rva = struct.unpack("<IIIII", self.read(rva, 20))[3]
            if name_rva == 0:
                break
            names.append(self.cstring(name_rva))
            rva += 20
            size -= 20
        rva, size = self.directory(DIR_DELAY_IMPORT)
        while rva and size >= 32:
            name_rva = struct.unpack("<II", self.read(rva, 8))[1]
            if name_rva == 0:
                break
            names.append(self.cstring(name_rva))
            rva += 32
            size -= 32
        return names

    def resources(self):
        """{(type, name): {language: (rva, bytes)}}; types and names are ints or strings."""
        base, size = self.directory(DIR_RESOURCE)
        if not base:
            return {}
        found = {}

        def entries(offset, depth):
            if depth > 3:
                raise BadFile("resource directory nested too deeply")
            named, ids = struct.unpack("<HH", self.read(base + offset + 12, 4))
            for i in range(named + ids):
                name, target = struct.unpack("<II", self.read(base + offset + 16 + 8 * i, 8))
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack("<H", self.read(at, 2))[0]
                    name = self.read(at + 2, 2 * length).decode("utf-16-le")
                yield name, target

        for rtype, t in entries(0, 1):
            if not t & 0x80000000:
                raise BadFile("resource type %r is not a directory" % (rtype,))
            for name, n in entries(t & 0x7FFFFFFF, 2):
                if not n & 0x80000000:
                    raise BadFile("resource %r/%r is not a directory" % (rtype, name))
                for lang, leaf in entries(n & 0x7FFFFFFF, 3):
                    if leaf & 0x80000000:
                        raise BadFile("resource %r/%r/%r is not data" % (rtype, name, lang))
                    data_rva, data_size = struct.unpack("<II", self.read(base + leaf, 8))
                    found.setdefault((rtype, name), {})[lang] = (data_rva, self.read(data_rva, data_size))
        return found


def utf16z(data, at):
    """A NUL-terminated UTF-16 string at `at`: (text, offset after the NUL)."""
    end = at
    while end + 1 < len(data) and data[end:end + 2] != b"\0\0":
        end += 2
    if end + 1 >= len(data):
        raise BadFile("unterminated UTF-16 string")
    return data[at:end].decode("utf-16-le"), end + 2


def sz_or_ord(data, at):
    """A dialog template's name-or-ordinal field: (int, str or None, offset after it)."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    return utf16z(data, at)


def parse_dialog(data):
    """(caption, {control id: class name}) of a DIALOGEX template."""
    version, signature = struct.unpack_from("<HH", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise BadFile("not an extended dialog template")
    style, count = struct.unpack_from("<IH", data, 12)
    _, at = sz_or_ord(data, 26)  # menu
    _, at = sz_or_ord(data, at)  # window class
    caption, at = utf16z(data, at)
    if style & 0x40:  # DS_SETFONT: point size, weight, italic, character set, face name
        _, at = utf16z(data, at + 6)
    controls = {}
    for _ in range(count):
        at = (at + 3) & ~3
        control_id = struct.unpack_from("<I", data, at + 20)[0]
        cls, at = sz_or_ord(data, at + 24)
        _, at = sz_or_ord(data, at)  # title
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        controls[control_id] = CONTROL_CLASSES.get(cls, cls) if isinstance(cls, int) else cls
    return caption, controls


def parse_version_node(data, at):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, at)
    end = at + length
    if length < 6 or end > len(data):
        raise BadFile("version information node runs past its resource")
    key, pos = utf16z(data, at + 6)
    pos = (pos + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[pos:min(pos + value_size, end)]
    pos = (pos + value_size + 3) & ~3
    children = []
    while pos < end:
        child = parse_version_node(data, pos)
        children.append(child[:3])
        pos = (child[3] + 3) & ~3
    return key, value, children, end


def check_version(data, problems):
    key, value, children, _ = parse_version_node(data, 0)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        problems.append("version resource: no VS_VERSION_INFO with fixed file information")
        return "?"
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, file_os,
     file_type) = struct.unpack_from("<IIIIIIIIII", value, 0)
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    if signature != VS_FFI_SIGNATURE:
        problems.append("version resource: bad fixed file information signature 0x%X" % signature)
    for what, got in (("file", split(file_ms, file_ls)), ("product", split(product_ms, product_ls))):
        if got != VERSION:
            problems.append("version resource: %s version %s, want %s"
                            % (what, ".".join(map(str, got)), ".".join(map(str, VERSION))))
    if file_type != VFT_APP or file_os != VOS_NT_WINDOWS32:
        problems.append("version resource: file type %d, OS 0x%X: want an application for 32-bit Windows NT"
                        % (file_type, file_os))
    strings = {}
    for child_key, _, tables in children:
        if child_key == "StringFileInfo":
            for _, _, entries in tables:
                for name, text, _ in entries:
                    strings[name] = text.decode("utf-16-le").split("\0")[0]
    for name, want in VERSION_STRINGS.items():
        if strings.get(name) != want:
            problems.append("version resource: %s is %r, want %r" % (name, strings.get(name), want))
    return ".".join(map(str, split(file_ms, file_ls)))


def check_icons(resources, problems):
    group = resources.get((RT_GROUP_ICON, ICON_GROUP))
    if not group:
        problems.append("icon group %d is missing" % ICON_GROUP)
        return 0
    data = next(iter(group.values()))[1]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1 or len(data) < 6 + 14 * count:
        problems.append("icon group %d: not an icon directory" % ICON_GROUP)
        return 0
    seen = set()
    for i in range(count):
        width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        width, height = width or 256, height or 256
        image = resources.get((RT_ICON, icon_id))
        if not image:
            problems.append("icon group %d: image %d is missing" % (ICON_GROUP, icon_id))
            continue
        pixels = next(iter(image.values()))[1]
        if len(pixels) != size:
            problems.append("icon %d: %d bytes, the group says %d" % (icon_id, len(pixels), size))
        if pixels[:8] == b"\x89PNG\r\n\x1a\n" and len(pixels) >= 26:
            real = struct.unpack(">II", pixels[16:24]) + (pixels[24] * (4 if pixels[25] == 6 else 3 if pixels[25] == 2 else 1),)
        elif len(pixels) >= 40 and struct.unpack_from("<I", pixels, 0)[0] == 40:
            w, h, _, b = struct.unpack_from("<iiHH", pixels, 4)
            real = (w, h // 2, b)  # the height counts the colour and the mask bitmaps
        else:
            problems.append("icon %d: neither a bitmap nor a PNG image" % icon_id)
            continue
        if real[:2] != (width, height) or (bits and bits != real[2]):
            problems.append("icon %d: %dx%d, %d bits; the group says %dx%d, %d bits"
                            % (icon_id, real[0], real[1], real[2], width, height, bits))
        seen.add((real[0], real[2]) if real[0] == real[1] else real)
    if seen != ICON_IMAGES or count != len(ICON_IMAGES):
        fmt = lambda images: ", ".join("%dpx/%d-bit" % i for i in sorted(images, reverse=True))
        problems.append("icon group %d: %d images (%s), want %d (%s)"
                        % (ICON_GROUP, count, fmt(seen), len(ICON_IMAGES), fmt(ICON_IMAGES)))
    return count


def check_manifest(data, problems):
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        problems.append("manifest: not well-formed XML (%s)" % e)
        return
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        problems.append("manifest: the root is %s, want an assembly of manifest version 1.0" % root.tag)
    identity = root.find(ASM_V1 + "assemblyIdentity")
    if identity is None or identity.get("version") != ".".join(map(str, VERSION)):
        problems.append("manifest: assemblyIdentity version %r, want %s"
                        % (None if identity is None else identity.get("version"), ".".join(map(str, VERSION))))
    # A dependent assembly (common controls 6, a run-time) that a plain system may lack would
    # keep the program from starting at all.
    if root.find(".//" + ASM_V1 + "dependentAssembly") is not None:
        problems.append("manifest: names a dependent assembly")
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        problems.append("manifest: requested execution level %r, want 'asInvoker' (no elevation prompt)" % levels)


def check(path, bits, console=False):
    """(problems, summary lines) for the file at `path` built for `bits`-bit Windows; with
    `console`, a command-line program without resources of its own."""
    problems = []
    with open(path, "rb") as f:
        data = f.read()
    image = PeImage(data)

    machine, magic, machine_name = MACHINES[bits]
    if image.machine != machine or image.magic != magic:
        problems.append("machine 0x%X with optional header 0x%X, want %s (0x%X, 0x%X)"
                        % (image.machine, image.magic, machine_name, machine, magic))
    if not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE or image.characteristics & IMAGE_FILE_DLL:
        problems.append("not marked as an executable program (characteristics 0x%X)" % image.characteristics)
    subsystem, subsystem_name = ((IMAGE_SUBSYSTEM_WINDOWS_CUI, "console") if console
                                 else (IMAGE_SUBSYSTEM_WINDOWS_GUI, "Windows GUI"))
    if image.subsystem != subsystem:
        problems.append("subsystem %d, want %d (%s)" % (image.subsystem, subsystem, subsystem_name))
    if not image.characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE:
        problems.append("not large-address-aware (characteristics 0x%X): a 32-bit program would get 2 GiB, not 4"
                        % image.characteristics)
    version = lambda v: "%d.%d" % v
    for what, got in (("OS", image.os_version), ("subsystem", image.subsystem_version)):
        if got != MIN_WINDOWS:
            problems.append("declares %s version %s, want %s" % (what, version(got), version(MIN_WINDOWS)))

    wanted = ["DYNAMIC_BASE", "NX_COMPAT"] + (["HIGH_ENTROPY_VA"] if bits == 64 else [])
    flags = [n for n in wanted if image.dll_characteristics & DLL_CHARACTERISTICS[n]]
    for name in wanted:
        if name not in flags:
            problems.append("%s is not set (DllCharacteristics 0x%X)" % (name, image.dll_characteristics))
    # Without relocations the loader cannot move the image, whatever DYNAMIC_BASE says.
    if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED or not image.directory(DIR_BASERELOC)[1]:
        problems.append("no base relocations: the image cannot be moved (no ASLR)")

    dlls = image.imports()
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
    if foreign:
        problems.append("imports DLLs that are not part of Windows: %s" % ", ".join(foreign))
    if not dlls:
        problems.append("imports no DLL at all")

    summary = [
        "%s, %s, declares Windows %s (OS) and %s (subsystem)"
        % (machine_name, subsystem_name, version(image.os_version), version(image.subsystem_version)),
        "flags: %s%s; relocations: %d bytes"
        % (" ".join(flags) or "none",
           " LARGE_ADDRESS_AWARE" if image.characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE else "",
           image.directory(DIR_BASERELOC)[1]),
        "imports: %s" % ", ".join(dlls),
    ]
    if console:
        return problems, summary

    resources = image.resources()
    for dialog_id, (caption, controls) in DIALOGS.items():
        template = resources.get((RT_DIALOG, dialog_id))
        if not template:
            problems.append("dialog %d is missing" % dialog_id)
            continue
        got_caption, got_controls = parse_dialog(next(iter(template.values()))[1])
        if got_caption != caption:
            problems.append("dialog %d: caption %r, want %r" % (dialog_id, got_caption, caption))
        for control_id, cls in controls.items():
            if got_controls.get(control_id, "").lower() != cls.lower():
                problems.append("dialog %d: control %d is %r, want a %s"
                                % (dialog_id, control_id, got_controls.get(control_id), cls))
    for string_id, text in STRINGS.items():
        block = resources.get((RT_STRING, (string_id >> 4) + 1))
        got = None
        if block:
            data_block, at = next(iter(block.values()))[1], 0
            for index in range(16):
                length = struct.unpack_from("<H", data_block, at)[0]
                if index == string_id & 15:
                    got = data_block[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                at += 2 + 2 * length
        if got != text:
            problems.append("string %d is %r, want %r" % (string_id, got, text))
    icons = check_icons(resources, problems)
    version_text = "?"
    version_resource = resources.get((RT_VERSION, 1))
    if version_resource:
        version_text = check_version(next(iter(version_resource.values()))[1], problems)
    else:
        problems.append("version resource 1 is missing")
    manifest = resources.get((RT_MANIFEST, MANIFEST_ID))
    if manifest:
        check_manifest(next(iter(manifest.values()))[1], problems)
    else:
        problems.append("manifest %d is missing" % MANIFEST_ID)

    summary += [
        "resources: dialogs %s, strings %s, icon group %d with %d images, version %s, manifest %d"
        % (" ".join(str(d) for d in DIALOGS if (RT_DIALOG, d) in resources),
           " ".join(str(s) for s in STRINGS), ICON_GROUP, icons, version_text, MANIFEST_ID),
    ]
    return problems, summary


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--console", action="store_true", help="a command-line program (olvtool.exe)")
    parser.add_argument("file")
    args = parser.parse_args(argv)
    try:
        problems, summary = check(args.file, args.bits, args.console)
    except (OSError, BadFile, struct.error, UnicodeDecodeError) as e:
        print("%s: FAILED: cannot read it as a Windows program: %s" % (args.file, e))
        return 1
    for line in summary:
        print("%s: %s" % (args.file, line))
    for problem in problems:
        print("%s: FAILED: %s" % (args.file, problem))
    if problems:
        return 1
    print("%s: OK" % args.file)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

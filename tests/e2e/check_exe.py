#!/usr/bin/python3
"""Checks of the built KRVLUP.EXE as a file.

    check_exe.py imports EXE
        PE32 for i386, GUI subsystem, and only Windows system DLLs imported:
        the language runtime is linked in, never loaded beside it.
    check_exe.py resources EXE
        Exactly three resources, all language-neutral: icon 1 (32x32, 8 bits
        per pixel), icon group 100 holding it, version 1 with its fixed part,
        its string table 041103A4 and its translation. No manifest.
    check_exe.py reproducible EXE --source DIR --work DIR
        Copies the sources to another folder, builds the executable there
        from scratch, and compares the bytes with EXE.

Uses Debian's python3-pefile and icoutils' wrestool.
"""

import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
               "ole32.dll", "comctl32.dll", "shlwapi.dll", "msvcrt.dll"}

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16

EXPECTED_STRINGS = {
    "FileDescription": "Korvalinth Update",
    "FileVersion": "1.00",
    "InternalName": "KRVLUP.EXE",
    "OriginalFilename": "KRVLUP.EXE",
    "ProductName": "Korvalinth",
    "ProductVersion": "1.00",
}


class Failures:
    def __init__(self):
        self.lines = []

    def check(self, condition, message):
        if not condition:
            self.lines.append(message)

    def report(self, what):
        if self.lines:
            print("FAIL %s:\n  %s" % (what, "\n  ".join(self.lines)))
            return 1
        print("PASS " + what)
        return 0


def check_imports(exe):
    pe = pefile.PE(exe)
    f = Failures()
    f.check(pe.FILE_HEADER.Machine == 0x14C, "machine 0x%x, not i386" % pe.FILE_HEADER.Machine)
    f.check(pe.OPTIONAL_HEADER.Magic == 0x10B, "not PE32")
    f.check(pe.OPTIONAL_HEADER.Subsystem == 2,
            "subsystem %d, not Windows GUI (2)" % pe.OPTIONAL_HEADER.Subsystem)
    dlls = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    print("imports: " + ", ".join(dlls))
    for dll in dlls:
        f.check(dll in SYSTEM_DLLS, "imports %s, which is not a Windows system DLL" % dll)
    for needed in ("kernel32.dll", "user32.dll"):
        f.check(needed in dlls, "does not import %s" % needed)
    return f.report("imports of " + exe)


def _resources(pe):
    found = []
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                found.append((rtype.id, name.id, lang.id, data))
    return found


def check_resources(exe):
    f = Failures()
    listing = subprocess.run(["wrestool", "-l", exe], stdout=subprocess.PIPE, check=True,
                             universal_newlines=True).stdout
    print(listing, end="")
    listed = sorted(re.findall(r"--type=(\d+) --name=(\d+) --language=(\d+)", listing))
    f.check(listed == [("14", "100", "0"), ("16", "1", "0"), ("3", "1", "0")],
            "wrestool lists %s, expected icon 1, icon group 100 and version 1, language 0"
            % listed)
    f.check(len(listing.strip().splitlines()) == 3, "wrestool lists %d lines, expected 3"
            % len(listing.strip().splitlines()))

    pe = pefile.PE(exe)
    resources = {(t, n, l): data for t, n, l, data in _resources(pe)}
    icon = resources.get((RT_ICON, 1, 0))
    f.check(icon is not None, "no language-neutral icon 1")
    if icon is not None:
        size, width, height, planes, bits = struct.unpack_from("<IiiHH", icon)
        f.check((size, width, height, bits) == (40, 32, 64, 8),
                "icon 1 is %dx%d at %d bits per pixel, expected 32x32 at 8"
                % (width, height // 2, bits))
    group = resources.get((RT_GROUP_ICON, 100, 0))
    f.check(group is not None, "no language-neutral icon group 100")
    if group is not None:
        reserved, kind, count = struct.unpack_from("<HHH", group)
        f.check(count == 1, "icon group 100 has %d images, expected 1" % count)
        if count >= 1:
            w, h, colours, _, planes, bits, nbytes, ident = struct.unpack_from("<BBBBHHIH", group, 6)
            f.check((w, h, bits, ident) == (32, 32, 8, 1),
                    "icon group 100 holds %dx%d %d bpp as icon %d, expected 32x32 8 bpp icon 1"
                    % (w, h, bits, ident))
    f.check((RT_VERSION, 1, 0) in resources, "no language-neutral version resource 1")

    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    f.check(fixed is not None, "no fixed version information")
    if fixed is not None:
        got = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
               fixed.ProductVersionLS, fixed.FileFlags, fixed.FileOS, fixed.FileType)
        f.check(got == (0x10000, 0, 0x10000, 0, 0, 0x40004, 1),
                "fixed version information %s, expected file and product version 1.0.0.0, "
                "no flags, OS 0x40004, type 1" % [hex(v) for v in got])
    tables, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables[table.LangID.decode()] = {k.decode(): v.decode()
                                                 for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry.get(b"Translation"))
    f.check(list(tables) == ["041103A4"], "string tables %s, expected 041103A4" % list(tables))
    strings = tables.get("041103A4", {})
    for key, value in EXPECTED_STRINGS.items():
        f.check(strings.get(key) == value,
                "%s is %r, expected %r" % (key, strings.get(key), value))
    f.check(translations == ["0x0411 0x03a4"],
            "translation %s, expected 0x0411 0x03a4" % translations)
    return f.report("resources of " + exe)


def _sha256(path):
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read()).hexdigest()


def check_reproducible(exe, source, work):
    windows_dir = os.path.dirname(os.path.abspath(exe))
    build_type = ""
    cache = os.path.join(windows_dir, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as fh:
            m = re.search(r"^CMAKE_BUILD_TYPE:\w+=(.*)$", fh.read(), re.M)
            build_type = m.group(1) if m else ""
    if os.path.exists(work):
        shutil.rmtree(work)
    copy = os.path.join(work, "elsewhere", "src")
    build = os.path.join(work, "another", "build")
    print("copying the sources to " + copy, flush=True)
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns(".git", "build", "build-*"))
    print("building the executable from scratch in " + build, flush=True)
    subprocess.run(["cmake", "-S", copy, "-B", build, "-DCMAKE_BUILD_TYPE=" + build_type,
                    "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(copy, "cmake", "mingw-i686.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "korvalup_exe", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    second = os.path.join(build, "KRVLUP.EXE")
    first_hash, second_hash = _sha256(exe), _sha256(second)
    print("%s  %s (%d bytes)" % (first_hash, exe, os.path.getsize(exe)))
    print("%s  %s (%d bytes)" % (second_hash, second, os.path.getsize(second)))
    f = Failures()
    f.check(first_hash == second_hash, "the two builds differ")
    result = f.report("reproducible build of " + exe)
    if result == 0:
        shutil.rmtree(work)
    return result


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("check", choices=["imports", "resources", "reproducible"])
    parser.add_argument("exe")
    parser.add_argument("--source")
    parser.add_argument("--work")
    args = parser.parse_args(argv[1:])
    if args.check == "imports":
        return check_imports(args.exe)
    if args.check == "resources":
        return check_resources(args.exe)
    if not args.source or not args.work:
        parser.error("reproducible needs --source and --work")
    return check_reproducible(args.exe, os.path.abspath(args.source), os.path.abspath(args.work))


if __name__ == "__main__":
    sys.exit(main(sys.argv))

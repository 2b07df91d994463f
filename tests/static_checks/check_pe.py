#!/usr/bin/env python3
"""Checks the shipped files: PE32 for i386 (or PE32+ for x86-64 with --arch x86_64), the
programs GUI-subsystem and importing only Windows system DLLs (and with --max-size no
larger than that many bytes), the library exporting its four names undecorated.

usage: check_pe.py [--arch i686|x86_64] [--max-size BYTES] program EXE... --library DLL [--lacks NAME] ...
Each --library may be followed by --lacks NAME for a variant built without that export."""
import struct
import sys

SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "winmm.dll", "advapi32.dll",
    "shell32.dll", "comctl32.dll", "ole32.dll", "oleaut32.dll", "ntdll.dll", "msimg32.dll",
}
EXPORTS = {"SetCallBack", "IsAimp", "IsData", "GetData"}
GUI_SUBSYSTEM = 2
# Machine and optional-header magic of each build.
ARCHES = {"i686": (0x14C, 0x10B, "i386", "PE32"), "x86_64": (0x8664, 0x20B, "x86-64", "PE32+")}


class PeError(Exception):
    pass


class Pe:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if len(d) < 64 or d[:2] != b"MZ":
            raise PeError("not an MZ/PE image")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if pe + 24 > len(d) or d[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, nsections, _, _, _, opt_size, self.characteristics = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic not in (0x10B, 0x20B):
            raise PeError("optional header magic 0x%x, neither PE32 nor PE32+" % self.magic)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        dirs_at = opt + (92 if self.magic == 0x10B else 108)  # PE32+ has 8-byte stack and heap sizes
        ndirs = struct.unpack_from("<I", d, dirs_at)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs_at + 4 + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, sec + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise PeError("rva 0x%x outside every section" % rva)

    def cstr(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii", "replace")

    def imports(self):
        rva, size = self.dirs[1] if len(self.dirs) > 1 else (0, 0)
        names = []
        if not rva:
            return names
        o = self.offset(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from("<IIIII", self.data, o)
            if not (ilt or name or iat):
                return names
            names.append(self.cstr(name))
            o += 20

    def exports(self):
        rva, size = self.dirs[0] if self.dirs else (0, 0)
        if not rva:
            return set()
        o = self.offset(rva)
        nnames, _, names_rva = struct.unpack_from("<III", self.data, o + 24)[0], None, struct.unpack_from("<I", self.data, o + 32)[0]
        return {self.cstr(struct.unpack_from("<I", self.data, self.offset(names_rva) + 4 * i)[0]) for i in range(nnames)}


def check_common(pe, arch, problems):
    machine, magic, machine_name, format_name = ARCHES[arch]
    if pe.machine != machine:
        problems.append("machine 0x%x, not %s (0x%x)" % (pe.machine, machine_name, machine))
    if pe.magic != magic:
        problems.append("optional header magic 0x%x, not %s (0x%x)" % (pe.magic, format_name, magic))
    foreign = [n for n in pe.imports() if n.lower() not in SYSTEM_DLLS]
    if foreign:
        problems.append("imports non-system DLLs: " + ", ".join(foreign))


def main(argv):
    failures = 0
    mode, arch, max_size = None, "i686", None
    jobs = []
    for arg in argv:
        if mode == "--arch":
            if arg not in ARCHES:
                print("unknown --arch %s" % arg)
                return 2
            arch, mode = arg, None
            continue
        if mode == "--max-size":
            if not arg.isdigit():
                print("--max-size takes a number of bytes, not %s" % arg)
                return 2
            max_size, mode = int(arg), None
            continue
        if arg in ("program", "--library", "--lacks", "--arch", "--max-size"):
            mode = arg
            continue
        if mode == "program":
            jobs.append(("program", arg, set()))
        elif mode == "--library":
            jobs.append(("library", arg, set()))
        elif mode == "--lacks":
            jobs[-1][2].add(arg)
    for kind, path, lacking in jobs:
        problems = []
        try:
            pe = Pe(path)
            check_common(pe, arch, problems)
            if kind == "program":
                if pe.subsystem != GUI_SUBSYSTEM:
                    problems.append("subsystem %d, not GUI (2)" % pe.subsystem)
                if pe.characteristics & 0x2000:
                    problems.append("is a DLL, not a program")
                if max_size is not None and len(pe.data) > max_size:
                    problems.append("%d bytes, over the limit of %d" % (len(pe.data), max_size))
            else:
                if not pe.characteristics & 0x2000:
                    problems.append("not a DLL")
                exports = pe.exports()
                decorated = sorted(n for n in exports if "@" in n or n.startswith("_"))
                if decorated:
                    problems.append("decorated exports: " + ", ".join(decorated))
                want = EXPORTS - lacking
                if exports != want:
                    problems.append("exports %s, want %s" % (sorted(exports), sorted(want)))
        except (OSError, PeError, struct.error, ValueError) as e:
            problems.append(str(e))
        status = "ok" if not problems else "FAIL: " + "; ".join(problems)
        print("%-60s %s" % (path, status))
        failures += bool(problems)
    print("%d passed, %d failed" % (len(jobs) - failures, failures))
    return 1 if failures or not jobs else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

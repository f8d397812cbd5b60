#!/usr/bin/python3
"""Reads a PE file the way the loader does and checks what the release package promises.

  pecheck.py timestamp FILE     prints the header's time stamp (seconds)
  pecheck.py installer FILE SYMBOLS
                                checks install.exe: no symbols, debug sections or debug link, its
                                section table (printed; none both writable and executable), what
                                Windows reads before its first line runs (the whole manifest, the
                                DLL characteristics, the data directories inside sections, an
                                import table of KnownDLLs only), unwind data for every function
                                named in SYMBOLS (its separate symbols file, which must describe
                                this image), dialog 101 and the version resource; one "ok"/"FAIL"
                                line each
Exit status 0 when every check passed.
"""
import collections
import struct
import sys
import xml.etree.ElementTree as ET

RT_DIALOG, RT_VERSION, RT_MANIFEST = 5, 16, 24
DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_BASERELOC, DIR_IAT, DIR_DELAY_IMPORT = 1, 2, 3, 5, 12, 13
# The directories the loader or stack walks follow in install.exe; each must lie in the file's
# data of one section that is not executable.
DIRECTORIES = (("Import", DIR_IMPORT), ("IAT", DIR_IAT), ("Exception", DIR_EXCEPTION),
               ("Resource", DIR_RESOURCE), ("BaseReloc", DIR_BASERELOC))
# IMAGE_SCN_MEM_*: what the loader maps a section as.
SCN_EXECUTE, SCN_READ, SCN_WRITE = 0x20000000, 0x40000000, 0x80000000
# IMAGE_DLLCHARACTERISTICS_*: HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE.
DLL_CHARACTERISTICS = (("high-entropy ASLR", 0x0020), ("dynamic base", 0x0040), ("NX compatible", 0x0100),
                       ("terminal-server aware", 0x8000))
# DLLs Windows maps from its KnownDLLs list, never from the program's folder.
KNOWN_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


Section = collections.namedtuple("Section", "name va vsize rptr rsize flags")


def access(flags):
    return "".join(c if flags & bit else "-" for c, bit in (("R", SCN_READ), ("W", SCN_WRITE), ("X", SCN_EXECUTE)))


class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, nsec, self.timestamp, self.symtab, self.nsyms, optsize,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        self.pe32plus = magic == 0x20B
        self.entry = struct.unpack_from("<I", d, opt + 16)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        dirs = opt + (112 if self.pe32plus else 96)
        ndirs = struct.unpack_from("<I", d, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(ndirs)]
        self.sections = []
        strtab = self.symtab + 18 * self.nsyms if self.symtab else 0
        for i in range(nsec):
            off = opt + optsize + 40 * i
            raw_name = d[off:off + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, rsize, rptr = struct.unpack_from("<IIII", d, off + 8)
            flags = struct.unpack_from("<I", d, off + 36)[0]
            name = raw_name
            if raw_name.startswith("/") and strtab:
                start = strtab + int(raw_name[1:])
                name = d[start:d.index(b"\0", start)].decode("ascii", "replace")
            self.sections.append(Section(name, va, vsize, rptr, rsize, flags))

    def offset(self, rva):
        for s in self.sections:
            if s.va <= rva < s.va + max(s.vsize, s.rsize):
                return s.rptr + rva - s.va
        raise ValueError("RVA 0x%x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace")

    def directory(self, index):
        return self.dirs[index] if len(self.dirs) > index else (0, 0)

    def imported_dlls(self):
        rva, _ = self.directory(DIR_IMPORT)
        names = []
        while rva:
            lookup, _, _, name, iat = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not (lookup or name or iat):
                break
            names.append(self.cstring(name))
            rva += 20
        return names

    def runtime_functions(self):
        """The .pdata entries: (begin, end, unwind info) RVAs."""
        rva, size = self.directory(DIR_EXCEPTION)
        if not rva:
            return []
        at = self.offset(rva)
        return [struct.unpack_from("<III", self.data, at + 12 * i) for i in range(size // 12)]

    def function_symbols(self):
        """{name: RVA} of the COFF symbols typed as functions (a symbols file keeps them)."""
        d = self.data
        strtab = self.symtab + 18 * self.nsyms
        found = {}
        i = 0
        while i < self.nsyms:
            at = self.symtab + 18 * i
            raw = d[at:at + 8]
            if raw[:4] == b"\0\0\0\0":
                start = strtab + struct.unpack_from("<I", raw, 4)[0]
                raw = d[start:d.index(b"\0", start)]
            value, section, kind, _, naux = struct.unpack_from("<IhHBB", d, at + 8)
            if kind == 0x20 and section > 0:  # DT_FCN
                found[raw.rstrip(b"\0").decode("ascii", "replace")] = self.sections[section - 1].va + value
            i += 1 + naux
        return found

    def section_holding(self, rva, size):
        """The section whose data in the file holds [rva, rva + size), or None."""
        for s in self.sections:
            if s.va <= rva and rva + size <= s.va + min(s.vsize, s.rsize):
                return s
        return None

    def layout(self):
        """What a symbols file split off this image shares with it: entry point, time stamp and
        the loaded sections' names, addresses and sizes."""
        loaded = [(s.name, s.va, s.vsize) for s in self.sections
                  if not s.name.startswith((".debug", ".zdebug", ".gnu_debuglink"))]
        return self.entry, self.timestamp, loaded

    def resources(self):
        """{(type, name, language): bytes}; names are ids or strings."""
        if len(self.dirs) <= 2 or self.dirs[2][0] == 0:
            return {}
        base = self.offset(self.dirs[2][0])
        d = self.data
        found = {}

        def entries(table):
            named, ids = struct.unpack_from("<HH", d, base + table + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", d, base + table + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", d, at)[0]
                    key = d[at + 2:at + 2 + 2 * n].decode("utf-16-le")
                yield key, target

        for rtype, t1 in entries(0):
            for rname, t2 in entries(t1 & 0x7FFFFFFF):
                for lang, leaf in entries(t2 & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", d, base + leaf)
                    at = self.offset(rva)
                    found[(rtype, rname, lang)] = d[at:at + size]
        return found


def sz_or_ord(data, at):
    """A dialog template's name field: (value, next offset)."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    end = at
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


# Predefined control classes may be named by atom or by (any-case) name.
CLASS_ATOMS = {0x80: "button", 0x81: "edit", 0x82: "static", 0x83: "listbox", 0x84: "scrollbar", 0x85: "combobox"}


def class_name(value):
    return CLASS_ATOMS.get(value, value) if isinstance(value, int) else value.lower()


def parse_dialogex(data):
    ver, sig, help_id, ex_style, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    if (ver, sig) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    at = 26
    menu, at = sz_or_ord(data, at)
    cls, at = sz_or_ord(data, at)
    title, at = sz_or_ord(data, at)
    dlg = dict(style=style, ex_style=ex_style, rect=(x, y, cx, cy), menu=menu, cls=cls, title=title, items=[])
    if style & 0x40:  # DS_SETFONT
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, at)
        face, at = sz_or_ord(data, at + 6)
        dlg["font"] = (face, points, weight, italic, charset)
    for _ in range(count):
        at = (at + 3) & ~3
        i_help, i_ex, i_style, ix, iy, icx, icy, iid = struct.unpack_from("<IIIhhhhI", data, at)
        icls, at = sz_or_ord(data, at + 24)
        itext, at = sz_or_ord(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        dlg["items"].append(dict(id=iid, cls=class_name(icls), text=itext, style=i_style, ex_style=i_ex,
                                 rect=(ix, iy, icx, icy)))
    return dlg


def parse_version(data):
    """(fixed file info tuple, {string name: value})."""
    strings = {}
    fixed = None

    def block(at, end):
        nonlocal fixed
        length, value_len, kind = struct.unpack_from("<HHH", data, at)
        stop = at + length
        key_end = at + 6
        while struct.unpack_from("<H", data, key_end)[0] != 0:
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        val_at = (key_end + 2 + 3) & ~3
        if key == "VS_VERSION_INFO" and value_len >= 52:
            fixed = struct.unpack_from("<13I", data, val_at)
        elif kind == 1 and value_len:  # a string value inside a string table
            text = data[val_at:val_at + 2 * value_len].decode("utf-16-le").rstrip("\0")
            strings[key] = text
        child = (val_at + (value_len * (2 if kind == 1 else 1)) + 3) & ~3
        if key in ("VS_VERSION_INFO", "StringFileInfo") or (len(key) == 8 and all(c in "0123456789abcdefABCDEF" for c in key)):
            while child < stop:
                child = block(child, stop)
        return (stop + 3) & ~3

    block(0, len(data))
    return fixed, strings


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, what, expected, actual):
        if expected == actual:
            print("ok   %s: %s" % (what, fmt(actual)))
        else:
            print("FAIL %s: expected %s, got %s" % (what, fmt(expected), fmt(actual)))
            self.failed += 1


def fmt(v):
    return "0x%08X" % v if isinstance(v, int) and v > 0xFFFF else repr(v)


def check_manifest(c, manifest):
    """Every element Windows reads from the manifest, each with all of its attributes."""
    root = ET.fromstring(manifest.decode("utf-8"))
    c.expect("manifest root", (ASM_V1 + "assembly", {"manifestVersion": "1.0"}), (root.tag, root.attrib))

    def elements(path):
        return [(e.attrib, (e.text or "").strip()) for e in root.findall(path)]

    c.expect("manifest identity", [({"name": "Quillgraph.Install", "version": "1.0.0.0", "type": "win32",
                                     "processorArchitecture": "*"}, "")], elements(ASM_V1 + "assemblyIdentity"))
    c.expect("manifest description", [({}, "File viewer/translator")], elements(ASM_V1 + "description"))
    # Without this exact identity (key token included) Windows refuses to start the program with a
    # side-by-side error, while Wine accepts it.
    c.expect("manifest Common-Controls dependency",
             [({"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}, "")],
             elements("%sdependency/%sdependentAssembly/%sassemblyIdentity" % (ASM_V1, ASM_V1, ASM_V1)))
    level = "%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel" % ((ASM_V3,) * 4)
    levels = elements(level)
    c.expect("manifest execution level and uiAccess",
             [({"level": "requireAdministrator", "uiAccess": "false"}, "")], levels)
    # The same element anywhere else is not read: it must not stand somewhere it looks read.
    c.expect("requestedExecutionLevel elements", 1,
             len([e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]))


def check_loader_view(c, pe, symbols_path):
    """What the loader and crash reporting rely on: flags, imports, unwind data, symbols."""
    for what, flag in DLL_CHARACTERISTICS:
        c.expect("DLL characteristics: " + what, True, bool(pe.dll_characteristics & flag))
    c.expect("relocations present (dynamic base)", True, pe.directory(DIR_BASERELOC)[0] != 0)
    dlls = pe.imported_dlls()
    c.expect("imports only KnownDLLs " + "/".join(sorted(KNOWN_DLLS)), [],
             [d for d in dlls if d.lower() not in KNOWN_DLLS])
    c.expect("delayed imports", 0, pe.directory(DIR_DELAY_IMPORT)[0])
    print("     imports: %s" % " ".join(dlls))

    functions = pe.runtime_functions()
    c.expect(".pdata present", True, len(functions) > 0)
    c.expect("entry point has unwind data", True, any(b <= pe.entry < e for b, e, _ in functions))
    try:
        symbols = Pe(symbols_path)
    except OSError as e:
        c.expect("separate symbols readable", True, str(e))
        return
    # No debug link names the symbols file: it must be the one split off this very link.
    c.expect("separate symbols describe this image (entry, time stamp, sections)", pe.layout(), symbols.layout())
    named = symbols.function_symbols()
    uncovered = sorted(n for n, rva in named.items() if not any(b <= rva < e for b, e, _ in functions))
    c.expect("functions in the symbols", True, len(named) > 0)
    shown = uncovered[:10] + (["... %d in all" % len(uncovered)] if len(uncovered) > 10 else [])
    c.expect("functions without unwind data", [], shown)
    print("     %d .pdata entries; %d functions named in the symbols, %d of them without unwind data"
          % (len(functions), len(named), len(uncovered)))


def check_sections(c, pe):
    """The section table as the loader maps it, and where the data directories point."""
    for s in pe.sections:
        print("     section %-8s raw %6d  virtual %6d  flags 0x%08X %s" % (s.name, s.rsize, s.vsize, s.flags, access(s.flags)))
    c.expect("sections both writable and executable", [],
             [s.name for s in pe.sections if s.flags & SCN_WRITE and s.flags & SCN_EXECUTE])
    for what, index in DIRECTORIES:
        rva, size = pe.directory(index)
        s = pe.section_holding(rva, size) if rva and size else None
        where = "0x%x+0x%x in %s" % (rva, size, s.name if s else "no section")
        c.expect("%s directory (%s) in a section's data, not executable" % (what, where), True,
                 s is not None and not s.flags & SCN_EXECUTE)


def check_installer(path, symbols_path):
    pe = Pe(path)
    c = Checks()
    # A debug link is a section of its own and, by its long name, a string table after the data.
    debug = [s.name for s in pe.sections if s.name.startswith((".debug", ".zdebug", ".gnu_debuglink"))]
    c.expect("debug sections and debug link", [], debug)
    c.expect("symbols", 0, pe.nsyms)
    c.expect("bytes after the last section's data", 0, len(pe.data) - max(s.rptr + s.rsize for s in pe.sections))
    check_sections(c, pe)
    check_loader_view(c, pe, symbols_path)
    res = pe.resources()

    manifest = res.get((RT_MANIFEST, 1, 1033))
    c.expect("manifest resource 1 (language 1033) present", True, manifest is not None)
    if manifest is not None:
        check_manifest(c, manifest)

    dialog = res.get((RT_DIALOG, 101, 1033))
    c.expect("dialog 101 (language 1033) present", True, dialog is not None)
    if dialog is not None:
        dlg = parse_dialogex(dialog)
        c.expect("dialog style", 0x80C808C8, dlg["style"])
        c.expect("dialog extended style", 0, dlg["ex_style"])
        c.expect("dialog rectangle", (0, 0, 451, 228), dlg["rect"])
        c.expect("dialog title", "", dlg["title"])
        c.expect("dialog font", ("MS Shell Dlg", 8, 400, 0, 1), dlg.get("font"))
        got = [(i["id"], i["cls"], i["text"], i["style"], i["ex_style"], i["rect"]) for i in dlg["items"]]
        # WS_CHILD|WS_VISIBLE|WS_TABSTOP|BS_DEFPUSHBUTTON; the edit adds WS_BORDER|WS_VSCROLL and
        # ES_MULTILINE|ES_AUTOVSCROLL|ES_AUTOHSCROLL|ES_READONLY.
        want = [(1, "button", "Close", 0x50010001, 0, (394, 207, 50, 14)),
                (1001, "edit", "", 0x50A108C4, 0, (7, 7, 437, 194))]
        c.expect("dialog controls", want, got)

    version = [v for k, v in res.items() if k[0] == RT_VERSION and k[1] == 1]
    c.expect("version resources", 1, len(version))
    if version:
        fixed, strings = parse_version(version[0])
        c.expect("VS_FIXEDFILEINFO present", True, fixed is not None)
        if fixed:
            c.expect("fixed signature", 0xFEEF04BD, fixed[0])
            c.expect("file version", (1, 0, 0, 2430), (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF))
            c.expect("product version", (1, 0, 0, 2430), (fixed[4] >> 16, fixed[4] & 0xFFFF, fixed[5] >> 16, fixed[5] & 0xFFFF))
            c.expect("file type (VFT_APP)", 1, fixed[9])
        for key, want in (("ProductVersion", "1.0.0.2430"), ("FileVersion", "1.0.0.2430"),
                          ("OriginalFilename", "install.exe"), ("ProductName", "Quillgraph")):
            c.expect("version string " + key, want, strings.get(key))
    return c.failed == 0


def main(argv):
    if len(argv) == 3 and argv[1] == "timestamp":
        print(Pe(argv[2]).timestamp)
        return 0
    if len(argv) == 4 and argv[1] == "installer":
        try:
            return 0 if check_installer(argv[2], argv[3]) else 1
        except (ValueError, struct.error, ET.ParseError) as e:
            print("FAIL %s cannot be read: %s" % (argv[2], e))
            return 1
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Checks a built QuorvelWaveForm.dll without running it: its machine, its export table (read
from the file and as objdump -p prints it), the DLLs it imports, its version resource, and,
for 32-bit builds, that the module's own code does its double arithmetic in SSE2 rather than
on the x87 stack.

Usage: check_dll.py DLL OBJDUMP i386|amd64
Prints one PASS or FAIL line per check and a final "N passed, M failed"; exits 1 on a failure.
"""

import re
import struct
import subprocess
import sys

EXPECTED_EXPORTS = [
    (1, "PlayWavWaveForm"),
    (2, "PlayWavWaveFormStop"),
    (3, "WaveRecordWaveForm"),
    (4, "WaveRecordWaveFormStop"),
]
EXPECTED_STRINGS = [
    ("CompanyName", ""),
    ("FileDescription", "QuorvelWaveForm DLL"),
    ("FileVersion", "1, 0, 0, 1"),
    ("InternalName", "QuorvelWaveForm"),
    ("LegalTrademarks", ""),
    ("OriginalFilename", "QuorvelWaveForm.DLL"),
    ("ProductName", "QuorvelWaveForm Dynamic Link Library"),
    ("ProductVersion", "1, 0, 0, 1"),
]
MACHINES = {"i386": 0x14C, "amd64": 0x8664}
RT_VERSION = 16
IMAGE_FILE_DLL = 0x2000
X87_MNEMONICS = re.compile(r"\s(f[a-z]+)\s")  # every x87 mnemonic starts with f


class Pe:
    """The parts of a PE image the checks need, read straight from the file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError("it is not a PE file (it does not start with MZ)")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe : pe + 4] != b"PE\0\0":
            raise ValueError(f"it has no PE signature at offset {pe:#x}")
        (self.machine, sections, _, _, _, optional_size, self.characteristics) = (
            struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        )
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.directories = [
            struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(16)
        ]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_pointer = struct.unpack_from(
                "<8sIIII", self.data, table + 40 * i
            )
            flags = struct.unpack_from("<I", self.data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(vsize, raw_size),
                                  raw_pointer, flags))

    def offset(self, rva):
        for _, start, size, raw, _ in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def executable(self, rva):
        return any(start <= rva < start + size and flags & 0x20000000
                   for _, start, size, _, flags in self.sections)

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def ascii(self, rva):
        start = self.offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        """(dll name, ordinal base, function count, [(ordinal, name, rva)])."""
        rva, _ = self.directories[0]
        if rva == 0:
            return None
        (name, base, functions, names, functions_rva, names_rva, ordinals_rva) = (
            struct.unpack_from("<IIIIIII", self.data, self.offset(rva) + 12)
        )
        entries = []
        for i in range(names):
            index = self.u16(ordinals_rva + 2 * i)
            entries.append((base + index, self.ascii(self.u32(names_rva + 4 * i)),
                            self.u32(functions_rva + 4 * index)))
        return self.ascii(name), base, functions, entries

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        while rva:
            name = self.u32(rva + 12)
            if name == 0:
                break
            names.append(self.ascii(name))
            rva += 20
        return names

    def resource_data(self, type_id):
        """The bytes of the first resource of the given type, and its language."""
        root, _ = self.directories[2]
        if root == 0:
            return None, None

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, self.offset(directory) + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data,
                                                 self.offset(directory) + 16 + 8 * i)
                yield key, target

        for key, target in entries(root):
            if key != type_id or not target & 0x80000000:
                continue
            for _, name_target in entries(root + (target & 0x7FFFFFFF)):
                for language, leaf in entries(root + (name_target & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", self.data, self.offset(root + leaf))
                    start = self.offset(data_rva)
                    return self.data[start : start + size], language
        return None, None


def version_node(data, at):
    """One VS_VERSIONINFO-style node: (key, wType, value bytes, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    key_end = at + 6
    while data[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6 : key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[value_at : value_at + value_bytes]
    children = []
    child = (value_at + value_bytes + 3) & ~3
    while child < at + length:
        node = version_node(data, child)
        children.append(node)
        child = (node[4] + 3) & ~3
    return key, kind, value, children, at + length


def objdump_exports(objdump, path):
    """The export table as objdump -p prints it: {ordinal: name} and the ordinal base."""
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout
    base_match = re.search(r"Export Address Table -- Ordinal Base (\d+)", text)
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    names = {}
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            match = re.match(r"\s+\[\s*(\d+)\]\s+(\S+)$", line)
            if not match:
                break
            names[int(match.group(1))] = match.group(2)
    base = int(base_match.group(1)) if base_match else None
    return base, {base + index: name for index, name in names.items()} if base else {}


def x87_in_module_code(objdump, path):
    """{function: [x87 mnemonics]} for the module's own functions (namespace qwf and the four
    entry points), and the names of the functions that were looked at."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                          capture_output=True, text=True).stdout
    found, seen, current = {}, [], None
    entry_points = {"_" + name for _, name in EXPECTED_EXPORTS}
    for line in text.splitlines():
        header = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if header:
            symbol = header.group(1)
            ours = "3qwf" in symbol or symbol in entry_points
            current = symbol if ours else None
            if ours:
                seen.append(symbol)
            continue
        if current:
            match = X87_MNEMONICS.search(line + " ")
            if match:
                found.setdefault(current, []).append(match.group(1))
    return found, seen


def run_checks(pe, path, objdump, machine, check):
    check(pe.machine == MACHINES[machine], f"machine is {machine}",
          f"the file's machine is {pe.machine:#x}")
    check(pe.characteristics & IMAGE_FILE_DLL != 0, "is marked as a DLL",
          f"characteristics {pe.characteristics:#x} lack IMAGE_FILE_DLL")

    exports = pe.exports()
    if exports is None:
        check(False, "has an export table", "there is none")
    else:
        dll_name, base, functions, entries = exports
        check(dll_name == "QuorvelWaveForm.dll", "export directory names QuorvelWaveForm.dll",
              f"it names {dll_name!r}")
        check(base == 1 and functions == 4, "exports ordinals 1-4 and no others",
              f"ordinal base {base}, {functions} functions")
        check([(o, n) for o, n, _ in entries] == EXPECTED_EXPORTS,
              "exports the four plain names with ordinals 1-4 in table order",
              f"the table holds {[(o, n) for o, n, _ in entries]}")
        check(all(pe.executable(rva) for _, _, rva in entries),
              "every export points into executable code",
              f"RVAs {[hex(rva) for _, _, rva in entries]}")
        dumped_base, dumped = objdump_exports(objdump, path)
        check(dumped_base == 1 and sorted(dumped.items()) == EXPECTED_EXPORTS,
              f"{objdump} -p shows the same export table",
              f"it shows base {dumped_base} and {sorted(dumped.items())}")

    imports = [name.lower() for name in pe.imports()]
    check("winmm.dll" in imports and "gdi32.dll" in imports, "imports winmm and gdi32",
          f"it imports {imports}")
    runtime = [name for name in imports if name.startswith("lib")]
    check(not runtime, "needs no compiler runtime DLL", f"it imports {runtime}")

    data, language = pe.resource_data(RT_VERSION)
    if data is None:
        check(False, "has a version resource", "there is no RT_VERSION resource")
    else:
        key, _, fixed, children, _ = version_node(data, 0)
        check(key == "VS_VERSION_INFO" and language == 0x409,
              "version resource VS_VERSION_INFO in language 0x409",
              f"key {key!r}, language {language:#x}")
        fields = struct.unpack_from("<13I", fixed) if len(fixed) == 52 else None
        check(fields is not None and fields[0] == 0xFEEF04BD, "fixed part is a VS_FIXEDFILEINFO",
              f"{len(fixed)} bytes, signature {fields[0] if fields else None}")
        if fields:
            versions = [fields[2] >> 16, fields[2] & 0xFFFF, fields[3] >> 16, fields[3] & 0xFFFF,
                        fields[4] >> 16, fields[4] & 0xFFFF, fields[5] >> 16, fields[5] & 0xFFFF]
            check(versions == [1, 0, 0, 1] * 2, "FILEVERSION and PRODUCTVERSION 1,0,0,1",
                  f"they are {versions}")
            check(fields[8] == 0x4 and fields[9] == 0x2, "FILEOS 0x4 and FILETYPE 0x2",
                  f"FILEOS {fields[8]:#x}, FILETYPE {fields[9]:#x}")
        by_key = {child[0]: child for child in children}
        string_info = by_key.get("StringFileInfo")
        tables = string_info[3] if string_info else []
        check([table[0] for table in tables] == ["040904B0"],
              "StringFileInfo holds the one block 040904B0",
              f"it holds {[table[0] for table in tables]}")
        if tables:
            strings = []
            for name, kind, value, _, _ in tables[0][3]:
                text = value.decode("utf-16-le")
                # A value carries its terminator; an empty one is just the terminator.
                strings.append((name, text[:-1] if text.endswith("\0") else text, kind))
            check([(n, v) for n, v, _ in strings] == EXPECTED_STRINGS,
                  "every string, the empty ones included, with its value in order",
                  f"the block holds {[(n, v) for n, v, _ in strings]}")
            check(all(kind == 1 for _, _, kind in strings), "every string value is text",
                  f"types {[kind for _, _, kind in strings]}")
        var_info = by_key.get("VarFileInfo")
        translation = [child for child in (var_info[3] if var_info else [])
                       if child[0] == "Translation"]
        words = (list(struct.unpack(f"<{len(translation[0][2]) // 2}H", translation[0][2]))
                 if translation else None)
        check(words == [0x409, 1200], "VarFileInfo Translation 0x409, 1200",
              f"it is {words}")

    if machine == "i386":
        found, seen = x87_in_module_code(objdump, path)
        check(any("8TraceRow" in name for name in seen) and not found,
              "the module's code uses no x87 instructions, so its doubles round as on x86_64",
              f"x87 code in {found}" if seen else "no module functions found in the disassembly")


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in MACHINES:
        print(next(line for line in __doc__.splitlines() if line.startswith("Usage:")),
              file=sys.stderr)
        return 2
    path, objdump, machine = sys.argv[1:]
    results = []

    def check(ok, what, detail=""):
        results.append(ok)
        print(f"{'PASS' if ok else 'FAIL'}: {path}: {what}" + ("" if ok else f": {detail}"))

    try:
        run_checks(Pe(path), path, objdump, machine, check)
    except (OSError, ValueError, struct.error, IndexError,
            subprocess.CalledProcessError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        check(False, "can be read and checked", str(reason))
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Static checks of a built Zelmora.exe, without running it.

Usage: check_exe.py EXE [--arch i686|x86_64]
       check_exe.py SETUP.EXE --setup
       check_exe.py SERVICE.EXE --service [--arch i686|x86_64]

Reads the PE file itself (standard library only) and checks its format, that it
needs only Windows' own DLLs, and its version record, manifest, icon and logo.
With --setup: the 32-bit setup program's format, version record and manifest. With
--service: the clock service's program, as the program but without icon and logo.
Prints one line per check and exits 1 if any check fails (2 on bad usage).

The file may be anything, so every read is bounds-checked: a damaged file makes
checks fail with a reason, never crashes the checker.
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from typing import Optional

PRODUCT_NAME = "Orva Zelmora"
SETUP_DESCRIPTION = "Orva Zelmora Setup"
SERVICE_DESCRIPTION = "Orva Zelmora Clock Service"
VERSION_TEXT = "1.00.0028"
VERSION_FIXED = (1, 0, 0, 28)
ICON_GROUP_ID = 1
LOGO_ID = 2
LOGO_SIZE = (187, 88)
LOGO_PALETTE_ENTRIES = 256
SIZE_LIMIT_I686 = 512 * 1024

# Windows' own DLLs: anything else (the MinGW runtime above all) would have to be
# shipped beside the exe, and the release is the exe alone.
ALLOWED_DLLS = frozenset(
    name + ".dll"
    for name in ("kernel32", "user32", "gdi32", "advapi32", "shell32", "ole32", "oleaut32",
                 "wininet", "winhttp", "version", "comctl32", "msvcrt", "uxtheme", "shlwapi"))

# arch: (optional header magic, format name, COFF machine, machine name)
ARCHES = {
    "i686": (0x10B, "PE32", 0x014C, "i386"),
    "x86_64": (0x20B, "PE32+", 0x8664, "amd64"),
}

SUBSYSTEM_WINDOWS_GUI = 2
RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

# Caps that keep a hostile or damaged file from making the walk slow or endless.
MAX_SECTIONS = 96
MAX_IMPORT_DESCRIPTORS = 4096
MAX_RESOURCE_ENTRIES = 10000
MAX_NAME_LENGTH = 512
MAX_VERSION_DEPTH = 6

CHECKER_ERROR = "checker error: "


class FormatError(Exception):
    """The bytes are not laid out as a well-formed PE file would be."""


class CheckFailed(Exception):
    """A check found the file wrong; the message says how."""


def unpack(fmt: str, data: bytes, offset: int) -> tuple:
    fmt = "<" + fmt
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise FormatError(f"read of {size} bytes at 0x{offset:x} is outside the "
                          f"{len(data)}-byte data")
    return struct.unpack_from(fmt, data, offset)


def c_string(data: bytes, offset: int) -> str:
    """An ASCII string ending in NUL, as import names are."""
    if offset < 0 or offset >= len(data):
        raise FormatError(f"string at 0x{offset:x} is outside the file")
    end = data.find(b"\0", offset, offset + MAX_NAME_LENGTH)
    if end < 0:
        raise FormatError(f"string at 0x{offset:x} has no end")
    try:
        return data[offset:end].decode("ascii")
    except UnicodeDecodeError as error:
        raise FormatError(f"string at 0x{offset:x} is not ASCII") from error


def align4(offset: int, base: int) -> int:
    return base + ((offset - base + 3) & ~3)


@dataclass(frozen=True)
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_pointer: int
    raw_size: int


@dataclass(frozen=True)
class ImportedDll:
    name: str
    delay_loaded: bool
    descriptor_offset: int  # file offset of its import descriptor


@dataclass(frozen=True)
class Resource:
    type_id: object  # int, or str for a named type
    name: object     # int or str
    language: int
    rva: int
    size: int
    entry_offsets: tuple  # file offsets of the type, name and language directory entries
    data_entry_offset: int  # file offset of the IMAGE_RESOURCE_DATA_ENTRY


class PEFile:
    """The parts of a PE image the checks need; raises FormatError when damaged."""

    def __init__(self, data: bytes):
        self.data = data
        if len(data) < 64 or data[:2] != b"MZ":
            raise FormatError("no MZ header")
        (pe_offset,) = unpack("I", data, 0x3C)
        if unpack("4s", data, pe_offset)[0] != b"PE\0\0":
            raise FormatError("no PE signature")
        (self.machine, section_count, _, _, _, optional_size, _) = unpack(
            "HHIIIHH", data, pe_offset + 4)
        optional = pe_offset + 24
        (self.magic,) = unpack("H", data, optional)
        if self.magic == 0x10B:
            (self.image_base,) = unpack("I", data, optional + 28)
            directories_at = optional + 96
        elif self.magic == 0x20B:
            (self.image_base,) = unpack("Q", data, optional + 24)
            directories_at = optional + 112
        else:
            raise FormatError(f"unknown optional header magic 0x{self.magic:x}")
        if optional_size < directories_at - optional:
            raise FormatError(f"optional header of {optional_size} bytes is too short")
        self.subsystem_offset = optional + 68
        (self.subsystem,) = unpack("H", data, self.subsystem_offset)
        (directory_count,) = unpack("I", data, directories_at - 4)
        directory_count = min(directory_count, 16)
        if directories_at + 8 * directory_count > optional + optional_size:
            raise FormatError("data directories run past the optional header")
        self.directories_offset = directories_at
        self.directories = [unpack("II", data, directories_at + 8 * i)
                            for i in range(directory_count)]

        if section_count > MAX_SECTIONS:
            raise FormatError(f"{section_count} sections")
        table = optional + optional_size
        self.sections = []
        for i in range(section_count):
            name, vsize, va, raw_size, raw_pointer = unpack("8sIIII", data, table + 40 * i)
            self.sections.append(Section(name.rstrip(b"\0").decode("latin-1"), va, vsize,
                                         raw_pointer, raw_size))

    def directory(self, index: int) -> tuple:
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset_of(self, rva: int, length: int = 1) -> int:
        """File offset of length bytes at rva, which must all be stored in the file."""
        for s in self.sections:
            extent = max(s.virtual_size, s.raw_size)
            if s.virtual_address <= rva and rva + length <= s.virtual_address + extent:
                inside = rva - s.virtual_address
                if inside + length > s.raw_size:
                    break
                offset = s.raw_pointer + inside
                if offset + length > len(self.data):
                    break
                return offset
        raise FormatError(f"{length} bytes at RVA 0x{rva:x} are not in the file")

    def read(self, rva: int, length: int) -> bytes:
        offset = self.offset_of(rva, length)
        return self.data[offset:offset + length]

    def descriptors(self, index: int, size: int, what: str):
        """(file offset, fields) of each size-byte descriptor in the table of data directory
        index, up to the all-zero one that ends it."""
        rva, length = self.directory(index)
        if not rva or not length:
            return
        for i in range(MAX_IMPORT_DESCRIPTORS):
            at = self.offset_of(rva + size * i, size)
            fields = unpack(f"{size // 4}I", self.data, at)
            if not any(fields):
                return
            yield at, fields
        raise FormatError(f"{what} has no end")

    def imports(self) -> list:
        found = [ImportedDll(c_string(self.data, self.offset_of(fields[3])), False, at)
                 for at, fields in self.descriptors(1, 20, "import table")]
        for at, fields in self.descriptors(13, 32, "delay import table"):
            attributes, name = fields[0], fields[1]
            if not attributes & 1:  # the oldest layout holds addresses, not RVAs
                name -= self.image_base
            found.append(ImportedDll(c_string(self.data, self.offset_of(name)), True, at))
        return found

    def resources(self) -> list:
        base_rva, size = self.directory(2)
        if not base_rva or not size:
            return []
        found = []
        visited = set()
        budget = [MAX_RESOURCE_ENTRIES]

        def entry_id(name_field: int):
            if not name_field & 0x80000000:
                return name_field & 0xFFFF
            at = self.offset_of(base_rva + (name_field & 0x7FFFFFFF), 2)
            (length,) = unpack("H", self.data, at)
            raw = self.read(base_rva + (name_field & 0x7FFFFFFF) + 2, 2 * length)
            return raw.decode("utf-16-le", errors="replace")

        def walk(directory: int, path: tuple, entries: tuple):
            if directory in visited:
                raise FormatError("resource directories form a loop")
            visited.add(directory)
            at = self.offset_of(base_rva + directory, 16)
            named, numbered = unpack("HH", self.data, at + 12)
            for i in range(named + numbered):
                budget[0] -= 1
                if budget[0] < 0:
                    raise FormatError("too many resource entries")
                entry_at = self.offset_of(base_rva + directory + 16 + 8 * i, 8)
                name_field, target = unpack("II", self.data, entry_at)
                key = path + (entry_id(name_field),)
                where = entries + (entry_at,)
                is_directory = bool(target & 0x80000000)
                if is_directory != (len(key) < 3):
                    raise FormatError("resource tree is not type/name/language deep")
                if is_directory:
                    walk(target & 0x7FFFFFFF, key, where)
                    continue
                data_at = self.offset_of(base_rva + target, 16)
                data_rva, data_size = unpack("II", self.data, data_at)
                language = key[2] if isinstance(key[2], int) else 0
                found.append(Resource(key[0], key[1], language, data_rva, data_size, where,
                                      data_at))

        walk(0, (), ())
        return found


def resources_of(pe: PEFile) -> list:
    try:
        return pe.resources()
    except FormatError as error:
        raise CheckFailed(f"resource table unreadable: {error}") from error


def find_resource(resources: list, type_id: int, name) -> Optional[Resource]:
    for resource in resources:
        if resource.type_id == type_id and resource.name == name:
            return resource
    return None


def resource_data(pe: PEFile, type_id: int, name, missing: str) -> bytes:
    """A resource's bytes; the check fails saying missing when there is none."""
    resource = find_resource(resources_of(pe), type_id, name)
    if resource is None:
        raise CheckFailed(missing)
    return pe.read(resource.rva, resource.size)


# --- the version record -----------------------------------------------------------

@dataclass
class VersionNode:
    key: str
    value_type: int
    value: bytes
    children: list


def parse_version_node(data: bytes, offset: int, end: int, depth: int = 0) -> tuple:
    """One VS_VERSIONINFO-style node at offset; returns it and where the next one starts."""
    if depth > MAX_VERSION_DEPTH:
        raise FormatError("version record nests too deep")
    length, value_length, value_type = unpack("HHH", data, offset)
    node_end = offset + length
    if length < 6 or node_end > end:
        raise FormatError(f"version record node at 0x{offset:x} has a bad length {length}")
    key_end = offset + 6
    while True:
        if key_end + 2 > node_end:
            raise FormatError(f"version record key at 0x{offset:x} has no end")
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le", errors="replace")
    value_start = align4(key_end + 2, 0)
    if value_type == 1:  # text: the length counts characters
        value_end = min(value_start + 2 * value_length, node_end)
    else:
        value_end = value_start + value_length
        if value_end > node_end:
            raise FormatError(f"version record value of '{key}' runs past its node")
    value = data[value_start:value_end] if value_start < node_end else b""
    children = []
    child = align4(max(value_end, value_start), 0)
    while child < node_end:
        node, child = parse_version_node(data, child, node_end, depth + 1)
        children.append(node)
        child = align4(child, 0)
    return VersionNode(key, value_type, value, children), node_end


def text_value(node: VersionNode) -> str:
    text = node.value.decode("utf-16-le", errors="replace")
    return text.split("\0", 1)[0]


def version_record(pe: PEFile) -> VersionNode:
    data = resource_data(pe, RT_VERSION, 1, "no version resource (type 16, id 1)")
    root, _ = parse_version_node(data, 0, len(data))
    if root.key != "VS_VERSION_INFO":
        raise CheckFailed(f"version resource starts with '{root.key}'")
    return root


# --- the checks ------------------------------------------------------------------

@dataclass(frozen=True)
class Result:
    name: str
    ok: bool
    detail: str


class Subject:
    """The file under test, parsed once; a parse failure is reported by each check."""

    def __init__(self, data: bytes, arch: str, setup: bool = False, service: bool = False):
        self.data = data
        self.arch = arch
        self.setup = setup
        self.service = service
        self._pe = None
        self._error = None
        try:
            self._pe = PEFile(data)
        except FormatError as error:
            self._error = error

    @property
    def pe(self) -> PEFile:
        if self._pe is None:
            raise CheckFailed(f"not a readable PE file: {self._error}")
        return self._pe


def check_format(subject: Subject) -> str:
    magic, name = ARCHES[subject.arch][:2]
    pe = subject.pe
    if pe.magic != magic:
        raise CheckFailed(f"optional header magic 0x{pe.magic:x}, expected 0x{magic:x} ({name})")
    return f"{name} (magic 0x{magic:x})"


def check_machine(subject: Subject) -> str:
    machine, name = ARCHES[subject.arch][2:]
    found = subject.pe.machine
    if found != machine:
        raise CheckFailed(f"machine 0x{found:x}, expected 0x{machine:x} ({name})")
    return f"{name} (0x{machine:x})"


def check_subsystem(subject: Subject) -> str:
    found = subject.pe.subsystem
    if found != SUBSYSTEM_WINDOWS_GUI:
        raise CheckFailed(f"subsystem {found}, expected {SUBSYSTEM_WINDOWS_GUI} (Windows GUI)")
    return "Windows GUI (2)"


def dll_allowed(name: str) -> bool:
    return name.lower() in ALLOWED_DLLS


def check_imports(subject: Subject) -> str:
    try:
        dlls = subject.pe.imports()
    except FormatError as error:
        raise CheckFailed(f"import table unreadable: {error}") from error
    if not dlls:
        raise CheckFailed("no imported DLLs at all")
    names = sorted({d.name + (" (delay-loaded)" if d.delay_loaded else "") for d in dlls},
                   key=str.lower)
    foreign = [d.name for d in dlls if not dll_allowed(d.name)]
    if foreign:
        raise CheckFailed("not a Windows system DLL: " + ", ".join(sorted(set(foreign))))
    return ", ".join(names)


def check_version_strings(subject: Subject) -> str:
    root = version_record(subject.pe)
    tables = {}
    translations = []
    for block in root.children:
        if block.key == "StringFileInfo":
            for table in block.children:
                tables[table.key.lower()] = {s.key: text_value(s) for s in table.children}
        elif block.key == "VarFileInfo":
            for var in block.children:
                if var.key == "Translation":
                    translations += [struct.unpack_from("<HH", var.value, i)
                                     for i in range(0, len(var.value) - 3, 4)]
    if not tables:
        raise CheckFailed("no string table")
    description = (SETUP_DESCRIPTION if subject.setup else
                   SERVICE_DESCRIPTION if subject.service else PRODUCT_NAME)
    expected = {"ProductName": PRODUCT_NAME, "FileDescription": description,
                "FileVersion": VERSION_TEXT, "ProductVersion": VERSION_TEXT}
    problems = []
    for table_key, strings in sorted(tables.items()):
        for key, want in expected.items():
            got = strings.get(key)
            if got != want:
                problems.append(f"{table_key} {key}={got!r}, expected {want!r}")
    # The program finds its product name (the tray tip) through the first translation.
    if not translations:
        problems.append("no Translation entry")
    else:
        language, codepage = translations[0]
        if f"{language:04x}{codepage:04x}" not in tables:
            problems.append(f"first Translation {language:04x}{codepage:04x} names no string "
                            f"table (have {', '.join(sorted(tables))})")
    if problems:
        raise CheckFailed("; ".join(problems))
    return ", ".join(f'{key} "{want}"' for key, want in expected.items())


def check_version_fixed(subject: Subject) -> str:
    root = version_record(subject.pe)
    if len(root.value) < 52:
        raise CheckFailed(f"fixed file info is {len(root.value)} bytes, expected 52")
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", root.value)
    if signature != 0xFEEF04BD:
        raise CheckFailed(f"fixed file info signature 0x{signature:08x}")

    def dotted(ms: int, ls: int) -> tuple:
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    want = ".".join(map(str, VERSION_FIXED))
    found_file = ".".join(map(str, dotted(file_ms, file_ls)))
    found_product = ".".join(map(str, dotted(product_ms, product_ls)))
    if (found_file, found_product) != (want, want):
        raise CheckFailed(f"file version {found_file}, product version {found_product}, "
                          f"expected {want}")
    return f"file and product version {want}"


def local_name(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def check_manifest(subject: Subject) -> str:
    manifest = resource_data(subject.pe, RT_MANIFEST, 1, "no manifest resource (type 24, id 1)")
    try:
        root = ElementTree.fromstring(manifest)
    except (ElementTree.ParseError, LookupError, ValueError) as error:
        # LookupError: an encoding Python does not know, named in the XML declaration.
        raise CheckFailed(f"manifest is not well-formed XML: {error}") from error
    if local_name(root.tag) != "assembly":
        raise CheckFailed(f"manifest root is <{local_name(root.tag)}>, expected <assembly>")
    elements = list(root.iter())
    levels = [e.get("level") for e in elements
              if local_name(e.tag) == "requestedExecutionLevel"]
    dpi = [(e.text or "").strip() for e in elements if local_name(e.tag) == "dpiAware"]
    level = "requireAdministrator" if subject.setup else "asInvoker"
    problems = []
    if levels != [level]:
        problems.append(f"requestedExecutionLevel {levels}, expected ['{level}']")
    if [d.lower() for d in dpi] != ["true"]:
        problems.append(f"dpiAware {dpi}, expected ['true']")
    if problems:
        raise CheckFailed("; ".join(problems))
    return f"{level}, dpiAware true"


def check_icon(subject: Subject) -> str:
    data = resource_data(subject.pe, RT_GROUP_ICON, ICON_GROUP_ID,
                         f"no group icon with id {ICON_GROUP_ID}")
    reserved, kind, count = unpack("HHH", data, 0)
    if (reserved, kind, count) != (0, 1, 1):
        raise CheckFailed(f"group icon header {reserved},{kind},{count}, expected one icon")
    width, height, colours, _, planes, bits, byte_count, icon_id = unpack("BBBBHHIH", data, 6)
    if (width, height, colours, bits) != (32, 32, 16, 4):
        raise CheckFailed(f"group entry {width}x{height}, {colours} colours, {bits} bpp; "
                          f"expected 32x32, 16 colours, 4 bpp")
    image = resource_data(subject.pe, RT_ICON, icon_id,
                          f"group entry names icon {icon_id}, which is missing")
    if len(image) != byte_count:
        raise CheckFailed(f"icon {icon_id} is {len(image)} bytes, its group entry says "
                          f"{byte_count}")
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        raise CheckFailed(f"icon {icon_id} is a PNG, expected a bitmap")
    header_size, bitmap_width, bitmap_height, bitmap_planes, bitmap_bits = unpack(
        "IiiHH", image, 0)
    if (header_size, bitmap_width, bitmap_height, bitmap_planes, bitmap_bits) != (
            40, 32, 64, 1, 4):
        raise CheckFailed(f"icon {icon_id} bitmap header size {header_size}, "
                          f"{bitmap_width}x{bitmap_height}, {bitmap_planes} planes, "
                          f"{bitmap_bits} bpp; expected 40, 32x64, 1 plane, 4 bpp")
    return f"group {ICON_GROUP_ID} -> icon {icon_id}: 32x32, 16 colours, bitmap 32x64 4 bpp"


def check_logo(subject: Subject) -> str:
    data = resource_data(subject.pe, RT_RCDATA, LOGO_ID, f"no RCDATA resource with id {LOGO_ID}")
    if data[:6] not in (b"GIF87a", b"GIF89a"):
        raise CheckFailed(f"RCDATA {LOGO_ID} is not a GIF (starts {data[:6]!r})")
    width, height, packed = unpack("HHB", data, 6)
    entries = 2 << (packed & 7) if packed & 0x80 else 0
    problems = []
    if (width, height) != LOGO_SIZE:
        problems.append(f"{width}x{height}, expected {LOGO_SIZE[0]}x{LOGO_SIZE[1]}")
    if entries != LOGO_PALETTE_ENTRIES:
        problems.append(f"global colour table of {entries} entries, "
                        f"expected {LOGO_PALETTE_ENTRIES}")
    if len(data) < 13 + 3 * entries or data[-1:] != b";":
        problems.append("GIF is cut short (no trailer)")
    if problems:
        raise CheckFailed("; ".join(problems))
    return (f"GIF {width}x{height}, {entries}-entry global colour table, "
            f"{len(data)} bytes")


def check_size(subject: Subject) -> str:
    size = len(subject.data)
    if subject.arch != "i686":
        return f"{size} bytes (the limit is for the i686 product only)"
    if size >= SIZE_LIMIT_I686:
        raise CheckFailed(f"{size} bytes, limit {SIZE_LIMIT_I686} (512 KiB)")
    return f"{size} bytes, under {SIZE_LIMIT_I686} (512 KiB)"


CHECKS: list = [
    ("pe-format", check_format),
    ("machine", check_machine),
    ("subsystem", check_subsystem),
    ("imports", check_imports),
    ("version-strings", check_version_strings),
    ("version-fixed", check_version_fixed),
    ("manifest", check_manifest),
    ("icon", check_icon),
    ("logo", check_logo),
    ("size", check_size),
]

# The setup program's icon, DLLs and size are the installer maker's, not the product's.
SETUP_CHECKS = [(name, check) for name, check in CHECKS
                if name not in ("imports", "icon", "logo", "size")]
# The service shows nothing: no icon, no logo.
SERVICE_CHECKS = [(name, check) for name, check in CHECKS if name not in ("icon", "logo")]


def run_checks(data: bytes, arch: str, setup: bool = False, service: bool = False) -> list:
    subject = Subject(data, arch, setup, service)
    results = []
    for name, check in SETUP_CHECKS if setup else SERVICE_CHECKS if service else CHECKS:
        try:
            results.append(Result(name, True, check(subject)))
        except (CheckFailed, FormatError) as error:
            results.append(Result(name, False, str(error)))
        except Exception as error:  # a checker bug must still fail the check, not hide it
            results.append(Result(name, False, f"{CHECKER_ERROR}{type(error).__name__}: {error}"))
    return results


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Static checks of a built Zelmora.exe")
    parser.add_argument("exe")
    parser.add_argument("--arch", choices=sorted(ARCHES), default="i686")
    parser.add_argument("--setup", action="store_true", help="the file is the setup program")
    parser.add_argument("--service", action="store_true", help="the file is the clock service")
    args = parser.parse_args(argv)
    try:
        with open(args.exe, "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"FAIL read: {error}")
        return 1
    results = run_checks(data, args.arch, args.setup, args.service)
    for result in results:
        print(f"{'OK' if result.ok else 'FAIL':4} {result.name}: {result.detail}")
    failed = [r.name for r in results if not r.ok]
    if failed:
        print(f"{args.exe}: {len(failed)} of {len(results)} checks failed: {', '.join(failed)}")
        return 1
    print(f"{args.exe}: all {len(results)} checks passed ({args.arch})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

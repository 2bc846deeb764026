#!/usr/bin/python3
"""Static checks of a built Zelmora.exe, without running it.

Usage: check_exe.py EXE [--arch i686|x86_64] --version-header H
       check_exe.py SETUP.EXE --setup --version-header H
       check_exe.py SERVICE.EXE --service [--arch i686|x86_64] --version-header H

H is the build's generated/zelmora_version.h, the version the program must carry.

Reads the PE file with pefile (Debian's python3-pefile) and checks its format, that
it needs only Windows' own DLLs, and its version record, manifest, icon and logo.
With --setup: the 32-bit setup program's format, version record and manifest. With
--service: the clock service's program, as the program but without icon and logo.
Prints one line per check and exits 1 if any check fails (2 on bad usage).

The file may be anything: a damaged file, or a table pefile had to skip part of,
makes checks fail with a reason, never crashes the checker.
"""

import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

import pefile

PRODUCT_NAME = "Orva Zelmora"
SETUP_DESCRIPTION = "Orva Zelmora Setup"
SERVICE_DESCRIPTION = "Orva Zelmora Clock Service"
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
                 "wininet", "winhttp", "comctl32", "msvcrt", "uxtheme", "shlwapi"))

# The service runs with the right to set the clock: it imports only KnownDLLs, which Windows
# never looks for beside a program, and none with window or shell code (WinHTTP it loads
# from the system folder by its full path).
SERVICE_DLLS = frozenset(name + ".dll" for name in ("kernel32", "advapi32", "msvcrt"))

# arch: (optional header magic, format name, COFF machine, machine name)
ARCHES = {
    "i686": (0x10B, "PE32", 0x014C, "i386"),
    "x86_64": (0x20B, "PE32+", 0x8664, "amd64"),
}

SUBSYSTEM_WINDOWS_GUI = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = (
    pefile.RESOURCE_TYPE[name]
    for name in ("RT_ICON", "RT_RCDATA", "RT_GROUP_ICON", "RT_VERSION", "RT_MANIFEST"))

RT_MESSAGETABLE = pefile.RESOURCE_TYPE["RT_MESSAGETABLE"]
# The clock service's records in the Application log, as their message file numbers them.
EVENT_MESSAGES = Path(__file__).resolve().parents[2] / "resources" / "service_events.mc"
SEVERITIES = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}

CHECKER_ERROR = "checker error: "
IMPORT_DIRECTORIES = [pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                      pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
RESOURCE_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


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


def load(data: bytes) -> pefile.PE:
    """The headers and section table; the directories are parsed by what needs them."""
    try:
        return pefile.PE(data=data, fast_load=True)
    except Exception as error:  # pefile raises more than PEFormatError on hostile bytes
        raise FormatError(str(error)) from error


def parse(pe: pefile.PE, directories: list, what: str):
    """Has pefile parse directories; whatever it had to skip makes the table unreadable."""
    before = len(pe.get_warnings())
    try:
        pe.parse_data_directories(directories=directories)
    except Exception as error:  # as in load
        raise FormatError(f"{what}: {error}") from error
    skipped = pe.get_warnings()[before:]
    if skipped:
        raise FormatError(f"{what}: {skipped[0]}")


def read(pe: pefile.PE, rva: int, length: int) -> bytes:
    data = pe.get_data(rva, length)
    if len(data) != length:
        raise FormatError(f"{length} bytes at RVA 0x{rva:x} are not in the file")
    return data


def imports(pe: pefile.PE) -> list:
    parse(pe, IMPORT_DIRECTORIES, "import table")
    found = []
    for attribute, index, size, delay in (("DIRECTORY_ENTRY_IMPORT", 0, 20, False),
                                          ("DIRECTORY_ENTRY_DELAY_IMPORT", 1, 32, True)):
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        if IMPORT_DIRECTORIES[index] >= len(directories):
            continue
        # pefile leaves out a descriptor whose name it cannot read: the table must run
        # without gaps from the directory's start to its all-zero end.
        start = rva = directories[IMPORT_DIRECTORIES[index]].VirtualAddress
        for entry in getattr(pe, attribute, []):
            offset = entry.struct.get_file_offset()
            if offset != pe.get_offset_from_rva(rva):
                raise FormatError(f"descriptor at RVA 0x{rva:x} is unreadable")
            found.append(ImportedDll(entry.dll.decode("ascii", "replace"), delay, offset))
            rva += size
        if start and any(read(pe, rva, size)):
            raise FormatError(f"descriptor at RVA 0x{rva:x} is unreadable")
    return found


def resources(pe: pefile.PE) -> list:
    parse(pe, [RESOURCE_DIRECTORY], "resource table")
    found = []

    def key(entry):
        return entry.id if entry.name is None else str(entry.name)

    def walk(directory, path: tuple, offsets: tuple):
        listed = directory.struct.NumberOfNamedEntries + directory.struct.NumberOfIdEntries
        if len(directory.entries) != listed:
            # pefile stops at a loop or an unreadable entry
            raise FormatError(f"a directory lists {listed} entries, {len(directory.entries)} "
                              "are readable")
        for entry in directory.entries:
            where = offsets + (entry.struct.get_file_offset(),)
            if (getattr(entry, "directory", None) is not None) != (len(path) < 2):
                raise FormatError("resource tree is not type/name/language deep")
            if len(path) < 2:
                walk(entry.directory, path + (key(entry),), where)
                continue
            data = entry.data.struct
            found.append(Resource(path[0], path[1], entry.id or 0, data.OffsetToData, data.Size,
                                  where, data.get_file_offset()))

    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        walk(pe.DIRECTORY_ENTRY_RESOURCE, (), ())
    elif RESOURCE_DIRECTORY < len(directories) and directories[RESOURCE_DIRECTORY].VirtualAddress:
        raise FormatError("the resource directory is unreadable")
    return found


def resources_of(pe: pefile.PE) -> list:
    try:
        return resources(pe)
    except FormatError as error:
        raise CheckFailed(f"resource table unreadable: {error}") from error


def find_resource(resources: list, type_id: int, name) -> Optional[Resource]:
    for resource in resources:
        if resource.type_id == type_id and resource.name == name:
            return resource
    return None


def resource_data(pe: pefile.PE, type_id: int, name, missing: str) -> bytes:
    """A resource's bytes; the check fails saying missing when there is none."""
    resource = find_resource(resources_of(pe), type_id, name)
    if resource is None:
        raise CheckFailed(missing)
    return read(pe, resource.rva, resource.size)


@dataclass(frozen=True)
class Version:
    text: str  # as the record's strings write it
    numbers: tuple  # the fixed file info's four numbers


def read_version_header(path: str) -> Version:
    """The version the build wrote for the program; ValueError when the file names none."""
    with open(path, encoding="ascii") as f:
        source = f.read()
    text = re.search(r'^#define ZELMORA_VERSION_TEXT "([^"]+)"$', source, re.M)
    numbers = re.search(r"^#define ZELMORA_VERSION_NUMBERS (\d+),(\d+),(\d+),(\d+)$", source,
                        re.M)
    if not text or not numbers:
        raise ValueError(f"{path} names no version")
    return Version(text.group(1), tuple(map(int, numbers.groups())))


# --- the checks ------------------------------------------------------------------

@dataclass(frozen=True)
class Result:
    name: str
    ok: bool
    detail: str


class Subject:
    """The file under test, parsed once; a parse failure is reported by each check."""

    def __init__(self, data: bytes, arch: str, version: Version, setup: bool = False,
                 service: bool = False):
        self.data = data
        self.arch = arch
        self.version = version
        self.setup = setup
        self.service = service
        self._pe = None
        self._error = None
        try:
            self._pe = load(data)
        except FormatError as error:
            self._error = error

    @property
    def pe(self) -> pefile.PE:
        if self._pe is None:
            raise CheckFailed(f"not a readable PE file: {self._error}")
        return self._pe


def check_format(subject: Subject) -> str:
    magic, name = ARCHES[subject.arch][:2]
    found = subject.pe.OPTIONAL_HEADER.Magic
    if found != magic:
        raise CheckFailed(f"optional header magic 0x{found:x}, expected 0x{magic:x} ({name})")
    return f"{name} (magic 0x{magic:x})"


def check_machine(subject: Subject) -> str:
    machine, name = ARCHES[subject.arch][2:]
    found = subject.pe.FILE_HEADER.Machine
    if found != machine:
        raise CheckFailed(f"machine 0x{found:x}, expected 0x{machine:x} ({name})")
    return f"{name} (0x{machine:x})"


def check_subsystem(subject: Subject) -> str:
    found = subject.pe.OPTIONAL_HEADER.Subsystem
    if found != SUBSYSTEM_WINDOWS_GUI:
        raise CheckFailed(f"subsystem {found}, expected {SUBSYSTEM_WINDOWS_GUI} (Windows GUI)")
    return "Windows GUI (2)"


def dll_allowed(name: str) -> bool:
    return name.lower() in ALLOWED_DLLS


def check_imports(subject: Subject) -> str:
    try:
        dlls = imports(subject.pe)
    except FormatError as error:
        raise CheckFailed(f"import table unreadable: {error}") from error
    if not dlls:
        raise CheckFailed("no imported DLLs at all")
    names = sorted({d.name + (" (delay-loaded)" if d.delay_loaded else "") for d in dlls},
                   key=str.lower)
    foreign = [d.name for d in dlls if not dll_allowed(d.name)]
    if foreign:
        raise CheckFailed("not a Windows system DLL: " + ", ".join(sorted(set(foreign))))
    unsafe = [d.name for d in dlls if subject.service and d.name.lower() not in SERVICE_DLLS]
    if unsafe:
        raise CheckFailed("the service imports more than " + ", ".join(sorted(SERVICE_DLLS)) +
                          ": " + ", ".join(sorted(set(unsafe))))
    return ", ".join(names)


def version_record(pe: pefile.PE) -> tuple:
    """pefile's reading of the version resource: its fixed file info and its blocks."""
    resource_data(pe, RT_VERSION, 1, "no version resource (type 16, id 1)")
    if not getattr(pe, "VS_FIXEDFILEINFO", None) or not getattr(pe, "FileInfo", None):
        raise CheckFailed("version resource unreadable")
    return pe.VS_FIXEDFILEINFO[0], pe.FileInfo[0]


def text(value: bytes) -> str:
    return value.decode("utf-8", errors="replace")


def check_version_strings(subject: Subject) -> str:
    _, blocks = version_record(subject.pe)
    tables = {}
    translations = []
    for block in blocks:
        for table in getattr(block, "StringTable", []):
            tables[text(table.LangID).lower()] = {text(k): text(v)
                                                 for k, v in table.entries.items()}
        for var in getattr(block, "Var", []):
            if b"Translation" in getattr(var, "entry", {}):
                # pefile keeps the last language of the list only
                if var.ValueLength != 4:
                    raise CheckFailed(f"Translation lists {var.ValueLength // 4} languages, "
                                      "expected one")
                translations.append(tuple(int(word, 16)
                                          for word in var.entry[b"Translation"].split()))
    if not tables:
        raise CheckFailed("no string table")
    description = (SETUP_DESCRIPTION if subject.setup else
                   SERVICE_DESCRIPTION if subject.service else PRODUCT_NAME)
    expected = {"ProductName": PRODUCT_NAME, "FileDescription": description,
                "FileVersion": subject.version.text, "ProductVersion": subject.version.text}
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
    fixed, _ = version_record(subject.pe)
    if fixed.Signature != 0xFEEF04BD:
        raise CheckFailed(f"fixed file info signature 0x{fixed.Signature:08x}")

    def dotted(ms: int, ls: int) -> tuple:
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    want = ".".join(map(str, subject.version.numbers))
    found_file = ".".join(map(str, dotted(fixed.FileVersionMS, fixed.FileVersionLS)))
    found_product = ".".join(map(str, dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)))
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
    dpi = [(local_name(e.tag), (e.text or "").replace(" ", "").lower()) for e in elements
           if local_name(e.tag) in ("dpiAware", "dpiAwareness")]
    identities = [e.get("version") for e in elements if local_name(e.tag) == "assemblyIdentity"]
    level = "requireAdministrator" if subject.setup else "asInvoker"
    problems = []
    if levels != [level]:
        problems.append(f"requestedExecutionLevel {levels}, expected ['{level}']")
    # The setup program's are the installer maker's; ours follow each monitor's DPI.
    want_dpi = [("dpiAware", "true")] if subject.setup else [
        ("dpiAware", "true/pm"), ("dpiAwareness", "permonitorv2,permonitor")]
    if dpi != want_dpi:
        problems.append(f"DPI awareness {dpi}, expected {want_dpi}")
    version = ".".join(map(str, subject.version.numbers))
    # The setup program's identity is the installer maker's.
    if not subject.setup and identities != [version]:
        problems.append(f"assemblyIdentity version {identities}, expected ['{version}']")
    if problems:
        raise CheckFailed("; ".join(problems))
    return f"{level}, dpiAware {want_dpi[0][1]}" + ("" if subject.setup else f", version {version}")


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


def event_ids() -> list:
    """The full message ids (severity bits included) of the service's message file."""
    ids, number = [], None
    for line in EVENT_MESSAGES.read_text().splitlines():
        if line.startswith("MessageId="):
            number = int(line.split("=", 1)[1], 0)
        elif line.startswith("Severity=") and number is not None:
            ids.append(SEVERITIES[line.split("=", 1)[1].strip()] << 30 | number)
    return ids


def check_event_messages(subject: Subject) -> str:
    data = resource_data(subject.pe, RT_MESSAGETABLE, 1, "no message table for its records")
    (blocks,) = struct.unpack_from("<I", data) if len(data) >= 4 else (None,)
    if blocks is None or len(data) < 4 + 12 * blocks:
        raise CheckFailed("message table cut short")
    ranges = [struct.unpack_from("<II", data, 4 + 12 * i) for i in range(blocks)]
    missing = [f"{i:#x}" for i in event_ids() if not any(low <= i <= high for low, high in ranges)]
    if missing:
        raise CheckFailed("no text for the records " + ", ".join(missing))
    return f"texts for {len(event_ids())} records"


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
# The service shows nothing (no icon, no logo), and carries its records' texts.
SERVICE_CHECKS = [(name, check) for name, check in CHECKS if name not in ("icon", "logo")] + [
    ("event-messages", check_event_messages)]


def run_checks(data: bytes, arch: str, version: Version, setup: bool = False,
               service: bool = False) -> list:
    subject = Subject(data, arch, version, setup, service)
    results = []
    for name, check in SETUP_CHECKS if setup else SERVICE_CHECKS if service else CHECKS:
        try:
            results.append(Result(name, True, check(subject)))
        except (CheckFailed, FormatError, pefile.PEFormatError) as error:
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
    parser.add_argument("--version-header", required=True,
                        help="the build's zelmora_version.h")
    args = parser.parse_args(argv)
    try:
        version = read_version_header(args.version_header)
        with open(args.exe, "rb") as f:
            data = f.read()
    except (OSError, ValueError) as error:
        print(f"FAIL read: {error}")
        return 1
    results = run_checks(data, args.arch, version, args.setup, args.service)
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

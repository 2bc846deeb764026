#!/usr/bin/python3
"""Self-test of check_exe.py: the real programs pass, and damaged copies fail the check
that guards against that damage, and only that check, without the checker crashing.

The programs come from ZELMORA_EXE_I686 and ZELMORA_EXE_X86_64, the 32-bit clock service
from ZELMORA_SERVICE_I686, the version they carry from ZELMORA_VERSION_HEADER; a variable
that is set must name an existing file, an unset one skips the tests that need it.
"""

import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import check_exe  # noqa: E402

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_exe.py")
ALL_CHECKS = frozenset(name for name, _ in check_exe.CHECKS)
RESOURCE_CHECKS = frozenset({"version-strings", "version-fixed", "manifest", "icon", "logo"})
EXE_VARIABLES = {"i686": "ZELMORA_EXE_I686", "x86_64": "ZELMORA_EXE_X86_64",
                 "service-i686": "ZELMORA_SERVICE_I686"}


def given_file(variable):
    path = os.environ.get(variable)
    if path and not os.path.isfile(path):
        raise AssertionError(f"{variable}={path} does not exist; build it first")
    return path


def real_exe(arch):
    path = given_file(EXE_VARIABLES[arch])
    if not path or not given_file("ZELMORA_VERSION_HEADER"):
        return None
    with open(path, "rb") as f:
        return f.read()


VERSION_HEADER = given_file("ZELMORA_VERSION_HEADER")
VERSION = VERSION_HEADER and check_exe.read_version_header(VERSION_HEADER)


# --- damage to a copy; each takes the bytes and their parse, and returns new bytes ---

def replace_in(data, start, size, old, new, count=None):
    """Replaces old with new (same length) inside data[start:start + size]."""
    assert len(old) == len(new), (old, new)
    region = data[start:start + size]
    assert old in region, f"{old!r} not found"
    region = region.replace(old, new) if count is None else region.replace(old, new, count)
    return data[:start] + region + data[start + size:]


def poke(data, offset, fmt, *values):
    buffer = bytearray(data)
    struct.pack_into("<" + fmt, buffer, offset, *values)
    return bytes(buffer)


def resource(pe, type_id, name):
    found = check_exe.find_resource(check_exe.resources(pe), type_id, name)
    assert found is not None, (type_id, name)
    return found


def in_resource(type_id, name, old, new):
    def damage(data, pe):
        r = resource(pe, type_id, name)
        return replace_in(data, pe.get_offset_from_rva(r.rva), r.size, old, new)
    return damage


def utf16(text):
    return text.encode("utf-16-le")


def import_of_foreign_dll(data, pe):
    """Points the first import at a new name, written into slack at a section's end."""
    name = b"libstdc++-6.dll\0"
    for s in pe.sections:
        if s.Misc_VirtualSize and s.SizeOfRawData - s.Misc_VirtualSize >= len(name) + 2:
            rva = s.VirtualAddress + s.Misc_VirtualSize
            offset = s.PointerToRawData + s.Misc_VirtualSize
            buffer = bytearray(data)
            buffer[offset:offset + len(name)] = name
            first = check_exe.imports(pe)[0]
            return poke(bytes(buffer), first.descriptor_offset + 12, "I", rva)
    raise AssertionError("no section has room for the name")


def renamed_import(old, new):
    def damage(data, pe):
        dll = next(d for d in check_exe.imports(pe) if d.name == old)
        (name_rva,) = struct.unpack_from("<I", data, dll.descriptor_offset + 12)
        return replace_in(data, pe.get_offset_from_rva(name_rva), len(old) + 1,
                          old.encode() + b"\0", new.encode() + b"\0")
    return damage


def import_name_outside_image(data, pe):
    return poke(data, check_exe.imports(pe)[0].descriptor_offset + 12, "I", 0x7FFFFFF0)


def console_subsystem(data, pe):
    return poke(data, pe.OPTIONAL_HEADER.get_field_absolute_offset("Subsystem"), "H", 3)


def translation_to_unicode_codepage(data, pe):
    r = resource(pe, check_exe.RT_VERSION, 1)
    start = pe.get_offset_from_rva(r.rva)
    key = data.index(utf16("Translation"), start, start + r.size)
    return replace_in(data, key, start + r.size - key, struct.pack("<HH", 0x409, 1252),
                      struct.pack("<HH", 0x409, 1200))


def another_version(type_id, encode):
    """The version (as the resource of type_id writes it) with its last digit changed."""
    def damage(data, pe):
        text = (VERSION.text if type_id == check_exe.RT_VERSION
                else 'version="' + ".".join(map(str, VERSION.numbers)))
        other = text[:-1] + ("2" if text.endswith("1") else "1")
        return in_resource(type_id, 1, encode(text), encode(other))(data, pe)
    return damage


def next_fixed_build(data, pe):
    r = resource(pe, check_exe.RT_VERSION, 1)
    start = pe.get_offset_from_rva(r.rva)
    signature = data.index(struct.pack("<I", 0xFEEF04BD), start, start + r.size)
    _, _, patch, build = VERSION.numbers
    return poke(data, signature + 12, "I", patch << 16 | build + 1)  # dwFileVersionLS


def retyped(type_id):
    """A resource filed under another type, as if its .rc line were wrong."""
    def damage(data, pe):
        return poke(data, resource(pe, type_id, 1).entry_offsets[0], "I", 23)
    return damage


def icon_bits(bits):
    def damage(data, pe):
        r = resource(pe, check_exe.RT_ICON, 1)
        return poke(data, pe.get_offset_from_rva(r.rva) + 14, "H", bits)
    return damage


def group_entry(offset, fmt, value):
    """Changes a field of the group icon's first entry (GRPICONDIRENTRY)."""
    def damage(data, pe):
        r = resource(pe, check_exe.RT_GROUP_ICON, check_exe.ICON_GROUP_ID)
        return poke(data, pe.get_offset_from_rva(r.rva) + 6 + offset, fmt, value)
    return damage


def logo_byte(at, value):
    def damage(data, pe):
        r = resource(pe, check_exe.RT_RCDATA, check_exe.LOGO_ID)
        return poke(data, pe.get_offset_from_rva(r.rva) + at, "B", value)
    return damage


def logo_cut_short(data, pe):
    r = resource(pe, check_exe.RT_RCDATA, check_exe.LOGO_ID)
    start = pe.get_offset_from_rva(r.rva)
    size = r.size - 100
    assert data[start + size - 1] != ord(";")
    return poke(data, r.data_entry_offset + 4, "I", size)


def resource_loop(data, pe):
    """The version type's entry points back at the root directory."""
    r = resource(pe, check_exe.RT_VERSION, 1)
    return poke(data, r.entry_offsets[0] + 4, "I", 0x80000000)


def no_resources(data, pe):
    return poke(data, pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].get_file_offset(), "II", 0, 0)


def grown(data, pe):
    return data + bytes(check_exe.SIZE_LIMIT_I686 - len(data))


def truncated(size):
    return lambda data, pe: data[:size]


def unchanged(data, pe):
    return data


BOTH = ("i686", "x86_64")
# COMCTL32.dll is a Windows DLL the program may import, but the service may not.
SERVICE_WITH_COMCTL32 = renamed_import("ADVAPI32.dll", "COMCTL32.dll")


@dataclass(frozen=True)
class Case:
    what: str
    damage: object
    expected: frozenset  # the checks that must fail
    exact: bool = True  # False: at least these fail
    programs: tuple = BOTH  # the programs the case applies to
    check_as: str = ""  # the --arch to check with; empty: the program's own
    service: bool = False  # checked with --service
    detail: str = ""  # text the failed checks must report


def case(what, damage, expected, **options):
    return Case(what, damage, frozenset(expected), **options)


CASES = [
    case("the real program", unchanged, set()),
    case("an import of libstdc++-6.dll", import_of_foreign_dll, {"imports"}),
    case("KERNEL32.dll renamed libgcc_s.dll", renamed_import("KERNEL32.dll", "libgcc_s.dll"),
         {"imports"}),
    case("an import name outside the image", import_name_outside_image, {"imports"}),
    case("the console subsystem", console_subsystem, {"subsystem"}),
    case("another version text", another_version(check_exe.RT_VERSION, utf16),
         {"version-strings"}),
    case("another product name",
         in_resource(check_exe.RT_VERSION, 1, utf16("Orva Zelmora"), utf16("Orva Zelmorb")),
         {"version-strings"}),
    case("a translation naming no string table", translation_to_unicode_codepage,
         {"version-strings"}),
    case("the next fixed file version", next_fixed_build, {"version-fixed"}),
    case("an elevating manifest",
         in_resource(check_exe.RT_MANIFEST, 1, b'level="asInvoker" uiAccess="false"',
                     b'level="requireAdministrator"      '), {"manifest"}),
    case("a manifest without DPI awareness",
         in_resource(check_exe.RT_MANIFEST, 1, b">true/pm</dpiAware>", b">no     </dpiAware>"),
         {"manifest"}),
    case("a manifest without per-monitor awareness (v2)",
         in_resource(check_exe.RT_MANIFEST, 1, b">PerMonitorV2,", b">System,      "),
         {"manifest"}),
    case("a manifest that is not XML",
         in_resource(check_exe.RT_MANIFEST, 1, b"</assembly>", b"</assemblx>"), {"manifest"}),
    case("the manifest under another type", retyped(check_exe.RT_MANIFEST), {"manifest"}),
    case("a manifest of another version", another_version(check_exe.RT_MANIFEST, str.encode),
         {"manifest"}),
    case("an 8 bpp icon bitmap", icon_bits(8), {"icon"}),
    case("a group icon naming a missing icon", group_entry(12, "H", 99), {"icon"}),
    case("a group entry of 8 bpp", group_entry(6, "H", 8), {"icon"}),
    case("a group entry of 48 pixels", group_entry(0, "B", 48), {"icon"}),
    case("a group entry with the wrong icon size", group_entry(8, "I", 1), {"icon"}),
    case("a logo 188 pixels wide", logo_byte(6, 188), {"logo"}),
    case("a logo without global colour table", logo_byte(10, 0x77), {"logo"}),
    case("a logo cut short", logo_cut_short, {"logo"}),
    case("resource directories in a loop", resource_loop, RESOURCE_CHECKS),
    case("no resource directory", no_resources, RESOURCE_CHECKS),
    case("grown to 512 KiB", grown, {"size"}, programs=("i686",)),
    case("grown to 512 KiB, no limit", grown, set(), programs=("x86_64",)),
    case("i686 checked as x86_64", unchanged, {"pe-format", "machine"}, programs=("i686",),
         check_as="x86_64"),
    case("x86_64 checked as i686", unchanged, {"pe-format", "machine"}, programs=("x86_64",),
         check_as="i686"),
    case("truncated to half", lambda data, pe: data[:len(data) // 2],
         {"imports"} | RESOURCE_CHECKS, exact=False),
    case("truncated to 1 KiB", truncated(1024), {"imports"} | RESOURCE_CHECKS),
    case("truncated to 100 bytes", truncated(100), ALL_CHECKS - {"size"}),
    case("empty", truncated(0), ALL_CHECKS - {"size"}),
    case("an MZ header and nothing else", lambda data, pe: b"MZ" + b"\xff" * 300,
         ALL_CHECKS - {"size"}),
    case("the real service", unchanged, set(), programs=("service-i686",), service=True),
    case("the service's ADVAPI32.dll renamed COMCTL32.dll", SERVICE_WITH_COMCTL32, {"imports"},
         programs=("service-i686",), service=True, detail="the service imports more than "),
    case("the service's message table under another type", retyped(check_exe.RT_MESSAGETABLE),
         {"event-messages"}, programs=("service-i686",), service=True),
    # As the program the service lacks icon, logo and description, but its imports pass.
    case("the same service checked as the program", SERVICE_WITH_COMCTL32,
         {"version-strings", "icon", "logo"}, programs=("service-i686",)),
]


class DamagedCopies(unittest.TestCase):
    def run_cases(self, program):
        data = real_exe(program)
        if data is None:
            self.skipTest(f"{EXE_VARIABLES[program]} is not set")
        pe = check_exe.load(data)
        arch = program.removeprefix("service-")
        for c in CASES:
            if program not in c.programs:
                continue
            with self.subTest(program=program, case=c.what):
                results = check_exe.run_checks(c.damage(data, pe), c.check_as or arch,
                                               VERSION, service=c.service)
                checks = check_exe.SERVICE_CHECKS if c.service else check_exe.CHECKS
                self.assertEqual([r.name for r in results], [n for n, _ in checks])
                failed = {r.name for r in results if not r.ok}
                for r in results:
                    self.assertFalse(r.detail.startswith(check_exe.CHECKER_ERROR), r.detail)
                report = "\n".join(f"{r.ok} {r.name}: {r.detail}" for r in results)
                if c.exact:
                    self.assertEqual(failed, c.expected, report)
                else:
                    self.assertLessEqual(c.expected, failed, report)
                self.assertIn(c.detail, " ".join(r.detail for r in results if not r.ok), report)

    def test_i686(self):
        self.run_cases("i686")

    def test_x86_64(self):
        self.run_cases("x86_64")

    def test_service_i686(self):
        self.run_cases("service-i686")


class RandomDamage(unittest.TestCase):
    """Bytes flipped where the parser looks: every check still reports, none raises."""

    def test_flips(self):
        data = real_exe("i686") or real_exe("x86_64")
        if data is None:
            self.skipTest("no program to damage")
        pe = check_exe.load(data)
        regions = [(0, pe.sections[0].PointerToRawData)]  # the headers
        for s in pe.sections:
            if s.Name.rstrip(b"\0") in (b".idata", b".rsrc"):
                regions.append((s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData))
        rng = random.Random(20260101)
        for attempt in range(300):
            buffer = bytearray(data)
            for _ in range(rng.randint(1, 8)):
                start, end = rng.choice(regions)
                buffer[rng.randrange(start, end)] = rng.randrange(256)
            with self.subTest(attempt=attempt):
                results = check_exe.run_checks(bytes(buffer), "i686", VERSION)
                self.assertEqual(len(results), len(check_exe.CHECKS))
                for r in results:
                    self.assertFalse(r.detail.startswith(check_exe.CHECKER_ERROR), r.detail)


class AgainstObjdump(unittest.TestCase):
    """The parser reads the import table as the binutils of the toolchain do."""

    TOOLS = {"i686": "i686-w64-mingw32-objdump", "x86_64": "x86_64-w64-mingw32-objdump"}

    def test_imported_dlls(self):
        for arch, tool in self.TOOLS.items():
            data = real_exe(arch)
            with self.subTest(arch=arch):
                if data is None or not shutil.which(tool):
                    self.skipTest(f"no {arch} program or no {tool}")
                run = subprocess.run([tool, "-p", os.environ[EXE_VARIABLES[arch]]],
                                     capture_output=True, text=True, timeout=60, check=True)
                expected = sorted(re.findall(r"DLL Name: (\S+)", run.stdout))
                found = sorted(d.name for d in check_exe.imports(check_exe.load(data)))
                self.assertTrue(expected)
                self.assertEqual(found, expected)


class CommandLine(unittest.TestCase):
    """Exit status and output as ctest and the release script see them."""

    def run_checker(self, *args):
        return subprocess.run([sys.executable, CHECKER, "--version-header", VERSION_HEADER, *args],
                              capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))

    def test_status(self):
        data = real_exe("i686") or real_exe("x86_64")
        if data is None:
            self.skipTest("no program to check")
        arch = "i686" if real_exe("i686") else "x86_64"
        with tempfile.TemporaryDirectory() as folder:
            good = os.path.join(folder, "good.exe")
            cut = os.path.join(folder, "cut.exe")
            with open(good, "wb") as f:
                f.write(data)
            with open(cut, "wb") as f:
                f.write(data[:4096])
            cases = [
                ([good, "--arch", arch], 0, len(check_exe.CHECKS)),
                ([cut, "--arch", arch], 1, None),
                ([os.path.join(folder, "missing.exe")], 1, 0),
                ([good, "--version-header", os.path.join(folder, "missing.h")], 1, 0),
                ([good, "--arch", "arm64"], 2, 0),
            ]
            for args, status, oks in cases:
                with self.subTest(args=args[1:]):
                    run = self.run_checker(*args)
                    self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                    self.assertNotIn("Traceback", run.stderr)
                    lines = run.stdout.splitlines()
                    if oks is not None:
                        self.assertEqual(sum(line.startswith("OK ") for line in lines), oks)
                    if status == 1 and "missing" not in " ".join(args):
                        self.assertEqual(sum(line.startswith(("OK ", "FAIL ")) for line in lines),
                                         len(check_exe.CHECKS))


class AllowedDlls(unittest.TestCase):
    def test_names(self):
        cases = [
            ("KERNEL32.dll", True), ("kernel32.DLL", True), ("WININET.DLL", True),
            ("msvcrt.dll", True), ("SHLWAPI.dll", True), ("comctl32.dll", True),
            # No KnownDLL: an import of it would be looked for beside the program first.
            ("VERSION.dll", False),
            ("libstdc++-6.dll", False), ("libgcc_s_dw2-1.dll", False),
            ("libgcc_s_seh-1.dll", False), ("libwinpthread-1.dll", False),
            ("api-ms-win-crt-runtime-l1-1-0.dll", False), ("ucrtbase.dll", False),
            ("kernel32", False), ("kernel32.dll.bak", False), ("xkernel32.dll", False),
        ]
        for name, allowed in cases:
            with self.subTest(name=name):
                self.assertEqual(check_exe.dll_allowed(name), allowed)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/python3
"""The user's guide (docs/readme.txt) opens in Notepad and quotes the program: it must
be plain CRLF text, and every message, label and registry name it quotes must be the
one the sources actually use, so a changed text in the program cannot leave it stale."""

import os
import re
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
README = os.path.join(ROOT, "docs", "readme.txt")
MAX_COLUMNS = 78


def source(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def unescape(literal):
    return re.sub(r"\\(.)", r"\1", literal)


def constant(path, name):
    """The value of a string constant such as kTimeOk = "...", possibly on the next line."""
    found = re.search(name + r'(?:\[\])?\s*=\s*"((?:[^"\\]|\\.)*)"', source(path))
    if not found:
        raise AssertionError(f"{name} not found in {path}")
    return unescape(found.group(1))


def control_text(control):
    found = re.search(r"\{" + control + r',\s*\w+,\s*"([^"]*)"', source("ui/main_window_layout.h"))
    if not found:
        raise AssertionError(f"{control} not found in the layout")
    return found.group(1)


def menu_item(label):
    items = re.findall(r'AppendMenuW\([^";]*L"&?([^"]*)"',
                       source("win32/program/main_window_win32.cpp"))
    if label not in items:
        raise AssertionError(f"menu item {label} not found (have {items})")
    return label


def setting_names():
    # The user's own settings are the managed table's last column.
    return re.findall(r'ControlId::\w+,\s*"(\w+)"\}', source("platform/managed_settings.h"))


def settings_key():
    root = constant("win32/program/names.h", "kSettingsRoot")
    return (root + constant(APP, "kAppName") + "\\"
            + constant(APP, "kSection"))


def default_time_page():
    return re.search(r'set\(ZELMORA_DEFAULT_TIME_URL "([^"]*)"', source("CMakeLists.txt")).group(1)


APP = "app/app_core.h"
SYNC = "timeservice/time_service.h"
FORM = "ui/main_form.h"

# (what, how to get the text from the sources, how the guide must quote it)
QUOTED = [
    ("ok message", lambda: constant(SYNC, "kTimeOk"), "{}"),
    ("difference message", lambda: constant(SYNC, "kInaccuratePrefix").rstrip(), "{} N"),
    ("difference message end", lambda: constant(SYNC, "kInaccurateSuffix").lstrip(), "N {}"),
    ("updated message", lambda: constant(SYNC, "kUpdatedPrefix"), "{}"),
    ("cannot get message", lambda: constant(SYNC, "kCannotGetTime"), "{}"),
    ("cannot set message", lambda: constant(SYNC, "kCannotSetTime"), "{}"),
    ("step refused message", lambda: constant(SYNC, "kStepTooFar"), "{}"),
    ("exit question", lambda: constant(FORM, "kExitQuestion"), '"{}"'),
    ("check button", lambda: control_text("cmdCheckTime"), "\n{}\n"),
    ("synchronize button", lambda: control_text("cmdSynchronize"), "\n{}\n"),
    ("automatic option", lambda: control_text("chkAuto") + " [N] "
     + control_text("lblAuto"), "\n{}\n"),
    ("autorun option", lambda: control_text("chkAutoRun"), '"{}"'),
    ("readme link", lambda: control_text("lblReadme"), '"{}"'),
    ("website link", lambda: control_text("lblWebsite"), '"{}"'),
    ("readme file name", lambda: constant(FORM, "kReadmeFile"), "{}"),
    ("restore menu item", lambda: menu_item("Restore"), '"{}"'),
    ("exit menu item", lambda: menu_item("Exit"), '"{}"'),
    ("settings key", lambda: "HKEY_CURRENT_USER\\" + settings_key(), "{}"),
    ("settings key for reg", lambda: "HKCU\\" + settings_key().rsplit("\\", 1)[0], '"{}"'),
    ("autorun key", lambda: "HKEY_LOCAL_MACHINE\\" + constant(APP, "kRunSubkey"),
     "{}\n"),
    ("autorun key for reg", lambda: "HKLM\\" + constant(APP, "kRunSubkey"), '"{}"'),
    ("autorun value", lambda: constant(APP, "kRunValueName"), "/v {} /f"),
    # The build writes the version in place of its placeholder.
    ("version", lambda: "@VERSION@", "Version {}"),
    ("setup program", lambda: "Zelmora-@VERSION@-setup.exe", "{} /S"),
    ("time page the release replaces", default_time_page, "\n{}\n"),
]


def readme_bytes():
    with open(README, "rb") as f:
        return f.read()


def flowed(text):
    """The guide with each run of blanks inside a line as one, lines kept."""
    return "\n".join(re.sub(r"[ ]+", " ", line.strip()) for line in text.split("\n"))


class Readme(unittest.TestCase):
    def test_plain_windows_text(self):
        data = readme_bytes()
        self.assertTrue(all(b < 0x80 for b in data), "not ASCII")
        bare = data.replace(b"\r\n", b"")
        self.assertNotIn(b"\n", bare, "a line ends in LF alone")
        self.assertNotIn(b"\r", bare, "a line ends in CR alone")
        self.assertTrue(data.endswith(b"\r\n"))
        for number, line in enumerate(data.split(b"\r\n"), 1):
            with self.subTest(line=number):
                self.assertLessEqual(len(line), MAX_COLUMNS)
                self.assertNotIn(b"\t", line)
                self.assertEqual(line, line.rstrip())

    def test_quotes_the_program(self):
        text = flowed(readme_bytes().decode("ascii").replace("\r\n", "\n"))
        joined = text.replace("\n", " ")  # quotes may wrap across lines
        for what, get, form in QUOTED:
            with self.subTest(what=what):
                quote = form.format(get())
                haystack = text if "\n" in form else joined
                self.assertIn(quote, haystack)

    def test_names_every_setting(self):
        names = setting_names()
        self.assertEqual(len(names), 3)
        text = readme_bytes().decode("ascii")
        for name in names:
            with self.subTest(name=name):
                self.assertRegex(text, r"\b" + name + r"\b")


if __name__ == "__main__":
    unittest.main()

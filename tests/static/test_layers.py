#!/usr/bin/python3
"""The product's folders are layers: each includes only from itself and the layers below
it, and only the Win32 layer includes system headers (<windows.h>, <shellapi.h>, ...): the
others include the C++ standard library alone, whose headers have no ".h". The Win32 layer
holds the window program's code, the clock service's and the installers' folder step each in
a folder of its own, beside what all share; none reaches another's, and the shared code none."""

import os
import re
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
LAYERS = ["platform", "timeservice", "app", "ui", "win32"]  # bottom up
EXTRA = {"win32": ["resources"]}  # the ids of the resources it loads
WIN32_PARTS = {"shared": ["shared"], "program": ["shared", "program"],
               "service": ["shared", "service"], "setup": ["shared", "setup"]}


class Layers(unittest.TestCase):
    def test_includes_point_down(self):
        for rank, layer in enumerate(LAYERS):
            allowed = LAYERS[:rank + 1] + EXTRA.get(layer, [])
            paths = [os.path.join(folder, name)
                     for folder, _, names in os.walk(os.path.join(ROOT, layer)) for name in names]
            self.assertTrue(paths, f"the layer {layer}/ is missing or empty")
            for path in paths:
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                for included in re.findall(r'^\s*#\s*include\s+"([^/"]+)/', text, re.MULTILINE):
                    with self.subTest(file=path, includes=included):
                        self.assertIn(included, allowed)
                if layer != "win32":
                    self.assertEqual(re.findall(r'^\s*#\s*include\s+<([^>]*\.h)>', text,
                                                re.MULTILINE | re.IGNORECASE), [], path)

    def test_win32_programs_apart(self):
        win32 = os.path.join(ROOT, "win32")
        self.assertEqual(sorted(os.listdir(win32)), sorted(WIN32_PARTS),
                         "every Win32 file belongs to a program or is shared")
        for part, allowed in WIN32_PARTS.items():
            names = os.listdir(os.path.join(win32, part))
            self.assertTrue(names, f"win32/{part}/ is empty")
            for name in names:
                with open(os.path.join(win32, part, name), encoding="utf-8") as f:
                    for included in re.findall(r'^\s*#\s*include\s+"win32/([^/"]+)/', f.read(),
                                               re.MULTILINE):
                        with self.subTest(file=f"{part}/{name}", includes=included):
                            self.assertIn(included, allowed)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/python3
"""The product's folders are layers: each includes only from itself and the layers below
it, and only the Win32 layer includes system headers (<windows.h>, <shellapi.h>, ...): the
others include the C++ standard library alone, whose headers have no ".h"."""

import os
import re
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
LAYERS = ["platform", "timeservice", "app", "ui", "win32"]  # bottom up
EXTRA = {"win32": ["resources"]}  # the ids of the resources it loads


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


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/python3
"""The administrative templates (resources/zelmora.admx, resources/en-US/zelmora.adml) set what
the program reads: one policy per row of its table, kManagedRows, under its policy key, with
the row's value name, type and bounds, and every policy's texts and presentation present."""

import os
import re
import unittest
import xml.etree.ElementTree as ET

from test_readme import ROOT, SYNC, constant, source

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
ADMX = os.path.join(ROOT, "resources", "zelmora.admx")
ADML = os.path.join(ROOT, "resources", "en-US", "zelmora.adml")
TABLE = "platform/managed_settings.h"


def rows():
    """name -> (type, min, max) of each row of the product's table."""
    found = re.findall(r'\{Managed::\w+, "(\w+)", ManagedType::(\w+), (\d+), (\d+),',
                       source(TABLE))
    return {name: (kind, int(low), int(high)) for name, kind, low, high in found}


def parse(path):
    try:
        return ET.parse(path).getroot()
    except ET.ParseError as error:
        raise AssertionError(f"{path} is not well-formed: {error}") from error


class Templates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.admx, cls.adml = parse(ADMX), parse(ADML)
        cls.policies = {p.get("name"): p for p in cls.admx.iterfind("p:policies/p:policy", NS)}
        cls.strings = {s.get("id") for s in cls.adml.iterfind(".//p:stringTable/p:string", NS)}
        cls.presentations = {p.get("id"): p for p in
                             cls.adml.iterfind(".//p:presentationTable/p:presentation", NS)}

    def test_one_policy_per_row(self):
        self.assertEqual(len(rows()), 5, "the table was not read")
        self.assertEqual(set(self.policies), set(rows()))

    def test_each_policy_writes_what_the_program_reads(self):
        key = constant(TABLE, "kPolicyKey")
        for name, (kind, low, high) in rows().items():
            with self.subTest(policy=name):
                policy = self.policies[name]
                self.assertEqual((policy.get("key"), policy.get("class")), (key, "Machine"))
                elements = list(policy.iterfind("p:elements/*", NS))
                if kind == "Text":
                    self.assertEqual([(e.tag.split("}")[1], e.get("valueName"), e.get("maxLength"))
                                      for e in elements], [("text", name, str(high))])
                elif (low, high) == (0, 1):
                    self.assertEqual(policy.get("valueName"), name)
                    for state, value in (("enabledValue", "1"), ("disabledValue", "0")):
                        self.assertEqual(policy.find(f"p:{state}/p:decimal", NS).get("value"),
                                         value)
                else:
                    self.assertEqual([(e.tag.split("}")[1], e.get("valueName"), e.get("minValue"),
                                       e.get("maxValue")) for e in elements],
                                     [("decimal", name, str(low), str(high))])

    def test_each_policy_has_its_texts_and_presentation(self):
        for name, policy in self.policies.items():
            with self.subTest(policy=name):
                for attribute in ("displayName", "explainText"):
                    text = re.fullmatch(r"\$\(string\.(\w+)\)", policy.get(attribute, ""))
                    self.assertIsNotNone(text, attribute)
                    self.assertIn(text.group(1), self.strings)
                ids = [e.get("id") for e in policy.iterfind("p:elements/*", NS)]
                if not ids:
                    continue
                shown = re.fullmatch(r"\$\(presentation\.(\w+)\)", policy.get("presentation", ""))
                self.assertIsNotNone(shown, "presentation")
                presentation = self.presentations[shown.group(1)]
                self.assertEqual([e.get("refId") for e in presentation], ids)

    def test_quotes_the_program(self):
        explained = ET.tostring(self.adml, encoding="unicode")
        for text in ("kCannotGetTime", "kStepTooFar"):
            with self.subTest(text=text):
                self.assertIn(constant(SYNC, text), explained)

    def test_shipped_in_the_release_zip(self):
        script = source("tools/make-release.sh")
        for archived, path in (("Zelmora/policy/zelmora.admx", "resources/zelmora.admx"),
                               ("Zelmora/policy/en-US/zelmora.adml",
                                "resources/en-US/zelmora.adml")):
            with self.subTest(file=path):
                self.assertRegex(script, re.escape(f'"{archived}" {path} 644'))


if __name__ == "__main__":
    unittest.main()

"""Runs unittest names (module, module.Class) as one ctest test, whose exit code tells
passed (0), failed (1) and skipped (77, ctest's SKIP_RETURN_CODE). Each test method is one
case: failed if it or one of its subtests failed, else skipped if it or any of its subtests
was skipped (a partly checked case did not pass), else passed; a class fixture's failure or
skip counts for each case of its class (a module's for its module). The run fails if a case
failed; else it is skipped, with one line saying how many cases and why, if a case was
skipped or none ran; else it passed.

Where ZELMORA_TEST_RESULTS names a folder, the run writes its counts there as one JSON file
named after NAME... (tools/test-summary.py sums them); runs it starts itself write none. The
file, written first with every case failed and "killed", is rewritten when the run ends.

    python3 run_unittest.py NAME...   (from the folder that holds the modules)
"""

import json
import os
import re
import sys
import unittest
from pathlib import Path

SKIPPED = 77
RANK = {"passed": 0, "skipped": 1, "failed": 2}


class CaseResult(unittest.TextTestResult):
    """The worst outcome and the skip reasons of each case, or of each fixture's cases."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.outcomes = {}  # case id, or "parent." of a fixture -> [outcome, reasons]

    def note(self, test, outcome, reason=None):
        if isinstance(test, unittest.TestCase):  # a subtest counts for its case
            case = getattr(test, "test_case", None)
            key = (case if isinstance(case, unittest.TestCase) else test).id()
        else:  # a fixture, described as "setUpClass (module.Class)"
            key = test.description.rpartition(" (")[2].rstrip(")") + "."
        entry = self.outcomes.setdefault(key, ["passed", set()])
        entry[0] = max(entry[0], outcome, key=RANK.get)
        entry[1] |= {reason} if reason else set()

    def outcome(self, case_id: str) -> tuple:
        found = [entry for key, entry in self.outcomes.items()
                 if key == case_id or key.endswith(".") and case_id.startswith(key)]
        if not found:
            return "skipped", {"not run"}
        return (max((outcome for outcome, _ in found), key=RANK.get),
                set().union(*(reasons for _, reasons in found)))

    def addSuccess(self, test):
        super().addSuccess(test)
        self.note(test, "passed")

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.note(test, "passed")

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        self.note(test, "failed" if err else "passed")

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self.note(test, "skipped", reason)

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.note(test, "failed")

    def addError(self, test, err):
        super().addError(test, err)
        self.note(test, "failed")

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self.note(test, "failed")


def case_ids(suite) -> list:
    return [i for test in suite for i in (
        case_ids(test) if isinstance(test, unittest.TestSuite) else [test.id()])]


def main(names: list) -> int:
    sys.path.insert(0, ".")
    results = os.environ.pop("ZELMORA_TEST_RESULTS", "")
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    cases = case_ids(suite)  # before running: a suite lets go of its tests as it runs them
    path = results and Path(results) / (re.sub(r"[^\w.+-]", "_", "+".join(names)) + ".json")
    if path:  # until the run ends, every case counts as failed: a killed run leaves this
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps({"names": names, "passed": 0, "failed": len(cases),
                                    "skipped": 0, "reasons": [], "killed": True}) + "\n")
    result = unittest.TextTestRunner(verbosity=2, resultclass=CaseResult).run(suite)
    counts, reasons = dict.fromkeys(("passed", "failed", "skipped"), 0), set()
    for case in cases:
        outcome, why = result.outcome(case)
        counts[outcome] += 1
        reasons |= why if outcome == "skipped" else set()
    reasons = sorted(reasons) or (["no test to run"] if not cases else [])
    if path:
        path.write_text(json.dumps({"names": names, **counts, "reasons": reasons}) + "\n")
    if counts["failed"] or not result.wasSuccessful():
        return 1
    if counts["skipped"] or not cases:
        print(f"SKIPPED: {' '.join(names)}: {counts['skipped']} of {len(cases)} cases skipped: "
              f"{'; '.join(reasons)}", flush=True)
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]) if sys.argv[1:] else 2)

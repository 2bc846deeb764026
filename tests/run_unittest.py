"""Runs unittest names (module, module.Class) as one ctest test, whose exit code tells
passed (0), failed (1) and skipped (77, ctest's SKIP_RETURN_CODE): a run in which no test
ran, or every test skipped, did not check anything and must not show as passed.

    python3 run_unittest.py NAME...   (from the folder that holds the modules)
"""

import sys
import unittest

SKIPPED = 77


def main(names: list) -> int:
    sys.path.insert(0, ".")
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    # A class skipped as a whole adds a skip without running a test.
    if result.testsRun <= len(result.skipped):
        reasons = sorted({reason for _, reason in result.skipped}) or ["no test to run"]
        print(f"SKIPPED: {' '.join(names)}: {'; '.join(reasons)}", flush=True)
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]) if sys.argv[1:] else 2)

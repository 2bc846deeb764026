#!/usr/bin/env python3
"""Sums the result files that tests/run_unittest.py wrote during one ctest run: names each run
that skipped cases or had none, with how many and why, and each run killed before it ended
(by ctest's time limit), all of whose cases count as failed; then ends with one line of all cases
passed, failed and skipped (ctest's own tests, such as the unit tests, are not among them).

    tools/test-summary.py RESULTS-FOLDER
"""

import json
import sys
from pathlib import Path


def main(folder: Path) -> int:
    total = dict.fromkeys(("passed", "failed", "skipped"), 0)
    paths = sorted(folder.rglob("*.json"))
    print(f"Summary of {len(paths)} unittest runs:")
    for path in paths:
        run = json.loads(path.read_text())
        for key in total:
            total[key] += run[key]
        cases = sum(run[key] for key in total)
        if run.get("killed"):
            print(f"  {path.relative_to(folder).with_suffix('')}: killed before it ended "
                  f"(its time limit): its {cases} cases count as failed")
        elif run["skipped"] or not cases:
            print(f"  {path.relative_to(folder).with_suffix('')}: {run['skipped']} of {cases} "
                  f"cases skipped: {'; '.join(run['reasons'])}")
    print(f"cases: {total['passed']} passed, {total['failed']} failed, {total['skipped']} skipped")
    return 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])) if sys.argv[1:] else 2)

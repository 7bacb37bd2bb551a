"""Runs the bad-input battery in child interpreters: a case that crashes its interpreter fails
alone, and the remaining cases go on in a fresh one."""
import json
import os
import subprocess
import sys

import pytest

import battery

HERE = os.path.dirname(os.path.abspath(__file__))


def run_battery(names):
    verdicts = {}
    remaining = list(names)
    while remaining:
        child = subprocess.run(
            [sys.executable, os.path.join(HERE, "battery.py"), *remaining],
            capture_output=True, text=True, timeout=600, cwd=HERE,
        )
        started = None
        for line in child.stdout.splitlines():
            record = json.loads(line)
            if "start" in record:
                started = record["start"]
            else:
                verdicts[record["name"]] = record
                started = None
        if started is not None:  # the interpreter died inside this case
            verdicts[started] = {"ok": False, "detail": f"crashed with status {child.returncode}: "
                                                        f"{child.stderr[-2000:]}"}
        elif child.returncode != 0:
            pytest.fail(f"battery runner failed: {child.stderr[-2000:]}")
        remaining = [name for name in remaining if name not in verdicts]
    return verdicts


@pytest.fixture(scope="module")
def verdicts():
    return run_battery(sorted(battery.CASES))


@pytest.mark.parametrize("name", sorted(battery.CASES))
def test_case(name, verdicts):
    verdict = verdicts[name]
    assert verdict["ok"], verdict.get("detail")

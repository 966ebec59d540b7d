"""The station example gives zolvane_phone_test's verdicts, step by step, on the simulator."""

import os
import re
import subprocess
import sys

import pytest

from conftest import FAST, PYTHON_DIR, SOURCE_DIR


def verdicts(output):
    """(number, step, verdict) of each step line of a phone-test report."""
    return re.findall(r"^ *(\d+)  (\S.*?)  +.*?\b(PASS|FAIL|ERROR|SKIP)\b", output, re.MULTILINE)


@pytest.mark.parametrize("options, failed, errors, exit_status", [
    (FAST, [], [], 0),
    (FAST + ";max_power=21.5", ["Maximum power, band 0 ch 384", "Maximum power, band 1 ch 25"], [], 1),
    (FAST + ";max_power=21.5;timeout_on=FETC:CPOW?#1",
     ["Maximum power, band 0 ch 384", "Maximum power, band 1 ch 25"], ["Minimum power, band 0 ch 384"], 3),
    ("address=15", [], ["Open test set GPIB0::14::INSTR"], 3),
])
def test_the_example_gives_the_phone_tests_verdicts(options, failed, errors, exit_status):
    env = dict(os.environ, ZOLVANE_SIM_OPTIONS=options, PYTHONPATH=PYTHON_DIR)
    env.pop("ZOLVANE_SIM_TRACE")
    ours = subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "examples", "python", "phone_test.py")],
                          env=env, capture_output=True, text=True, timeout=120)
    theirs = subprocess.run([os.environ["ZOLVANE_PHONE_TEST"], "--sim-options", options], env=env,
                            capture_output=True, text=True, timeout=120)
    assert len(verdicts(theirs.stdout)) == 23, theirs.stdout + theirs.stderr
    assert [(n, v) for n, _, v in verdicts(ours.stdout)] == [(n, v) for n, _, v in verdicts(theirs.stdout)], \
        ours.stdout + ours.stderr + theirs.stdout
    assert [step for _, step, verdict in verdicts(ours.stdout) if verdict == "FAIL"] == failed
    assert [step for _, step, verdict in verdicts(ours.stdout) if verdict == "ERROR"] == errors
    assert ours.returncode == theirs.returncode == exit_status

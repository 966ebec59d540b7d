"""Runs on the simulated test set: ctest sets ZOLVANE_LIBRARY (the built library),
ZOLVANE_SIM_PATH (the simulator's folder, also first on LD_LIBRARY_PATH), ZOLVANE_HEADER,
ZOLVANE_PROJECT_VERSION and ZOLVANE_PHONE_TEST. Without them the run stops at once."""

import json
import os
import subprocess
import sys

import pytest

NEEDED = ["ZOLVANE_LIBRARY", "ZOLVANE_SIM_PATH", "ZOLVANE_HEADER", "ZOLVANE_PROJECT_VERSION",
          "ZOLVANE_PHONE_TEST"]
_missing = [name for name in NEEDED if not os.environ.get(name)]
if _missing:
    raise pytest.UsageError("run through ctest (ctest -R python_package): %s not set"
                            % ", ".join(_missing))
if os.environ.get("LD_LIBRARY_PATH", "").split(os.pathsep)[0] != os.environ["ZOLVANE_SIM_PATH"]:
    raise pytest.UsageError("the simulator's folder must come first on LD_LIBRARY_PATH")

# No waiting on the simulated phone; the trace shows every command the tests send. The simulator
# reads both when this process first opens a resource manager.
FAST = "reg_delay=0;conn_delay=0;drop_delay=0;handoff_delay=0;meas_delay=0"
os.environ["ZOLVANE_SIM_OPTIONS"] = FAST
TRACE = os.path.join(os.environ.get("TMPDIR", "/tmp"), "zolvane_python_trace_%d.txt" % os.getpid())
os.environ["ZOLVANE_SIM_TRACE"] = TRACE

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIR = os.path.dirname(PYTHON_DIR)
sys.path.insert(0, PYTHON_DIR)

# What a subprocess prints: the outcome of `code` as JSON, the exception's fields when it raised.
_RUNNER = r"""
import json, sys, zolvane
result = {}
try:
    exec(sys.argv[1])
except Exception as error:
    result.update(error=type(error).__name__, message=str(error),
                  status=getattr(getattr(error, "status", None), "name", None),
                  function=getattr(error, "function", None))
print(json.dumps(result))
"""


def run_python(code, env=None, drop=(), pythonpath=PYTHON_DIR):
    """Runs `code` in a fresh interpreter (the simulator reads its options once per process) and
    returns the dict it left in `result`, with the exception's class, message, status and
    function when it raised."""
    environment = dict(os.environ, PYTHONPATH=pythonpath)
    environment.pop("ZOLVANE_SIM_TRACE")
    for name in drop:
        environment.pop(name, None)
    environment.update(env or {})
    done = subprocess.run([sys.executable, "-B", "-c", _RUNNER, code], env=environment,
                          cwd=os.path.dirname(TRACE), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])

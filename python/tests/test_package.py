"""The package against the header, VISA's constants and the project's version; the library search."""

import os
import re
import shutil

import pytest
import pyvisa.constants

import zolvane
from zolvane import raw

from conftest import PYTHON_DIR, run_python

HEADER = open(os.environ["ZOLVANE_HEADER"], encoding="ascii").read()
LIBRARY = os.environ["ZOLVANE_LIBRARY"]
C_TYPES = {"int": raw.INT, "OperMode": raw.INT, "double": raw.DOUBLE, "double *": raw.READING}


def test_declarations_match_the_header():
    prototypes = {}
    for name, params in re.findall(r"ZOLVANE_API int ZOLVANE_CALL (\w+)\(([^)]*)\);", HEADER):
        types = [] if params.strip() == "void" else [
            C_TYPES[re.sub(r"\s*\*", " *", re.sub(r"\s*\b\w+$", "", p.strip()))]
            for p in params.split(",")]
        prototypes[name] = tuple(types)
    assert len(prototypes) == 37
    assert raw.FUNCTIONS == prototypes
    lib = raw.load()
    for name, arguments in raw.FUNCTIONS.items():
        assert getattr(lib, name).argtypes == list(arguments)


def test_constants_match_the_header_and_visa():
    def define(name):
        value = int(re.search(r"#define %s \W*(?:int32_t\W*)?(\w+)" % name, HEADER).group(1), 0)
        return value - (1 << 32) if value & 0x80000000 else value
    assert zolvane.NO_RESULT_VALUE == float(re.search(r"#define NO_RESULT_VALUE (\S+)", HEADER).group(1))
    assert {m.name: m.value for m in zolvane.OperMode} == {
        name: int(v) for name, v in re.findall(r"OPER_MODE_(\w+) = (\d+)", HEADER)}
    for name in ["SUCCESS", "TIMEOUT_OR_NO_CONNECTION", "ERROR_SYSTEM_ERROR", "ERROR_LIBRARY_NFOUND",
                 "ERROR_USER_BUF", "ERROR_INV_PARAMETER"]:
        assert zolvane.Status[name if "ERROR" not in name else "VI_" + name] == define("ZOLVANE_" + name)
    visa = [m for m in zolvane.Status if m.name.startswith("VI_")]
    assert len(visa) == 97
    for member in visa:
        assert member == getattr(pyvisa.constants, member.name), member.name


def test_version_is_the_projects():
    assert zolvane.__version__ == os.environ["ZOLVANE_PROJECT_VERSION"]


@pytest.fixture(scope="module")
def copies(tmp_path_factory):
    """A package with the library beside it, and a second copy of the library elsewhere."""
    root = tmp_path_factory.mktemp("copies")
    shutil.copytree(os.path.join(PYTHON_DIR, "zolvane"), root / "bundled" / "zolvane")
    shutil.copy(LIBRARY, root / "bundled" / "zolvane" / raw.default_name())
    (root / "other").mkdir()
    shutil.copy(LIBRARY, root / "other" / raw.default_name())
    return root


LOAD = "lib = zolvane.raw.load(%s)\nresult['found'] = zolvane.find_library(%s)"
# library= argument, ZOLVANE_LIBRARY, package folder, loader path: what is loaded, or the error.
SEARCH = [
    ("'{other}'", "{missing}", "bundled", "", "{other}"),
    ("'{missing}'", LIBRARY, "bundled", "", "library= does not exist: {missing}"),
    ("None", "{missing}", "bundled", "", "ZOLVANE_LIBRARY does not exist: {missing}"),
    ("None", "{other}", "bundled", "", "{other}"),
    ("None", "", "bundled", "", "{root}/bundled/zolvane/libZolvane.so.1"),
    ("None", "", "source", os.path.dirname(LIBRARY), "libZolvane.so.1"),
    ("None", "", "source", "", "ZOLVANE_LIBRARY not set, no copy at {python}/zolvane/libZolvane.so.1, "
                               "and the loader found no libZolvane.so.1"),
    # ... and says what to set.
    ("None", "", "source", "", "Set ZOLVANE_LIBRARY to the library's path, as in "
                               "ZOLVANE_LIBRARY=<build>/src/libZolvane.so.1"),
]


@pytest.mark.parametrize("argument, variable, package, loader, expected", SEARCH)
def test_library_search(copies, argument, variable, package, loader, expected):
    names = dict(root=copies, other=copies / "other" / raw.default_name(),
                 missing=copies / "missing.so", python=PYTHON_DIR)
    argument, variable, expected = (text.format(**names) for text in (argument, variable, expected))
    result = run_python(LOAD % (argument, argument), pythonpath=str(copies / package)
                        if package == "bundled" else PYTHON_DIR,
                        env={"ZOLVANE_LIBRARY": variable, "LD_LIBRARY_PATH":
                             os.pathsep.join(filter(None, [os.environ["ZOLVANE_SIM_PATH"], loader]))})
    if "error" in result:
        assert result["error"] == "LibraryNotFoundError" and expected in result["message"], result
    else:
        assert result["found"] == expected

"""pip builds the package offline and the installed copy, imported from its prefix, runs."""

import os
import shutil
import subprocess
import sys

from conftest import PYTHON_DIR, run_python


def test_pip_builds_and_installs_offline_and_the_installed_package_runs(tmp_path):
    source = tmp_path / "source"  # pip builds in the tree it is given: a copy keeps ours clean
    shutil.copytree(PYTHON_DIR, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "tests",
                                                                      "__pycache__"))
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check", "--no-cache-dir"]
    offline = ["--no-build-isolation", "--no-index", "--no-deps"]
    # pip install ./python builds this same wheel from the folder, then installs it.
    subprocess.run(pip + ["wheel"] + offline + ["-w", str(tmp_path / "wheels"), str(source)],
                   check=True, capture_output=True)
    (target,) = (tmp_path / "wheels").glob("zolvane-*-py3-none-any.whl")
    subprocess.run(pip + ["install"] + offline + ["--target", str(tmp_path / "site"), str(target)],
                   check=True, capture_output=True)
    result = run_python("result.update(file=zolvane.__file__, version=zolvane.__version__)\n"
                        "import os; result['typed'] = os.path.isfile(os.path.join("
                        "os.path.dirname(zolvane.__file__), 'py.typed'))\n"
                        "with zolvane.TestSet(gpib=14) as ts: result['fer'] = ts.meas_fer()",
                        pythonpath=str(tmp_path / "site"))
    assert result == {"file": str(tmp_path / "site" / "zolvane" / "__init__.py"),
                      "version": os.environ["ZOLVANE_PROJECT_VERSION"], "typed": True, "fer": None}


def test_cmake_install_puts_the_library_beside_the_package(tmp_path):
    subprocess.run(["cmake", "--install", os.environ["ZOLVANE_BUILD_DIR"], "--component", "python",
                    "--prefix", str(tmp_path)], check=True, capture_output=True)
    (folder,) = tmp_path.glob("lib*/zolvane/python")
    result = run_python("result['found'] = zolvane.find_library()\n"
                        "with zolvane.TestSet(gpib=14) as ts: ts.reset()",
                        pythonpath=str(folder), drop=["ZOLVANE_LIBRARY"])
    assert result == {"found": str(folder / "zolvane" / "libZolvane.so.1")}

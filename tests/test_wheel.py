"""`pip wheel .` gives a wheel that installs, imports and type-checks in a fresh virtual environment."""

import importlib.util
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run(*cmd, cwd):
    result = subprocess.run([str(c) for c in cmd], cwd=cwd, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, f"{cmd}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_wheel_installs_in_a_fresh_venv(tmp_path):
    if importlib.util.find_spec("ensurepip") is None:
        pytest.skip("this Python has no ensurepip to seed a fresh virtual environment")
    build = [sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", tmp_path / "dist", ROOT]
    if all(importlib.util.find_spec(m) for m in ("scikit_build_core", "pybind11")) and shutil.which("cmake"):
        build.append("--no-build-isolation")  # the build tools are here already: no download needed
    run(*build, cwd=tmp_path)
    (wheel,) = (tmp_path / "dist").glob("vqmixer-*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "vqmixer-stubs/__init__.pyi" in names
    assert any(n.startswith("vqmixer.") and n.endswith(".so") for n in names)

    venv.create(tmp_path / "venv", with_pip=True)
    python = tmp_path / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel, cwd=tmp_path)
    out = run(python, "-c",
              "import vqmixer\n"
              "X = [[float(i % 2 * 10 + i % 3), float(i % 5)] for i in range(48)]\n"
              "stage = vqmixer.TGaussianMixture().EM_Alg(X, 2)\n"
              "print(vqmixer.__file__, stage.Cls)\n", cwd=tmp_path)
    assert str(tmp_path / "venv") in out and out.split()[-1] == "2"

    if importlib.util.find_spec("mypy") is not None:  # mypy finds the installed stub package (PEP 561)
        probe = tmp_path / "probe.py"
        probe.write_text("import vqmixer\nx: str = vqmixer.TGaussianMixture().Likelihood([[1.0]], vqmixer.RModelStage())\n")
        result = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", python, "--no-error-summary",
                                 "--cache-dir", tmp_path / "cache", probe],
                                cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert 'expression has type "float", variable has type "str"' in result.stdout, result.stdout

"""The shipped type stubs match the built module, and the examples type-check against them."""

import importlib.metadata
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "vqmixer-stubs" / "__init__.pyi"


def load_generator():
    found = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_committed_stubs_match_the_module():
    assert load_generator().generate() == STUB.read_text(), "run: python scripts/gen_stubs.py"


def test_stubs_are_installed_with_the_module():
    files = {str(f): f for f in importlib.metadata.files("vqmixer") or []}
    assert "vqmixer-stubs/__init__.pyi" in files
    assert files["vqmixer-stubs/__init__.pyi"].read_text() == STUB.read_text()


def run_mypy(tmp_path, *targets):
    pytest.importorskip("mypy")
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(STUB, stubs / "vqmixer.pyi")  # the committed stubs, whatever is installed
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         *map(str, targets)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)


def test_mypy_checks_the_examples_and_catches_misuse(tmp_path):
    result = run_mypy(tmp_path, ROOT / "examples")
    assert result.returncode == 0, result.stdout + result.stderr

    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import vqmixer\n"
        "gm = vqmixer.TGaussianMixture()\n"
        "stage = gm.EM_Alg([[1.0, 2.0]], 2.0)\n"          # K must be an int
        "gm.Likelihood([[1.0]], stage=stage)\n"           # positional only
        "stage.Var = 3.0\n"                               # rows of floats
        "n: str = stage.Cls\n"                            # Cls is an int
        "vqmixer.TLindeBuzoGray().K_MeanGeneral([[1.0]], vqmixer.RArg())\n"
    )
    result = run_mypy(tmp_path, misuse)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [3, 4, 5, 6, 7], result.stdout

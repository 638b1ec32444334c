"""Builds and runs the C++ unit tests of the numeric kernels (no Python inside)."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_kernel_unit_tests(tmp_path):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    binary = tmp_path / "test_kernels"
    sources = sorted(str(p) for p in (ROOT / "src" / "native" / "kernels").glob("*.cpp"))
    # tools/sanitize sets TESSERA_SANITIZE: the kernels run under the same checks
    sanitize = (["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-g"]
                if os.environ.get("TESSERA_SANITIZE") else [])
    subprocess.run([compiler, "-std=c++17", "-O2", "-ffp-contract=off", "-pthread", *sanitize,
                    "-I", str(ROOT / "src" / "native"),
                    str(ROOT / "tests" / "native" / "test_kernels.cpp"), *sources,
                    "-o", str(binary)], check=True)
    run = subprocess.run([str(binary)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout

"""Builds the C++ unit tests of the numeric kernels with CMake and runs them
with ctest (no Python inside the programs)."""
import os
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT


def test_kernel_unit_tests():
    cmake = shutil.which("cmake")
    if cmake is None:
        # the build of the package itself needs CMake, so this is a broken environment
        pytest.fail("cmake is not on PATH: the kernel unit tests are built with it")
    # tools/sanitize sets TESSERA_SANITIZE: the kernels run under the same checks
    sanitize = "ON" if os.environ.get("TESSERA_SANITIZE") else "OFF"
    # A kept build folder beside the package's own: a later run, or the next
    # environment of .ci/run, rebuilds only what changed.
    build = ROOT / "build" / ("kernel-tests-sanitize" if sanitize == "ON" else "kernel-tests")
    build.mkdir(parents=True, exist_ok=True)
    steps = [
        [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
         "-DTESSERA_KERNEL_TESTS=ON", f"-DTESSERA_SANITIZE={sanitize}",
         f"-DPython_EXECUTABLE={sys.executable}"],
        [cmake, "--build", str(build), "--target", "kernel_tests", "--parallel", "2"],
        ["ctest", "--output-on-failure"],
    ]
    for step in steps:
        run = subprocess.run(step, cwd=build if step[0] == "ctest" else None,
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stdout + run.stderr

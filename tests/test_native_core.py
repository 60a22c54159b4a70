"""The Python-free core compiles and passes its checks without the interpreter."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
CXX = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


# Also as other processors run it: without SSE2 or SSE4.1 code; and under ThreadSanitizer
# (the threads that read ahead), where the toolchain and the kernel allow it.
@pytest.mark.skipif(CXX is None or not (ROOT / "src" / "native").is_dir(), reason="needs a C++ compiler and the sources")
@pytest.mark.parametrize("flags", [[], ["-DFEMAP_PORTABLE", "-U__SSE2__"], ["-g", "-fsanitize=thread"]],
                         ids=["this", "portable", "tsan"])
def test_core_builds_and_passes_without_python(tmp_path, flags):
    exe = tmp_path / "core_test"
    native = ROOT / "src" / "native"
    tsan = "-fsanitize=thread" in flags
    build = subprocess.run([CXX, "-std=c++20", "-O1", "-pthread", *flags, "-I", str(native), str(ROOT / "tests" / "native" / "core_test.cpp"),
                            *map(str, sorted((native / "text").glob("*.cpp"))), "-o", str(exe)], capture_output=True, text=True)
    if tsan and build.returncode:
        pytest.skip("the compiler cannot build with ThreadSanitizer")
    assert build.returncode == 0, build.stderr
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # (a sanitizer run's, not this program's)
    run = subprocess.run([str(exe)], capture_output=True, text=True, env=env)
    if tsan and "FATAL: ThreadSanitizer" in run.stderr:
        pytest.skip("ThreadSanitizer cannot run here: " + run.stderr.strip().splitlines()[0])
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip() == "ok"


def test_powers_of_five_table_is_the_generated_one():
    script = ROOT / "tools" / "powers_of_five.py"
    made = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=True).stdout
    assert made == (ROOT / "src" / "native" / "text" / "powers_of_five.hpp").read_text()

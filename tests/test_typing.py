"""The type stubs match the native modules, and typed code checks against them."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

MODULES = ["verdin.utils.kindprobe", "verdin.utils.bindnote", "verdin.utils.cdatakit", "verdin.utils.clausetrim",
           "verdin.utils.snippets", "verdin.mapper.stmtloom", "verdin.mapper.mapcheck", "verdin.db.querydeck",
           "verdin.db.txnfront", "verdin.db.asyncfront"]
HERE = os.path.dirname(os.path.abspath(__file__))


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stubs_match_the_runtime(tmp_path):
    done = run("mypy.stubtest", *MODULES, cwd=tmp_path)  # outside the checkout: the installed package
    assert done.returncode == 0, done.stdout + done.stderr


def test_typed_usage_checks(tmp_path):
    done = run("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
               os.path.join(HERE, "typing"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr

"""The examples run as a user would run them."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHINOOK = os.path.join(ROOT, "..", "shared", "data", "chinook", "Chinook_Sqlite.sqlite")


def run(*args):
    done = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart():
    out = run("examples/quickstart.py")
    assert "by F. Baltes:" in out and "after rollback: 5 tracks; track 1 still costs 0.99" in out


@pytest.mark.skipif(not os.path.exists(CHINOOK), reason="the Chinook sample database is not beside the checkout")
def test_chinook_report():
    out = run("examples/chinook/report.py", CHINOOK)
    assert "19 Iron Maiden-ish rock/metal tracks of 8+ minutes" in out
    assert "Os Paralamas Do Sucesso: 27 tracks, 26.73" in out
    assert "rolled back a playlist of 18 tracks: it now has 0" in out
    assert "committed a playlist of 18 tracks: it now has 18" in out

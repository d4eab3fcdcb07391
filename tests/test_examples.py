"""The examples run as a user would run them."""
import importlib.util
import os
import subprocess
import sys
import uuid

import pytest
from sqlalchemy import create_engine, text

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHINOOK = os.path.join(ROOT, "..", "shared", "data", "chinook", "Chinook_Sqlite.sqlite")


def run(*args):
    done = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_quickstart():
    out = run("examples/quickstart.py")
    assert "by F. Baltes:" in out and "after rollback: 5 tracks; track 1 still costs 0.99" in out


@pytest.fixture(params=["sqlite", "postgresql"])
def chinook(request):
    """What report.py takes: the shared SQLite file, or the URL of a fresh PostgreSQL schema that
    load.py has filled from that file."""
    if not os.path.exists(CHINOOK):
        pytest.skip("the Chinook sample database is not beside the checkout")
    if request.param == "sqlite":
        yield CHINOOK
        return
    server = create_engine(request.getfixturevalue("postgres_url"))
    schema = "chinook_" + uuid.uuid4().hex[:10]
    url = server.url.update_query_dict({"options": f"-csearch_path={schema}"}).render_as_string(hide_password=False)
    spec = importlib.util.spec_from_file_location("chinook_load", os.path.join(ROOT, "examples/chinook/load.py"))
    load = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(load)
    try:
        with server.begin() as conn:
            conn.execute(text(f"create schema {schema}"))
        target = create_engine(url)
        load.copy_chinook(CHINOOK, target)
        target.dispose()
        yield url
    finally:
        with server.begin() as conn:
            conn.execute(text(f"drop schema if exists {schema} cascade"))
        server.dispose()


def test_chinook_report(chinook):
    out = run("examples/chinook/report.py", chinook)
    assert "19 Iron Maiden-ish rock/metal tracks of 8+ minutes" in out
    assert "Os Paralamas Do Sucesso: 27 tracks, 26.73" in out
    assert "rolled back a playlist of 18 tracks: it now has 0" in out
    assert "committed a playlist of 18 tracks: it now has 18" in out

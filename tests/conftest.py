import os
import socket
import uuid

import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.pool import NullPool

ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
MARIADB_URL = os.environ.get("VERDIN_MARIADB_URL", "mysql+pymysql://root@127.0.0.1:3306/test")


@pytest.fixture
def arg_type_message():
    return ARG_TYPE.format


def _mariadb_reason():
    """None when MariaDB answers, else why not."""
    try:
        with socket.create_connection(("127.0.0.1", 3306), timeout=2):
            pass
        engine = create_engine(MARIADB_URL, poolclass=NullPool)
        with engine.connect() as conn:
            conn.execute(text("select 1"))
        return None
    except Exception as exc:  # pragma: no cover - depends on the machine
        return f"MariaDB at {MARIADB_URL} is not reachable: {exc}"


@pytest.fixture(scope="session")
def mariadb_url():
    reason = _mariadb_reason()
    if reason:
        if os.environ.get("VERDIN_REQUIRE_MARIADB"):
            pytest.fail(reason)
        pytest.skip(reason)
    return MARIADB_URL


@pytest.fixture(params=["sqlite", "mariadb"])
def db_url(request, tmp_path):
    if request.param == "sqlite":
        return f"sqlite:///{tmp_path / 'verdin.db'}"
    return request.getfixturevalue("mariadb_url")


@pytest.fixture
def engine(db_url):
    engine = create_engine(db_url)
    yield engine
    engine.dispose()


@pytest.fixture
def fresh(db_url):
    """Runs a query on a brand-new connection: what other sessions see as committed."""
    check = create_engine(db_url, poolclass=NullPool)

    def query(sql, **params):
        with check.connect() as conn:
            return conn.execute(text(sql), params).all()

    yield query
    check.dispose()


@pytest.fixture
def table(engine):
    """A fresh table `name` (id autoincrement, name, n) dropped afterwards."""
    name = "t_" + uuid.uuid4().hex[:10]
    pk = "integer primary key autoincrement" if engine.dialect.name == "sqlite" else "integer primary key auto_increment"
    with engine.begin() as conn:
        conn.execute(text(f"create table {name} (id {pk}, name varchar(50), n integer)"))
    yield name
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))

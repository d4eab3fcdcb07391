"""Read replicas: where each call runs, the back-off of a replica that cannot be reached, bad input;
on SQLite files standing in for servers, and on a real PostgreSQL hot standby."""
import asyncio
import logging
import os
import subprocess
import time
import uuid

import pytest
from sqlalchemy import column, create_engine, event, insert, select, table, text
from sqlalchemy.exc import OperationalError
from sqlalchemy.ext.asyncio import create_async_engine

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLOSED_PORT = "postgresql+psycopg://postgres@127.0.0.1:1/test"
MAPPER = """<mapper namespace="r">
  <select id="who">select name from {t} order by name</select>
  <update id="add">insert into {t} (name) values (#{{name}})</update>
  <select id="gone">select name from no_such_table</select>
</mapper>"""
WHO = text("select name from t order by name")


@pytest.fixture
def servers(tmp_path):
    """SQLite files standing in for servers: each holds a table t whose one row names the file."""

    def make(*names):
        urls = {}
        for name in names:
            urls[name] = f"sqlite:///{tmp_path / name}.db"
            engine = create_engine(urls[name])
            with engine.begin() as conn:
                conn.execute(text("create table t (name varchar(20))"))
                conn.execute(text("insert into t values (:name)"), {"name": name})
            engine.dispose()
        return urls

    return make


def mappers(tmp_path, t="t"):
    path = tmp_path / f"{t}.xml"
    path.write_text(MAPPER.format(t=t))
    return {"r": ParseMapper(str(path))}


def names(url):
    engine = create_engine(url)
    try:
        with engine.connect() as conn:
            return [r[0] for r in conn.execute(text("select name from t order by name"))]
    finally:
        engine.dispose()


def attempts(engine):
    """A list that grows by one at every attempt to connect to `engine`."""
    seen = []
    event.listen(engine, "do_connect", lambda *args: seen.append(1))
    return seen


def test_reads_rotate_over_the_replicas_and_everything_else_runs_on_the_primary(servers, tmp_path):
    urls = servers("primary", "r1", "r2")
    primary, r1, r2 = (create_engine(u) for u in urls.values())
    f = VerdinSqlSession(mappers(tmp_path), primary, replicas=[r1, r2])
    assert f.replicas == (r1, r2)
    def who(**kw):
        return f.execute_sql("who", "r", {}, **kw)
    assert [who(), who(), who(primary=True), who(page=Page(1, 5))["list"]] == [
        [{"name": "r1"}], [{"name": "r2"}], [{"name": "primary"}], [{"name": "r1"}]]
    t = table("t", column("name"))
    assert [f.select_one(WHO), f.select_list(WHO), f.select_page(WHO, Page(1, 1))["list"],
            f.select_one_orm1(select(t.c.name)), f.select_all_orm2(select(t.c.name)),
            f.select_list(WHO, primary=True)] == [
        {"name": "r2"}, [{"name": "r1"}], [{"name": "r2"}], {"name": "r1"}, ["r2"], [{"name": "primary"}]]
    # A write that returns rows through a select method is still a write.
    assert f.select_one_orm2(insert(t).values(name="orm").returning(t.c.name)) == "orm"
    assert f.execute_sql("add", "r", {"name": "w"}) == 1
    f.begin_tx()
    assert who() == [{"name": "orm"}, {"name": "primary"}, {"name": "w"}]
    f.close()
    with f.transaction():
        assert f.select_one(WHO) == {"name": "orm"}
    assert f.execute_in_connection(lambda s: s.execute(WHO).scalar()) == "orm"
    assert [names(u) for u in urls.values()] == [["orm", "primary", "w"], ["r1"], ["r2"]]
    assert who() == [{"name": "r1"}]
    with pytest.raises(TypeError, match=r"takes from 2 to 3 positional arguments but 4 were given"):
        f.select_list(WHO, None, True)


def test_the_statement_log_names_the_server(servers, tmp_path, caplog):
    urls = servers("primary", "r1")
    f = VerdinSqlSession(mappers(tmp_path), create_engine(urls["primary"]),
                         replicas=[create_engine(CLOSED_PORT), create_engine(urls["r1"])])
    with caplog.at_level(logging.DEBUG, logger="verdin.sql"):
        f.execute_sql("who", "r", {})
        f.execute_sql("who", "r", {}, primary=True)
        f.execute_sql("add", "r", {"name": "w"})
        with pytest.raises(OperationalError):
            f.execute_sql("gone", "r", {})
    assert [r.server for r in caplog.records if r.name == "verdin.sql"] == [
        urls["r1"], urls["primary"], urls["primary"], urls["r1"]]


def test_async_reads_rotate_over_the_replicas_and_everything_else_runs_on_the_primary(servers, tmp_path):
    urls = servers("primary", "r1", "r2")

    async def main():
        primary, r1, r2 = (create_async_engine(u.replace("sqlite", "sqlite+aiosqlite")) for u in urls.values())
        f = AsyncVerdinSqlSession(mappers(tmp_path), primary, replicas=[r1, r2])
        def who(**kw):
            return f.execute_sql("who", "r", {}, **kw)
        try:
            seen = [f.replicas == (r1, r2), await who(), await who(), await who(primary=True),
                    (await who(page=Page(1, 5)))["list"], await f.execute_sql("add", "r", {"name": "w"})]
            async with f.transaction():
                seen.append(await who())
            return seen
        finally:
            for engine in (primary, r1, r2):
                await engine.dispose()

    assert asyncio.run(main()) == [True, [{"name": "r1"}], [{"name": "r2"}], [{"name": "primary"}],
                                   [{"name": "r1"}], 1, [{"name": "primary"}, {"name": "w"}]]
    assert [names(u) for u in urls.values()] == [["primary", "w"], ["r1"], ["r2"]]


def test_a_replica_that_cannot_be_reached_is_skipped_for_the_back_off(servers, tmp_path, caplog):
    urls = servers("primary", "r1", "empty")
    primary, r1 = create_engine(urls["primary"]), create_engine(urls["r1"])
    down = create_engine(CLOSED_PORT)
    tried = attempts(down)
    f = VerdinSqlSession(mappers(tmp_path), primary, replicas=[down, r1])
    with caplog.at_level(logging.WARNING, logger="verdin.replicas"):
        assert [f.select_one(WHO)["name"] for _ in range(4)] == ["r1"] * 4
    assert len(tried) == 1
    assert [r.getMessage().split(":")[0:2] for r in caplog.records] == [
        ["replica postgresql+psycopg", "//postgres@127.0.0.1"]]
    # Without a back-off every read whose turn it is tries the replica again.
    again = VerdinSqlSession(mappers(tmp_path), primary, replicas=[down, r1])
    again.replica_backoff = 0
    assert [again.select_one(WHO)["name"] for _ in range(4)] == ["r1"] * 4
    assert len(tried) == 3
    # With no replica left the primary serves.
    alone = VerdinSqlSession(mappers(tmp_path), primary, replicas=[down])
    assert alone.select_one(WHO) == {"name": "primary"}
    # An error of the statement itself is the caller's, even though the primary would answer.
    empty = create_engine(urls["empty"])
    with empty.begin() as conn:
        conn.execute(text("drop table t"))
    broken = VerdinSqlSession(mappers(tmp_path), primary, replicas=[empty])
    with pytest.raises(OperationalError, match="no such table: t"):
        broken.select_one(WHO)


def test_async_replica_that_cannot_be_reached_is_skipped(servers, tmp_path):
    urls = servers("primary")

    async def main():
        primary, down = create_async_engine(urls["primary"].replace("sqlite", "sqlite+aiosqlite")), create_async_engine(CLOSED_PORT)
        tried = attempts(down.sync_engine)
        f = AsyncVerdinSqlSession(mappers(tmp_path), primary, replicas=[down])
        try:
            return [await f.execute_sql("who", "r", {}) for _ in range(3)], len(tried)
        finally:
            await primary.dispose()

    assert asyncio.run(main()) == ([[{"name": "primary"}]] * 3, 1)


def test_bad_replica_lists(servers, tmp_path):
    urls = servers("primary", "r1")
    primary = create_engine(urls["primary"])
    async_primary = create_async_engine(urls["primary"].replace("sqlite", "sqlite+aiosqlite"))
    async_r1 = create_async_engine(urls["r1"].replace("sqlite", "sqlite+aiosqlite"))
    m = mappers(tmp_path)
    cases = [
        (lambda: VerdinSqlSession(m, primary, replicas=[create_engine(urls["r1"]), primary]), ValueError,
         "replicas[1] is the primary engine (data_source): a replica is another server"),
        (lambda: VerdinSqlSession(m, primary, replicas=[async_r1]), TypeError,
         "replicas[0] is an AsyncEngine: VerdinSqlSession reads through Engine objects "
         "(AsyncVerdinSqlSession takes AsyncEngine replicas)"),
        (lambda: VerdinSqlSession(m, primary, replicas=[urls["r1"]]), TypeError,
         "replicas[0] has incorrect type (expected Engine, got str)"),
        (lambda: VerdinSqlSession(m, primary, replicas=create_engine(urls["r1"])), TypeError,
         "Argument 'replicas' has incorrect type (expected list, got Engine)"),
        (lambda: AsyncVerdinSqlSession(m, async_primary, replicas=[primary]), TypeError,
         "replicas[0] is an Engine: AsyncVerdinSqlSession reads through AsyncEngine objects "
         "(VerdinSqlSession takes Engine replicas)"),
        (lambda: AsyncVerdinSqlSession(m, async_primary, replicas=(async_primary,)), ValueError,
         "replicas[0] is the primary engine (data_source): a replica is another server"),
    ]
    for make, error, message in cases:
        with pytest.raises(error) as exc:
            make()
        assert str(exc.value) == message
    # No replicas at all, as in a deployment that has none yet: the primary serves every read.
    f = VerdinSqlSession(m, primary, replicas=[])
    assert (f.replicas, f.select_one(WHO)) == ((), {"name": "primary"})


def standby(command):
    # Not under a sanitizer runtime preloaded for this interpreter: the server would start with it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "pg_standby.sh"), command], check=True, timeout=120,
                   env=env)


def test_postgres_hot_standby(postgres_url, standby_to_stop, tmp_path):
    standby_url = standby_to_stop
    name = "t_" + uuid.uuid4().hex[:10]
    primary = create_engine(postgres_url)
    replica = create_engine(standby_url, pool_pre_ping=True)
    with primary.begin() as conn:
        conn.execute(text(f"create table {name} (name varchar(20))"))
    f = VerdinSqlSession(mappers(tmp_path, name), primary, replicas=[replica])
    in_recovery = text("select pg_is_in_recovery() as standby")
    try:
        assert f.execute_sql("add", "r", {"name": "a"}) == 1
        assert f.execute_sql("who", "r", {}, primary=True) == [{"name": "a"}]
        deadline = time.monotonic() + 30
        while f.execute_sql("who", "r", {}) != [{"name": "a"}] and time.monotonic() < deadline:
            time.sleep(0.05)
        assert f.execute_sql("who", "r", {}) == [{"name": "a"}]
        assert [f.select_one(in_recovery), f.select_one(in_recovery, primary=True)] == [
            {"standby": True}, {"standby": False}]
        # The standby holds a pooled connection when it goes away; the next read falls back.
        standby("stop")
        try:
            assert [f.select_one(in_recovery), f.execute_sql("who", "r", {})] == [{"standby": False}, [{"name": "a"}]]
        finally:
            standby("up")
    finally:
        with primary.begin() as conn:
            conn.execute(text(f"drop table {name}"))
        replica.dispose()
        primary.dispose()

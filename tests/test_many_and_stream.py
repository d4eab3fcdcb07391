"""execute_many and stream_sql on both facades: one transaction per call, batches, the pool."""
import asyncio
import gc
import logging

import pytest
from sqlalchemy import event
from sqlalchemy.exc import DBAPIError
from sqlalchemy.ext.asyncio import create_async_engine

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

ASYNC_DRIVERS = {"sqlite": "sqlite+aiosqlite", "mysql": "mysql+aiomysql", "postgresql": "postgresql+psycopg"}
MAPPER = """<mapper namespace="b">
  <insert id="put">insert into {table} (name, n) values (#{{name}}, <choose><when test="params.get('n') is None">0</when>
    <otherwise>#{{n}}</otherwise></choose>)<if test="params.get('bad')"> returning nothing from nowhere</if></insert>
  <select id="names">select name from {table} order by id</select>
  <select id="ns" resultType="int">select n from {table} order by id</select>
  <select id="gone">select n from no_such_table</select>
</mapper>"""


@pytest.fixture
def mappers(table, tmp_path):
    path = tmp_path / "b.xml"
    path.write_text(MAPPER.format(table=table))
    return {"b": ParseMapper(str(path))}


@pytest.fixture(params=["sync", "async"])
def call(request, db_url, engine, mappers):
    """call(method, *args) on the sync facade, or on the async one in its own event loop;
    call.transaction(steps, fail) runs such calls in one transaction() block (raising at its end
    when told to); call.pool() counts the checked-out connections."""
    if request.param == "sync":
        db = VerdinSqlSession(mappers, data_source=engine)

        def run(method, *args, **kw):
            result = getattr(db, method)(*args, **kw)
            return list(result) if method == "stream_sql" else result

        def in_transaction(steps, fail=False):
            with db.transaction():
                done = [run(*step) for step in steps]
                if fail:
                    raise RuntimeError("stop")
                return done

        run.transaction, run.pool = in_transaction, engine.pool.checkedout
        yield run
        return
    scheme, rest = db_url.split("://", 1)
    loop = asyncio.new_event_loop()
    async_engine = create_async_engine(f"{ASYNC_DRIVERS[scheme.split('+')[0]]}://{rest}")
    adb = AsyncVerdinSqlSession(mappers, async_engine)

    async def arun(method, *args, **kw):
        if method == "stream_sql":
            return [row async for row in adb.stream_sql(*args, **kw)]
        return await getattr(adb, method)(*args, **kw)

    def run(method, *args, **kw):
        return loop.run_until_complete(arun(method, *args, **kw))

    def in_transaction(steps, fail=False):
        async def block():
            async with adb.transaction():
                done = [await arun(*step) for step in steps]
                if fail:
                    raise RuntimeError("stop")
                return done

        return loop.run_until_complete(block())

    run.transaction, run.pool = in_transaction, async_engine.sync_engine.pool.checkedout
    yield run
    loop.run_until_complete(async_engine.dispose())
    loop.close()


def names(fresh, table):
    return [r[0] for r in fresh(f"select name from {table} order by id")]


def test_execute_many_sends_each_run_of_equal_sql_together_in_one_transaction(call, engine, table, fresh):
    executed = []
    event.listen(engine, "before_cursor_execute", lambda *a: executed.append(a[5]))  # executemany flag
    sets = [{"name": "a", "n": 1}, {"name": "b", "n": 2}, {"name": "c"}, {"name": "d"}, {"name": "e", "n": 5}]
    assert call("execute_many", "put", "b", sets) == 5
    assert fresh(f"select name, n from {table} order by id") == [("a", 1), ("b", 2), ("c", 0), ("d", 0), ("e", 5)]
    if call.pool is engine.pool.checkedout:  # the async engine's events are its own
        assert executed == [True, True, False]
    with pytest.raises(DBAPIError):  # the last set fails: the first four go too
        call("execute_many", "put", "b", sets[:4] + [{"name": "f", "bad": True}])
    assert names(fresh, table) == list("abcde") and call.pool() == 0
    assert call("execute_many", "put", "b", []) == 0


def test_execute_many_refuses_bad_sets_before_sending_anything(call, table, fresh):
    with pytest.raises(TypeError, match=r"^Argument 'params_list\[1\]' has incorrect type \(expected dict, got tuple\)$"):
        call("execute_many", "put", "b", [{"name": "a", "n": 1}, ("b", 2)])
    with pytest.raises(ValueError, match="^execute_many runs inserts, updates and deletes; statement 'names' of "
                                         "namespace 'b' is a select$"):
        call("execute_many", "names", "b", [{}])
    assert names(fresh, table) == []


def test_stream_sql_maps_rows_in_batches_and_gives_the_connection_back(call, table):
    call("execute_many", "put", "b", [{"name": f"r{i}", "n": i} for i in range(7)])
    assert call("stream_sql", "names", "b", batch_size=3) == [{"name": f"r{i}"} for i in range(7)]
    assert call("stream_sql", "ns", "b", None, int, 2) == list(range(7))
    assert call.pool() == 0
    with pytest.raises(ValueError, match="^stream_sql reads the rows of a select; statement 'put' of namespace 'b'"):
        call("stream_sql", "put", "b", {"name": "x"})


def test_stream_sql_is_logged_when_it_ends_and_its_failure_noted(call, table, caplog):
    call("execute_many", "put", "b", [{"name": f"r{i}", "n": i} for i in range(3)])
    caplog.set_level(logging.DEBUG, logger="verdin.sql")
    caplog.clear()
    assert call("stream_sql", "ns", "b", None, int, 2) == [0, 1, 2]
    with pytest.raises(DBAPIError) as failed:
        call("stream_sql", "gone", "b")
    assert failed.value.__notes__ == ["while running statement 'gone' of namespace 'b'"]
    assert [(r.namespace, r.sql_id, r.sql) for r in caplog.records] == [
        ("b", "ns", f"select n from {table} order by id"), ("b", "gone", "select n from no_such_table")]
    assert all(type(r.duration_ms) is float and r.duration_ms > 0 for r in caplog.records)
    assert call.pool() == 0


def test_both_join_a_bound_transaction(call, table, fresh):
    steps = [("execute_many", "put", "b", [{"name": "x", "n": 1}, {"name": "y", "n": 2}]), ("stream_sql", "names", "b")]
    with pytest.raises(RuntimeError, match="^stop$"):
        call.transaction(steps, fail=True)
    assert names(fresh, table) == [] and call.pool() == 0
    assert call.transaction(steps) == [2, [{"name": "x"}, {"name": "y"}]]
    assert names(fresh, table) == ["x", "y"]


def test_a_stream_closed_early_or_dropped_gives_its_connection_back(engine, mappers):
    db = VerdinSqlSession(mappers, data_source=engine)
    db.execute_many("put", "b", [{"name": f"r{i}", "n": i} for i in range(5)])
    with db.stream_sql("names", "b", batch_size=2) as rows:
        assert next(rows) == {"name": "r0"} and engine.pool.checkedout() == 1
    assert engine.pool.checkedout() == 0
    rows = db.stream_sql("names", "b", batch_size=2)
    next(rows)
    del rows
    gc.collect()
    assert engine.pool.checkedout() == 0

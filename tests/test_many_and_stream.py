"""execute_many and stream_sql on both facades: one transaction per call, batches, the pool."""
import asyncio
import gc
import logging

import pytest
import sqlalchemy
from sqlalchemy import event
from sqlalchemy.exc import DBAPIError, StatementError
from sqlalchemy.ext.asyncio import create_async_engine

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper import stmtloom
from verdin.mapper.stmtloom import ParseMapper

ASYNC_DRIVERS = {"sqlite": "sqlite+aiosqlite", "mysql": "mysql+aiomysql", "postgresql": "postgresql+psycopg"}
MAPPER = """<mapper namespace="b">
  <insert id="put">insert into {table} (name, n) values (#{{name}}, <choose><when test="params.get('n') is None">0</when>
    <otherwise>#{{n}}</otherwise></choose>)<if test="params.get('bad')"> returning nothing from nowhere</if></insert>
  <select id="names">select name from {table} order by id</select>
  <select id="ns" resultType="int">select n from {table} order by id</select>
  <select id="gone">select n from no_such_table</select>
  <insert id="loose">insert into {table} (name, n) values (#{{name}}, :n)</insert>
  <update id="twice">update {table} set n = #{{n}} + #{{n}} where name = #{{name}}</update>
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


# Runs of equal SQL go to the driver directly when nothing could tell the difference: these check
# that every case that could (or that exercises the direct path) gives what a session gives.


def test_execute_many_a_set_lacking_a_bind_gets_sqlalchemys_error_and_sends_nothing(call, table, fresh):
    with pytest.raises(StatementError, match="A value is required for bind parameter 'n'") as failed:
        call("execute_many", "loose", "b", [{"name": "a"}, {"name": "b"}])
    assert failed.value.__notes__ == ["while running statement 'loose' of namespace 'b'"]
    assert names(fresh, table) == [] and call.pool() == 0


def test_execute_many_logs_each_run_and_notes_the_run_that_fails(call, table, fresh, caplog):
    caplog.set_level(logging.DEBUG, logger="verdin.sql")
    assert call("execute_many", "put", "b", [{"name": "a", "n": 1}, {"name": "b"}, {"name": "c"}]) == 3
    with pytest.raises(DBAPIError) as failed:
        call("execute_many", "put", "b", [{"name": "d", "n": 4}, {"name": "e", "n": 5, "bad": True}])
    assert failed.value.__notes__ == ["while running statement 'put' of namespace 'b'"]
    insert = f"insert into {table} (name, n) values (:name, "
    assert [(r.namespace, r.sql_id, r.sql) for r in caplog.records] == [
        ("b", "put", insert + ":n)"), ("b", "put", insert + "0)"),
        ("b", "put", insert + ":n)"), ("b", "put", insert + ":n) returning nothing from nowhere")]
    assert names(fresh, table) == list("abc") and call.pool() == 0


@pytest.mark.parametrize("first", [None, "put"])
def test_execute_many_joins_a_bound_transaction_that_rolls_back(call, table, fresh, first):
    steps = [("execute_many", "put", "b", [{"name": "x", "n": 1}, {"name": "y"}, {"name": "z", "n": 3}])]
    if first:  # the session already holds its connection when execute_many runs
        steps.insert(0, ("execute_sql", first, "b", {"name": "w", "n": 0}))
    with pytest.raises(RuntimeError, match="^stop$"):
        call.transaction(steps, fail=True)
    assert names(fresh, table) == [] and call.pool() == 0
    assert call.transaction(steps)[-1] == 3
    assert fresh(f"select name, n from {table} order by id")[-3:] == [("x", 1), ("y", 0), ("z", 3)]


def test_execute_many_alternating_runs_and_repeated_binds(call, table, fresh):
    sets = [{"name": "a", "n": 1}, {"name": "b"}, {"name": "c", "n": 3}, {"name": "d"}, {"name": "e", "n": 5}]
    assert call("execute_many", "put", "b", sets) == 5
    assert call("execute_many", "twice", "b", [{"name": "a", "n": 2}, {"name": "c", "n": 7}, {"name": "q", "n": 1}]) == 2
    assert fresh(f"select name, n from {table} order by id") == [("a", 4), ("b", 0), ("c", 14), ("d", 0), ("e", 5)]


def test_execute_many_engine_listeners_see_every_run_as_a_statement(engine, mappers, table, fresh):
    db = VerdinSqlSession(mappers, data_source=engine)
    db.execute_many("put", "b", [{"name": "a", "n": 1}, {"name": "b", "n": 2}])  # no listener yet
    seen = []
    event.listen(engine, "before_execute", lambda conn, clause, *rest: seen.append(("execute", clause.text)))
    event.listen(engine, "before_cursor_execute", lambda conn, cursor, sql, params, context, many: seen.append(
        ("cursor", many, len(params) if many else 1)))
    assert db.execute_many("put", "b", [{"name": "c", "n": 3}, {"name": "d", "n": 4}, {"name": "e"}]) == 3
    put = [text for kind, text, *_ in seen if kind == "execute"]
    assert [entry[0] for entry in seen] == ["execute", "cursor", "execute", "cursor"]
    assert put[0].endswith("(:name, :n)") and put[1].endswith("(:name, 0)")
    assert [entry[1:] for entry in seen if entry[0] == "cursor"] == [(True, 2), (False, 1)]
    assert names(fresh, table) == list("abcde")


@pytest.mark.parametrize("override", ["insert", "to_prepared_statement"])
def test_execute_many_goes_through_overridden_mapper_methods(engine, table, tmp_path, fresh, override):
    calls = []
    if override == "insert":
        class Mapper(ParseMapper):
            def insert(self, sql_id, params, primary_key=None):
                calls.append(params["name"])
                return super().insert(sql_id, params, primary_key)
    else:
        class Mapper(ParseMapper):
            @staticmethod
            def to_prepared_statement(ret, param):
                calls.append(param["name"])
                return ParseMapper.to_prepared_statement(ret, param.get("name") == "b" and {**param, "n": 9} or param)
    path = tmp_path / "o.xml"
    path.write_text(MAPPER.format(table=table))
    db = VerdinSqlSession({"b": Mapper(str(path))}, data_source=engine)
    assert db.execute_many("put", "b", [{"name": "a", "n": 1}, {"name": "b", "n": 2}]) == 2
    assert calls == ["a", "b"]
    expected = [("a", 1), ("b", 2 if override == "insert" else 9)]
    assert fresh(f"select name, n from {table} order by id") == expected


def test_execute_many_uses_text_replaced_by_a_mapper_expression(engine, table, tmp_path, fresh, monkeypatch):
    made = []

    def replace():  # from this set on every statement is made by the replacement
        monkeypatch.setattr(stmtloom, "text", lambda sql: made.append(sql) or sqlalchemy.text(sql))
        return True

    path = tmp_path / "h.xml"
    path.write_text(f"""<mapper namespace="h"><insert id="put">insert into {table} (name, n)
      values (#{{name}}, <if test="params['hook']()">#{{n}}</if>)</insert></mapper>""")
    db = VerdinSqlSession({"h": ParseMapper(str(path))}, data_source=engine)
    sets = [{"name": "a", "n": 1, "hook": lambda: True}, {"name": "b", "n": 2, "hook": replace},
            {"name": "c", "n": 3, "hook": lambda: True}]
    assert db.execute_many("put", "h", sets) == 3
    assert made == [f"insert into {table} (name, n) values (:name, :n)"] * 2
    assert fresh(f"select name, n from {table} order by id") == [("a", 1), ("b", 2), ("c", 3)]


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


def test_a_stream_whose_bound_session_ended_reads_no_further_and_leaves_its_connection_alone(engine, mappers, table,
                                                                                             fresh):
    db = VerdinSqlSession(mappers, data_source=engine)
    db.execute_many("put", "b", [{"name": f"r{i}", "n": i} for i in range(6)])
    with db.transaction():
        left, read_on = db.stream_sql("names", "b", batch_size=2), db.stream_sql("ns", "b", None, int, 2)
        assert next(left) == {"name": "r0"} and next(read_on) == 0
    with pytest.raises(RuntimeError, match="^the session this stream reads in ended its transaction"):
        list(read_on)
    with db.transaction():  # on the pooled connection the streams read on
        db.execute_sql("put", "b", {"name": "x", "n": 1})
        left.close()
        db.execute_sql("put", "b", {"name": "y", "n": 2})
    db.begin_tx()
    rows = db.stream_sql("names", "b", batch_size=2)
    next(rows)
    db.commit()
    db.execute_sql("put", "b", {"name": "z", "n": 3})
    with pytest.raises(RuntimeError, match="^the session this stream reads in ended its transaction"):
        list(rows)
    db.commit()
    db.close()
    assert names(fresh, table)[-3:] == ["x", "y", "z"] and engine.pool.checkedout() == 0


def test_a_stream_read_to_its_last_row_ends_quietly_after_its_bound_session_commits(engine, mappers, table):
    db = VerdinSqlSession(mappers, data_source=engine)
    db.execute_many("put", "b", [{"name": f"r{i}", "n": i} for i in range(3)])
    db.begin_tx()
    rows = db.stream_sql("names", "b", batch_size=10)
    got = [next(rows) for _ in range(3)]
    db.commit()  # nothing was left to read: the stream ends, it did not lose rows
    assert list(rows) == [] and got == [{"name": "r0"}, {"name": "r1"}, {"name": "r2"}]
    db.close()
    assert engine.pool.checkedout() == 0

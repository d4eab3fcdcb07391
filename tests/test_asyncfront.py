"""The async facade: the sync facade's results and errors, one binding per task, on the three databases."""
import asyncio
import importlib.util
import os

import pytest
from sqlalchemy import event
from sqlalchemy.exc import DBAPIError
from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine
from sqlalchemy.orm import Session

from verdin.db.asyncfront import AsyncVerdinSqlSession
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ASYNC_DRIVERS = {"sqlite": "sqlite+aiosqlite", "mysql": "mysql+aiomysql", "postgresql": "postgresql+psycopg"}


@pytest.fixture
def async_url(db_url):
    scheme, rest = db_url.split("://", 1)
    return f"{ASYNC_DRIVERS[scheme.split('+')[0]]}://{rest}"


def run(url, mappers, work, **engine_kw):
    """asyncio.run(work(facade, engine)) over a new async engine, disposed afterwards."""

    async def main():
        engine = create_async_engine(url, **engine_kw)
        try:
            return await work(AsyncVerdinSqlSession(mappers, engine), engine)
        finally:
            await engine.dispose()

    return asyncio.run(main())


def names(fresh, table):
    return [r[0] for r in fresh(f"select name from {table} order by id")]


def described(exc):
    """What a caller sees of an error: the driver's own text stops at the first line."""
    message = str(exc).split("\n")[0] if hasattr(exc, "orig") else str(exc)
    return type(exc), message, getattr(exc, "__notes__", None)


def outcome(call):
    try:
        return "ok", call()
    except Exception as exc:
        return described(exc)


READS = [("names", "t", {}, {}), ("names", "t", {"n": 2}, {}), ("count", "t", {}, {"return_type": int}),
         ("names", "t", {}, {"return_type": dict}), ("names", "t", {}, {"page": Page(2, 2)})]
FAILURES = [("names", "nosuch", {}), (1, "t", {}), ("names", "t", None), ("missing", "t", {}),
            ("names", "t", []), ("broken", "t", {"n": 1})]


def test_results_and_errors_are_the_sync_facade_s(async_url, engine, table_mappers, table, fresh):
    sync = VerdinSqlSession(table_mappers, data_source=engine)
    for i, name in enumerate("abc", 1):
        sync.execute_sql("add", "t", {"name": name, "n": i})
    # paging on PostgreSQL needs the limit/offset form, which is not this change's business
    reads = [r for r in READS if "page" not in r[3] or engine.dialect.name != "postgresql"]
    expected = [outcome(lambda: sync.execute_sql(*args, **kw)) for *args, kw in reads]
    expected += [outcome(lambda: sync.execute_sql(*args)) for args in FAILURES]

    async def work(adb, _):
        got = []
        for *args, kw in reads:
            got.append(await async_outcome(adb.execute_sql(*args, **kw)))
        for args in FAILURES:
            got.append(await async_outcome(adb.execute_sql(*args)))
        got.append(await adb.execute_sql("bump", "t", {"name": "a"}))
        got.append(await adb.execute_sql("remove", "t", {"name": "zz"}))
        return got

    async def async_outcome(awaitable):
        try:
            return "ok", await awaitable
        except Exception as exc:
            return described(exc)

    got = run(async_url, table_mappers, work)
    assert got[:-2] == expected
    assert expected[0] == ("ok", [{"name": "a"}, {"name": "b"}, {"name": "c"}]) and expected[2] == ("ok", 3)
    assert got[-2:] == [1, 0] and fresh(f"select n from {table} where name = 'a'") == [(2,)]


class RolledBack(Exception):
    pass


def test_hundred_tasks_each_in_its_own_transaction(async_url, table_mappers, table, fresh):
    async def work(adb, engine):
        async def task(i):
            async with adb.transaction() as session:
                assert isinstance(session, AsyncSession) and adb.connection_local.get() is session
                await adb.execute_sql("add", "t", {"name": f"task-{i}", "n": i})
                await asyncio.sleep(0)
                seen = await adb.execute_sql("names", "t", {"n": i})
                if i % 2:
                    raise RolledBack(seen)
                return seen

        results = await asyncio.gather(*(task(i) for i in range(100)), return_exceptions=True)
        return results, adb.connection_local.get(), engine.sync_engine.pool.checkedout()

    results, left_bound, checked_out = run(async_url, table_mappers, work)
    assert [r.args[0] if isinstance(r, RolledBack) else r for r in results] == [
        [{"name": f"task-{i}"}] for i in range(100)]
    assert sorted(names(fresh, table)) == sorted(f"task-{i}" for i in range(0, 100, 2))
    assert left_bound is None and checked_out == 0


def test_task_binding_begin_tx_and_refused_nesting(async_url, engine, table_mappers, table, fresh):
    sync = VerdinSqlSession(table_mappers, data_source=engine)
    with pytest.raises(TypeError, match=r"^Argument 'data_source' has incorrect type \(expected AsyncEngine, got Engine\)$"):
        AsyncVerdinSqlSession(table_mappers, engine)

    async def work(adb, async_engine):
        pool = async_engine.sync_engine.pool
        await adb.commit()
        await adb.rollback()
        await adb.close()
        sync.begin_tx()  # a sync binding in the same context is not the async facade's
        try:
            await adb.execute_sql("add", "t", {"name": "own session", "n": 0})
        finally:
            sync.close()
        await adb.begin_tx()
        first = adb.connection_local.get()
        await adb.execute_sql("add", "t", {"name": "abandoned", "n": 1})
        await adb.begin_tx()
        assert adb.connection_local.get() is not first and pool.checkedout() == 0
        await adb.execute_sql("add", "t", {"name": "kept", "n": 2})
        with pytest.raises(RuntimeError, match="^a session is already bound to this context"):
            async with adb.transaction():
                pytest.fail("entered")
        await adb.commit()
        await adb.close()
        assert adb.connection_local.get() is None
        with pytest.raises(RuntimeError) as caught:
            async with adb.transaction() as session:
                await adb.execute_sql("add", "t", {"name": "rolled back", "n": 3})

                async def failing_rollback():
                    raise RuntimeError("rollback")

                session.rollback = failing_rollback
                raise RuntimeError("body")
        assert (str(caught.value), str(caught.value.__context__)) == ("rollback", "body")
        return adb.connection_local.get(), pool.checkedout()

    assert run(async_url, table_mappers, work) == (None, 0)
    assert names(fresh, table) == ["own session", "kept"]


def test_transaction_refuses_partial_commits_inner_close_and_late_tasks(async_url, table_mappers, table, fresh):
    async def work(adb, engine):
        with pytest.raises(RuntimeError, match=r"^a statement in the transaction failed and was rolled back; "
                                               r"nothing was committed$") as caught:
            async with adb.transaction():
                await adb.execute_sql("add", "t", {"name": "debit", "n": 1})
                with pytest.raises(DBAPIError) as failed:
                    await adb.execute_sql("broken", "t", {"n": 2})
                await adb.execute_sql("add", "t", {"name": "credit", "n": 3})
        assert caught.value.__cause__ is failed.value

        ended = asyncio.Event()

        async def audit_later():  # inherits the binding, runs once the block has ended
            await ended.wait()
            try:
                await adb.execute_sql("add", "t", {"name": "late", "n": 5})
            finally:
                await adb.close()  # drops the stale binding

        async def helper_commits():  # a child task sees the block's session
            await adb.commit()

        async with adb.transaction() as session:
            await adb.execute_sql("add", "t", {"name": "kept", "n": 4})
            refused = [(m, lambda m=m: getattr(adb, m)()) for m in ("begin_tx", "close", "commit", "rollback")]
            refused += [(f"session.{m}", getattr(session, m)) for m in ("commit", "rollback", "close")]
            refused += [("commit", helper_commits)]
            for method, call in refused:
                with pytest.raises(RuntimeError, match=rf"^{method}\(\) inside a transaction\(\) block would "
                                                       r"(discard|commit part of) the block's work"):
                    await asyncio.create_task(call())
            assert adb.connection_local.get() is session
            task = asyncio.create_task(audit_later())
        ended.set()
        with pytest.raises(RuntimeError, match=r"^the transaction\(\) that bound this session has ended"):
            await task
        return adb.connection_local.get(), engine.sync_engine.pool.checkedout()

    assert run(async_url, table_mappers, work) == (None, 0)
    assert names(fresh, table) == ["kept"]


def test_transaction_entered_with_plain_with_is_refused_before_it_binds(async_url, table_mappers, table, fresh,
                                                                        tmp_path):
    # The statement in the block locks nothing: a session left open by the block cannot stall the
    # table's teardown.
    (tmp_path / "c.xml").write_text('<mapper namespace="c"><select id="one">select 1 as one</select></mapper>')
    mappers = dict(table_mappers, c=ParseMapper(str(tmp_path / "c.xml")))

    async def work(adb, engine):
        with pytest.raises(TypeError, match=r"^AsyncVerdinSqlSession\.transaction\(\) is entered with 'async with', "
                                            r"not 'with'$"):
            with adb.transaction():
                await adb.execute_sql("one", "c", {})
        left = adb.connection_local.get(), engine.sync_engine.pool.checkedout()
        async with adb.transaction():
            await adb.execute_sql("add", "t", {"name": "kept", "n": 1})
        return left

    assert run(async_url, mappers, work) == (None, 0)
    assert names(fresh, table) == ["kept"]


def test_close_cancelled_still_unbinds_the_session_it_goes_on_closing(async_url, table_mappers, table, fresh):
    async def work(adb, engine):
        await adb.begin_tx()
        await adb.execute_sql("add", "t", {"name": "discarded", "n": 1})
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0):
                await adb.close()
        bound = adb.connection_local.get()
        await adb.execute_sql("add", "t", {"name": "committed on its own", "n": 2})
        await asyncio.gather(*(asyncio.all_tasks() - {asyncio.current_task()}))  # the close
        await adb.close()  # nothing left to close
        return bound, engine.sync_engine.pool.checkedout()

    assert run(async_url, table_mappers, work) == (None, 0)
    assert names(fresh, table) == ["committed on its own"]


def test_task_holding_a_closed_begin_tx_session_is_refused(async_url, table_mappers, table, fresh):
    async def work(adb, engine):
        await adb.begin_tx()
        closed = adb.connection_local.get()
        parent_done = asyncio.Event()

        async def child():  # inherits the binding, runs once the parent has closed it
            await parent_done.wait()
            await adb.execute_sql("add", "t", {"name": "late", "n": 2})

        task = asyncio.create_task(child())
        await adb.execute_sql("add", "t", {"name": "kept", "n": 1})
        await adb.commit()
        await adb.close()
        parent_done.set()
        (late,) = await asyncio.gather(task, return_exceptions=True)
        await closed.close()  # whatever the task left open
        return late, engine.sync_engine.pool.checkedout()

    late, checked_out = run(async_url, table_mappers, work)
    assert isinstance(late, RuntimeError) and str(late).startswith("the session that begin_tx() bound has been closed")
    assert checked_out == 0 and names(fresh, table) == ["kept"]


def test_fastapi_example_runs_each_write_request_in_one_transaction(tmp_path):
    from fastapi.testclient import TestClient

    spec = importlib.util.spec_from_file_location("notes_app", os.path.join(ROOT, "docs", "fastapi", "app.py"))
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    app = example.create_app(f"sqlite+aiosqlite:///{tmp_path / 'notes.db'}")
    with TestClient(app, raise_server_exceptions=False) as client:
        assert client.post("/notes", json=[{"title": "a"}, {"title": "b", "body": "x"}]).json() == {"added": 2}
        refused = client.post("/notes", json=[{"title": "c"}, {"title": " "}])
        assert refused.status_code == 422

        def commit_fails(session):
            raise RuntimeError("commit failed")

        # the client must not be told its write succeeded when the commit fails
        event.listen(Session, "before_commit", commit_fails)
        try:
            lost = client.post("/notes", json=[{"title": "lost"}])
        finally:
            event.remove(Session, "before_commit", commit_fails)
        assert lost.status_code == 500
        assert client.get("/notes").json() == [{"id": 1, "title": "a", "body": ""},
                                               {"id": 2, "title": "b", "body": "x"}]

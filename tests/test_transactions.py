"""transaction(): a session bound for the length of a with block; begin_tx over a bound session."""
import contextvars
import subprocess
import sys
import textwrap

import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.exc import DBAPIError
from sqlalchemy.orm import Session

from verdin.db.txnfront import VerdinSqlSession

bound = VerdinSqlSession.connection_local.get


@pytest.fixture
def db(table_mappers, engine):
    facade = VerdinSqlSession(table_mappers, data_source=engine)
    yield facade
    facade.close()


def names(fresh, table):
    return [r[0] for r in fresh(f"select name from {table} order by id")]


def test_transaction_commits_or_rolls_back_then_closes_and_unbinds(db, engine, table, fresh):
    with db.transaction() as session:
        assert isinstance(session, Session) and session.expire_on_commit is False and bound() is session
        db.execute_sql("add", "t", {"name": "a", "n": 1})
        db.execute_sql("add", "t", {"name": "b", "n": 2})
        assert names(fresh, table) == []
    assert names(fresh, table) == ["a", "b"]
    assert bound() is None and engine.pool.checkedout() == 0

    failure = ValueError("stop")
    with pytest.raises(ValueError) as caught:
        with db.transaction():
            db.execute_sql("remove", "t", {"name": "a"})
            db.execute_sql("add", "t", {"name": "c", "n": 3})
            raise failure
    assert caught.value is failure
    # a failing statement ends the block: nothing before it is committed, as nothing after it runs
    with pytest.raises(DBAPIError):
        with db.transaction():
            db.execute_sql("add", "t", {"name": "lost", "n": 4})
            db.execute_sql("broken", "t", {"n": 5})
            db.execute_sql("add", "t", {"name": "never", "n": 6})
    assert names(fresh, table) == ["a", "b"]
    assert bound() is None and engine.pool.checkedout() == 0


def test_transaction_is_refused_while_a_session_is_bound(db, table, fresh):
    db.begin_tx()
    outer = bound()
    db.execute_sql("add", "t", {"name": "outer", "n": 1})
    with pytest.raises(RuntimeError, match="^a session is already bound to this context"):
        with db.transaction():
            pytest.fail("entered")
    assert bound() is outer
    db.commit()
    db.close()
    assert names(fresh, table) == ["outer"]
    with db.transaction() as session:
        with pytest.raises(RuntimeError, match="already bound"):
            with db.transaction():
                pytest.fail("entered")
        assert bound() is session
        db.execute_sql("add", "t", {"name": "kept", "n": 2})
    assert names(fresh, table) == ["outer", "kept"]


@pytest.mark.parametrize("body_fails, failing, chain", [
    (False, ["commit"], ["commit"]),
    (True, ["rollback"], ["rollback", "body"]),
    (False, ["commit", "close"], ["close", "commit"]),
    (True, ["rollback", "close"], ["close", "rollback", "body"]),
])
def test_errors_of_commit_rollback_and_close_chain_as_in_a_with_statement(tmp_path, body_fails, failing, chain):
    engine = create_engine(f"sqlite:///{tmp_path / 'chain.db'}")
    db = VerdinSqlSession({}, data_source=engine)
    calls = []

    def failing_step(session, step):
        real = getattr(session, step)

        def method():
            calls.append(step)
            if step == "close":
                real()
            raise RuntimeError(step)

        return method

    with pytest.raises(RuntimeError) as caught:
        with db.transaction() as session:
            session.execute(text("select 1"))
            for step in failing:
                setattr(session, step, failing_step(session, step))
            if body_fails:
                raise RuntimeError("body")
    seen, exc = [], caught.value
    while exc is not None:
        seen.append(str(exc))
        exc = exc.__context__
    assert seen == chain
    assert calls == failing
    assert bound() is None and engine.pool.checkedout() == 0
    engine.dispose()


def test_misused_exit_is_safe():
    code = textwrap.dedent("""
        from sqlalchemy import create_engine, event, text
        from verdin.db.txnfront import VerdinSqlSession
        engine = create_engine("sqlite://")
        db = VerdinSqlSession({}, data_source=engine)
        bound = VerdinSqlSession.connection_local.get
        cm = db.transaction()
        assert cm.__exit__(None, None, None) is False
        session = cm.__enter__()
        try:
            cm.__enter__()
        except RuntimeError as exc:
            assert str(exc) == "this transaction has already been entered"
        assert cm.__exit__(None, "x", None) is False and bound() is None
        assert cm.__exit__(ValueError, ValueError, None) is False
        session = cm.__enter__()
        session.execute(text("create table t (a int)"))
        event.listen(session, "before_commit", lambda s: cm.__exit__(None, None, None))
        assert cm.__exit__(None, None, None) is False and bound() is None
        try:
            type(cm).__new__(type(cm)).__enter__()
        except AttributeError:
            pass
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr


def test_begin_tx_closes_the_session_it_replaces(db, engine, table, fresh):
    db.begin_tx()
    first = bound()
    db.execute_sql("add", "t", {"name": "abandoned", "n": 1})
    db.begin_tx()
    assert bound() is not first and engine.pool.checkedout() == 0
    # on SQLite the first session's write lock made this fail with "database is locked"
    db.execute_sql("add", "t", {"name": "kept", "n": 2})
    assert engine.pool.checkedout() == 1
    db.commit()
    db.close()
    assert names(fresh, table) == ["kept"] and engine.pool.checkedout() == 0


def test_a_transaction_that_went_on_after_a_failed_statement_commits_nothing(db, engine, table, fresh):
    with pytest.raises(RuntimeError, match=r"^a statement in the transaction failed and was rolled back; "
                                           r"nothing was committed$") as caught:
        with db.transaction():
            db.execute_sql("add", "t", {"name": "debit", "n": 1})
            with pytest.raises(DBAPIError) as failed:
                db.execute_sql("broken", "t", {"n": 2})
            db.execute_sql("add", "t", {"name": "credit", "n": 3})
    assert caught.value.__cause__ is failed.value
    assert names(fresh, table) == [] and bound() is None and engine.pool.checkedout() == 0


@pytest.mark.parametrize("method, harm", [("begin_tx", "discard"), ("close", "discard"), ("commit", "commit part of"),
                                          ("rollback", "discard"), ("session.commit", "commit part of"),
                                          ("session.rollback", "discard"), ("session.close", "discard"),
                                          ("session.begin", "commit part of")])
def test_ending_the_session_is_refused_inside_a_transaction(db, table, fresh, method, harm):
    # a statement failing after the refusal still takes everything back
    with pytest.raises(DBAPIError), db.transaction() as session:
        db.execute_sql("add", "t", {"name": "first", "n": 1})
        with pytest.raises(RuntimeError, match=rf"^{method}\(\) inside a transaction\(\) block would {harm} the block's"):
            owner, _, name = method.rpartition(".")
            getattr(session if owner else db, name)()
        assert bound() is session
        db.execute_sql("add", "t", {"name": "second", "n": 2})
        db.execute_sql("broken", "t", {"n": 3})
    assert names(fresh, table) == []
    # the guard goes with the block: the session object commits as usual afterwards
    assert not {"commit", "rollback", "close", "begin"} & set(vars(session))


def test_savepoints_inside_a_transaction_are_left_alone(db, table, fresh):
    with db.transaction() as session:
        db.execute_sql("add", "t", {"name": "outer", "n": 1})
        savepoint = session.begin_nested()
        db.execute_sql("add", "t", {"name": "undone", "n": 2})
        savepoint.rollback()
        with session.begin_nested():
            db.execute_sql("add", "t", {"name": "inner", "n": 3})
    assert names(fresh, table) == ["outer", "inner"]


@pytest.mark.parametrize("many", [False, True], ids=["execute_sql", "execute_many"])
def test_a_context_copied_inside_a_transaction_cannot_run_statements_after_it(db, engine, table, fresh, many):
    with db.transaction():
        db.execute_sql("add", "t", {"name": "inside", "n": 1})
        copied = contextvars.copy_context()
    try:
        with pytest.raises(RuntimeError, match=r"^the transaction\(\) that bound this session has ended"):
            if many:
                copied.run(db.execute_many, "add", "t", [{"name": "lost", "n": 2}] * 2)
            else:
                copied.run(db.execute_sql, "add", "t", {"name": "lost", "n": 2})
        assert engine.pool.checkedout() == 0
    finally:
        copied.run(db.close)  # drops the stale binding: statements then commit on their own
    copied.run(db.execute_sql, "add", "t", {"name": "own", "n": 3})
    assert names(fresh, table) == ["inside", "own"] and engine.pool.checkedout() == 0


@pytest.mark.parametrize("later", ["stream", "copied context"])
def test_a_session_the_facade_closed_is_not_reopened_by_what_still_holds_it(db, engine, table, fresh, later):
    db.begin_tx()
    db.execute_sql("add", "t", {"name": "discarded", "n": 1})
    if later == "stream":
        rows = db.stream_sql("names", "t", {})
        db.close()
        run = lambda: list(rows)  # noqa: E731
    else:
        copied = contextvars.copy_context()
        db.close()
        run = lambda: copied.run(db.execute_sql, "add", "t", {"name": "lost", "n": 2})  # noqa: E731
    # it began a transaction in the closed session, which kept its connection and was never committed
    with pytest.raises(RuntimeError, match=r"^the session that begin_tx\(\) bound has been closed"):
        run()
    assert engine.pool.checkedout() == 0 and names(fresh, table) == []

def test_statements_in_a_bound_session_see_what_its_execute_would(db, table, fresh):
    # Once the bound session holds its connection, later text statements may run on that
    # connection: never past pending ORM changes (autoflush), nor past the session's own
    # do_orm_execute listeners or execution options.
    from sqlalchemy import Integer, String, event
    from sqlalchemy.orm import DeclarativeBase, mapped_column

    class Base(DeclarativeBase):
        pass

    row = type("Row", (Base,), {"__tablename__": table, "id": mapped_column(Integer, primary_key=True),
                                "name": mapped_column(String(50)), "n": mapped_column(Integer)})
    from sqlalchemy.util import immutabledict

    seen, options = [], []
    listener = lambda state: seen.append(state.statement.text)  # noqa: E731
    probe = lambda conn, clause, multi, params, opts: options.append(dict(opts))  # noqa: E731
    event.listen(db.data_source, "before_execute", probe)
    with db.transaction() as session:
        assert db.execute_sql("count", "t", {}, return_type=int) == 0
        session.add(row(name="pending", n=1))
        assert db.execute_sql("count", "t", {}, return_type=int) == 1
        event.listen(session, "do_orm_execute", listener)
        db.execute_sql("bump", "t", {"name": "pending"})
        event.remove(session, "do_orm_execute", listener)
        session.execution_options = immutabledict({"verdin_probe": True})
        db.execute_sql("add", "t", {"name": "second", "n": 5})
    event.remove(db.data_source, "before_execute", probe)
    assert len(seen) == 1 and seen[0].startswith("update") and options[-1] == {"verdin_probe": True}
    assert [tuple(r) for r in fresh(f"select name, n from {table} order by id")] == [("pending", 2), ("second", 5)]


@pytest.mark.parametrize("orm_listener", [False, True], ids=["lifecycle", "with do_orm_execute"])
def test_session_events_are_those_of_session_execute(db, engine, table, orm_listener):
    # Statements may run on a Session's own connection, begun through session.connection():
    # every Session event must still be heard as if session.execute had run them, in order, and
    # a do_orm_execute listener must still see each statement.
    from sqlalchemy import event

    heard = []
    hooks = {name: (lambda name: lambda *a: heard.append(name))(name)
             for name in ["after_transaction_create", "after_begin", "before_commit", "after_commit",
                          "after_rollback", "after_soft_rollback", "after_transaction_end"]}
    if orm_listener:
        hooks["do_orm_execute"] = lambda state: heard.append("do_orm_execute")
    for name, fn in hooks.items():
        event.listen(Session, name, fn)
    insert = text(f"insert into {table} (name, n) values (:name, :n)")
    count = text(f"select count(*) from {table}")

    def by_hand():
        with Session(bind=engine, expire_on_commit=False) as s:  # one owned read
            got = s.execute(count).scalar()
            s.commit()
        with Session(bind=engine, expire_on_commit=False) as s:  # a transaction of two statements
            s.execute(insert, {"name": "x", "n": 1})
            s.execute(insert, {"name": "y", "n": 2})
            s.commit()
        with Session(bind=engine, expire_on_commit=False) as s:  # an owned batch
            s.execute(insert, [{"name": "z", "n": 3}, {"name": "w", "n": 4}])
            s.commit()
        return got

    def by_verdin():
        got = db.execute_sql("count", "t", {}, return_type=int)
        with db.transaction():
            db.execute_sql("add", "t", {"name": "x", "n": 1})
            db.execute_sql("add", "t", {"name": "y", "n": 2})
        db.execute_many("add", "t", [{"name": "z", "n": 3}, {"name": "w", "n": 4}])
        return got

    try:
        expected = by_hand(), list(heard)
        heard.clear()
        assert (by_verdin(), heard) == (expected[0] + 4, expected[1])
    finally:
        for name, fn in hooks.items():
            event.remove(Session, name, fn)
    assert engine.pool.checkedout() == 0


@pytest.mark.parametrize("bound_session", [True, False], ids=["transaction", "owned"])
def test_a_page_statement_flushes_what_the_count_left_in_the_session(db, engine, table, fresh, bound_session):
    # The page runs two statements; an engine event of the first that adds an ORM object to the
    # session must see it flushed before the second, as session.execute's autoflush would.
    from sqlalchemy import Integer, String, event
    from sqlalchemy.orm import DeclarativeBase, mapped_column

    from verdin.db.querydeck import Page

    class Base(DeclarativeBase):
        pass

    row = type("Row", (Base,), {"__tablename__": table, "id": mapped_column(Integer, primary_key=True),
                                "name": mapped_column(String(50)), "n": mapped_column(Integer)})
    sessions = []
    opened = lambda session, transaction, connection: sessions.append(session)  # noqa: E731

    def audit(conn, cursor, statement, parameters, context, executemany):
        if statement.startswith("select count(*)"):
            sessions[-1].add(row(name="audit", n=0))

    db.execute_sql("add", "t", {"name": "first", "n": 1})
    event.listen(Session, "after_begin", opened)  # a class-level listener: owned sessions too
    event.listen(engine, "after_cursor_execute", audit)
    try:
        if bound_session:
            with db.transaction():
                page = db.execute_sql("names", "t", {}, page=Page(1, 10))
        else:
            page = db.execute_sql("names", "t", {}, page=Page(1, 10))
    finally:
        event.remove(engine, "after_cursor_execute", audit)
        event.remove(Session, "after_begin", opened)
    assert page["total"] == 1 and page["list"] == [{"name": name} for name in names(fresh, table)]
    assert engine.pool.checkedout() == 0


@pytest.mark.parametrize("bound_session", [True, False], ids=["transaction", "owned"])
def test_each_run_of_execute_many_flushes_what_the_run_before_left(db, engine, table, tmp_path, fresh,
                                                                   bound_session):
    # execute_many sends two runs (the SQL differs); an engine event of the first that adds an
    # ORM object to the session must see it flushed before the second, as session.execute would.
    from sqlalchemy import Integer, String, event
    from sqlalchemy.orm import DeclarativeBase, mapped_column

    from verdin.mapper.stmtloom import ParseMapper

    class Base(DeclarativeBase):
        pass

    row = type("Row", (Base,), {"__tablename__": table, "id": mapped_column(Integer, primary_key=True),
                                "name": mapped_column(String(50)), "n": mapped_column(Integer)})
    path = tmp_path / "runs.xml"
    path.write_text(f"""<mapper namespace="runs"><insert id="add">insert into {table} (name, n) values (#{{name}},
      <if test="params.get('n') is None">0</if><if test="params.get('n') is not None">#{{n}}</if>)</insert></mapper>""")
    db.mapper_dict["runs"] = ParseMapper(str(path))
    sessions, added = [], []
    opened = lambda session, transaction, connection: sessions.append(session)  # noqa: E731

    def audit(conn, cursor, statement, parameters, context, executemany):
        if not added:
            added.append(1)
            sessions[-1].add(row(name="audit", n=0))

    event.listen(Session, "after_begin", opened)  # a class-level listener: owned sessions too
    event.listen(engine, "after_cursor_execute", audit)
    try:
        if bound_session:
            with db.transaction():
                assert db.execute_many("add", "runs", [{"name": "a", "n": 1}, {"name": "b"}]) == 2
        else:
            assert db.execute_many("add", "runs", [{"name": "a", "n": 1}, {"name": "b"}]) == 2
    finally:
        event.remove(engine, "after_cursor_execute", audit)
        event.remove(Session, "after_begin", opened)
    assert names(fresh, table) == ["a", "audit", "b"] and engine.pool.checkedout() == 0

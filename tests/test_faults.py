"""Faults, concurrency and hostile input on real databases."""
import asyncio
import os
import resource
import threading

import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.exc import DBAPIError, OperationalError

from verdin.db.querydeck import SqlTemplate
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper import stmtloom
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="f">
  <insert id="add">insert into {table} (name, n) values (#{{name}}, #{{n}})</insert>
  <select id="by_n">select name from {table} where n = #{{n}} order by id</select>
  <select id="count" resultType="int">select count(*) from {table}</select>
  <insert id="broken">insert into no_such_table values (#{{n}})</insert>
</mapper>"""


@pytest.fixture
def db(engine, table, tmp_path):
    path = tmp_path / "f.xml"
    path.write_text(MAPPER.format(table=table))
    facade = VerdinSqlSession({"f": ParseMapper(str(path))}, data_source=engine)
    yield facade
    facade.close()


def count(fresh, table):
    return fresh(f"select count(*) from {table}")[0][0]


def test_failure_in_the_middle_of_a_bound_transaction(db, engine, table, fresh):
    db.begin_tx()
    db.execute_sql("add", "f", {"name": "first", "n": 1})
    with pytest.raises(DBAPIError):
        db.execute_sql("broken", "f", {"n": 1})
    db.commit()
    db.close()
    assert count(fresh, table) == 0
    assert engine.pool.checkedout() == 0
    db.execute_sql("add", "f", {"name": "next", "n": 2})
    assert count(fresh, table) == 1


def test_failing_commit_commits_nothing(db, engine, table, fresh, monkeypatch):
    from sqlalchemy.orm import Session

    class FailingCommit(Session):
        def commit(self):
            raise OperationalError("commit", {}, Exception("disk full"))

    db.begin_tx()
    bound = VerdinSqlSession.connection_local.get()
    bound.__class__ = FailingCommit
    db.execute_sql("add", "f", {"name": "x", "n": 1})
    with pytest.raises(OperationalError):
        db.commit()
    db.rollback()
    db.close()
    assert count(fresh, table) == 0 and engine.pool.checkedout() == 0
    db.execute_sql("add", "f", {"name": "y", "n": 2})
    assert count(fresh, table) == 1


def kill(url, connection_id):
    killer = create_engine(url)
    with killer.connect() as conn:
        conn.execute(text(f"KILL {int(connection_id)}"))
    killer.dispose()


def test_connection_killed_inside_a_bound_transaction(mariadb_url, tmp_path):
    engine = create_engine(mariadb_url, pool_pre_ping=True)
    name = "t_killed_tx"
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))
        conn.execute(text(f"create table {name} (id integer primary key auto_increment, name varchar(20), n int)"))
    path = tmp_path / "k.xml"
    path.write_text(MAPPER.format(table=name))
    db = VerdinSqlSession({"f": ParseMapper(str(path))}, data_source=engine)
    try:
        db.begin_tx()
        db.execute_sql("add", "f", {"name": "doomed", "n": 1})
        session = VerdinSqlSession.connection_local.get()
        kill(mariadb_url, session.execute(text("select connection_id()")).scalar())
        with pytest.raises(DBAPIError):
            db.execute_sql("add", "f", {"name": "after kill", "n": 2})
        db.close()
        with engine.connect() as conn:
            assert conn.execute(text(f"select count(*) from {name}")).scalar() == 0
        assert engine.pool.checkedout() == 0
        db.execute_sql("add", "f", {"name": "recovered", "n": 3})
        assert db.execute_sql("count", "f", {}, return_type=int) == 1
    finally:
        db.close()
        with engine.begin() as conn:
            conn.execute(text(f"drop table if exists {name}"))
        engine.dispose()


def test_connection_killed_while_an_owned_session_runs(mariadb_url):
    engine = create_engine(mariadb_url, pool_pre_ping=True)
    name = "t_killed_owned"
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))
        conn.execute(text(f"create table {name} (id integer primary key auto_increment, name varchar(20))"))
    t = SqlTemplate(engine)

    def work(session):
        session.execute(text(f"insert into {name} (name) values ('partial')"))
        kill(mariadb_url, session.execute(text("select connection_id()")).scalar())
        session.execute(text(f"insert into {name} (name) values ('never')"))

    try:
        with pytest.raises(DBAPIError):
            t.execute_in_connection(work)
        assert engine.pool.checkedout() == 0
        assert t.select_one(text(f"select count(*) as c from {name}")) == {"c": 0}
        t.insert(text(f"insert into {name} (name) values ('next')"))
        assert t.select_list(text(f"select name from {name}")) == [{"name": "next"}]
    finally:
        with engine.begin() as conn:
            conn.execute(text(f"drop table if exists {name}"))
        engine.dispose()


# --- concurrency -----------------------------------------------------------------------------

THREADS, PER_THREAD, BATCH = 8, 1000, 100


def transactional_work(db, tag):
    """PER_THREAD inserts in batches; even batches are committed, odd ones rolled back."""
    db.begin_tx()
    try:
        for batch in range(PER_THREAD // BATCH):
            for i in range(BATCH):
                db.execute_sql("add", "f", {"name": tag, "n": batch * BATCH + i})
            if batch % 2 == 0:
                db.commit()
            else:
                db.rollback()
    finally:
        db.close()


def check_committed(fresh, table, tags):
    rows = fresh(f"select name, n from {table}")
    by_tag = {}
    for name, n in rows:
        by_tag.setdefault(name, []).append(n)
    expected = sorted(b * BATCH + i for b in range(0, PER_THREAD // BATCH, 2) for i in range(BATCH))
    assert sorted(by_tag) == sorted(tags)
    for tag in tags:
        assert sorted(by_tag[tag]) == expected, tag


def test_threads_each_with_their_own_transaction(mariadb_url, tmp_path):
    engine = create_engine(mariadb_url, pool_size=THREADS, max_overflow=2)
    name = "t_threads"
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))
        conn.execute(text(f"create table {name} (id integer primary key auto_increment, name varchar(20), n int)"))
    path = tmp_path / "c.xml"
    path.write_text(MAPPER.format(table=name))
    db = VerdinSqlSession({"f": ParseMapper(str(path))}, data_source=engine)  # one mapper for all
    errors = []

    def run(tag):
        try:
            transactional_work(db, tag)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    try:
        threads = [threading.Thread(target=run, args=(f"thread-{i}",)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        check = create_engine(mariadb_url)
        with check.connect() as conn:
            rows = conn.execute(text(f"select name, n from {name}")).all()
        check.dispose()
        check_committed(lambda sql: rows, name, [f"thread-{i}" for i in range(THREADS)])
        assert len(rows) == THREADS * PER_THREAD // 2
        assert engine.pool.checkedout() == 0
        # and the same with asyncio tasks, each running in a worker thread of its own context
        with engine.begin() as conn:
            conn.execute(text(f"delete from {name}"))

        async def main():
            await asyncio.gather(*(asyncio.to_thread(transactional_work, db, f"task-{i}") for i in range(THREADS)))

        asyncio.run(main())
        check = create_engine(mariadb_url)
        with check.connect() as conn:
            rows = conn.execute(text(f"select name, n from {name}")).all()
        check.dispose()
        check_committed(lambda sql: rows, name, [f"task-{i}" for i in range(THREADS)])
        assert VerdinSqlSession.connection_local.get() is None
    finally:
        with engine.begin() as conn:
            conn.execute(text(f"drop table if exists {name}"))
        engine.dispose()


# --- hostile input ---------------------------------------------------------------------------

HOSTILE = [
    "Robert'); DROP TABLE students;--", "a' OR '1'='1", "/* comment */ value", "semi; colon;;", "''''",
    "back\\slash \\' \\\\", "percent %s %(name)s {}", "名前 «ü» 😀", "\u202eright-to-left\u202c", "tab\tnew\nline",
    ":name :other", "#{not_a_bind}", "${not_substituted}",
]


def test_bind_values_reach_the_database_as_data(db, table):
    for i, value in enumerate(HOSTILE):
        db.execute_sql("add", "f", {"name": value[:50], "n": i})
    for i, value in enumerate(HOSTILE):
        assert db.execute_sql("by_n", "f", {"n": i}) == [{"name": value[:50]}], value
    assert db.execute_sql("count", "f", {}, return_type=int) == len(HOSTILE)


def test_line_comment_keeps_the_where_clause(engine, table, fresh, tmp_path):
    path = tmp_path / "c.xml"
    path.write_text(f"""<mapper namespace="c">
      <update id="rename">update {table} set name = #{{name}} -- one row only
        where n = #{{n}}</update>
      <select id="names">select name from {table} -- #{{n}} is the row
        where n = #{{n}}</select>
    </mapper>""")
    db = VerdinSqlSession({"c": ParseMapper(str(path))}, data_source=engine)
    with engine.begin() as conn:
        conn.execute(text(f"insert into {table} (name, n) values ('a', 1), ('b', 2)"))
    db.execute_sql("rename", "c", {"name": "z", "n": 1})
    assert sorted(fresh(f"select name, n from {table}")) == [("b", 2), ("z", 1)]
    assert db.execute_sql("names", "c", {"n": 2}) == [{"name": "b"}]
    db.close()


def test_entity_expansion_bomb_is_refused(tmp_path):
    entities = "".join(f'<!ENTITY e{i} "{("&e" + str(i - 1) + ";") * 10}">' for i in range(1, 10))
    bomb = (f'<?xml version="1.0"?><!DOCTYPE mapper [<!ENTITY e0 "xxxxxxxxxx">{entities}]>'
            '<mapper namespace="b"><select id="s">&e9;</select></mapper>')
    path = tmp_path / "bomb.xml"
    path.write_text(bomb)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(stmtloom.et.ParseError, match="amplification"):
        ParseMapper(str(path))
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 100 * 1024  # KiB


@pytest.mark.parametrize("content, error", [
    (None, FileNotFoundError),
    ("dir", IsADirectoryError),
    (b'<mapper namespace="x"><select id="s">caf\xe9</select></mapper>', stmtloom.et.ParseError),
    (b'\xff\xfe<\x00m\x00', stmtloom.et.ParseError),
    (b"", stmtloom.et.ParseError),
])
def test_unusable_files_give_clear_errors(tmp_path, content, error):
    path = tmp_path / "m.xml"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error):
        ParseMapper(str(path))


def test_declared_encodings_are_honoured(tmp_path):
    path = tmp_path / "latin.xml"
    path.write_bytes(b'<?xml version="1.0" encoding="ISO-8859-1"?>'
                     b'<mapper namespace="x"><select id="s">select \'caf\xe9\'</select></mapper>')
    assert ParseMapper(str(path)).get_sql("s", {})[0].text == "select 'café'"


def test_unreadable_file_error_propagates(tmp_path, monkeypatch):
    path = tmp_path / "secret.xml"
    path.write_text("<mapper/>")
    if os.geteuid() != 0:
        path.chmod(0)
        with pytest.raises(PermissionError):
            ParseMapper(str(path))
        return

    class Denied:
        @staticmethod
        def parse(source):
            raise PermissionError(13, "Permission denied", source)

    monkeypatch.setattr(stmtloom, "et", Denied)  # root reads everything; make the parser refuse
    with pytest.raises(PermissionError):
        ParseMapper(str(path))

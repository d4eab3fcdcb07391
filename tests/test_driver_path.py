"""Text statements sent straight to the driver give what Connection.execute gives.

Each scenario runs twice on the same database: as is (the statements go to the driver) and with a
no-op engine listener, which keeps every statement on Connection.execute. The two runs must see the
same rows, values and types, counts, ids and errors."""
import datetime
import os
import uuid

import pytest
from sqlalchemy import event, text

from verdin.db.querydeck import Page, SqlTemplate
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="d">
  <update id="put">insert into {t} (id, name, price, born, at, flag, data, n) values
    (#{{id}}, #{{name}}, #{{price}}, #{{born}}, #{{at}}, #{{flag}}, #{{data}}, #{{n}})</update>
  <insert id="add">insert into {t} (id, name, n) values (#{{id}}, #{{name}}, #{{n}})</insert>
  <insert id="loose">insert into {t} (id, name, n) values (#{{id}}, #{{name}}, :n)</insert>
  <select id="all">select * from {t} order by id</select>
  <select id="like">select id from {t} where name like 'a%' and n &lt;&gt; #{{n}} order by id</select>
  <select id="no_binds">select count(*) as c from {t} where name like '%e%'</select>
  <select id="twice">select id from {t} where n = #{{n}} or id = #{{n}} order by id</select>
  <update id="bump">update {t} set n = n + #{{by}} where n &gt;= #{{n}}</update>
  <delete id="drop">delete from {t} where id = #{{id}}</delete>
</mapper>"""

ROWS = [
    {"id": 1, "name": "anna", "price": 12.5, "born": datetime.date(1990, 5, 17),
     "at": datetime.datetime(2024, 1, 2, 3, 4, 5), "flag": True, "data": b"\x00\xff", "n": 3},
    {"id": 2, "name": "ébène 🌿 %s %(x)s", "price": None, "born": None, "at": None, "flag": False,
     "data": None, "n": 3},
    {"id": 3, "name": "alf", "price": -0.25, "born": datetime.date(2000, 2, 29),
     "at": datetime.datetime(1999, 12, 31, 23, 59, 59), "flag": None, "data": b"", "n": 7},
]


def typed(value):
    return (type(value).__name__, value)


def scenario(db, engine, table):
    """Every kind of call the template makes, with what it gave (errors included)."""
    out = []

    def step(fn, *args, **kw):
        try:
            got = fn(*args, **kw)
        except Exception as exc:  # the error is part of what must match
            got = (type(exc).__name__, str(exc).split("\n(Background")[0])
        out.append(got)

    for row in ROWS:
        step(db.execute_sql, "put", "d", row)
    step(db.execute_sql, "add", "d", {"id": 4, "name": "bo", "n": None})
    step(db.execute_sql, "put", "d", ROWS[0])  # a duplicate key: the database's error
    step(db.execute_sql, "loose", "d", {"id": 5, "name": "x"})  # no value for :n: SQLAlchemy's error
    step(lambda: [{k: typed(v) for k, v in r.items()} for r in db.execute_sql("all", "d", {})])
    step(db.execute_sql, "like", "d", {"n": 0})
    step(db.execute_sql, "no_binds", "d", {})
    step(db.execute_sql, "twice", "d", {"n": 3})
    step(db.execute_sql, "all", "d", {}, page=Page(2, 2))
    with db.transaction():
        step(db.execute_sql, "bump", "d", {"by": 10, "n": 3})
        step(db.execute_sql, "drop", "d", {"id": 4})
        step(db.execute_sql, "twice", "d", {"n": 13})
    step(db.execute_many, "add", "d", [{"id": 10 + i, "name": f"m{i}", "n": i} for i in range(3)])
    with engine.connect() as conn:
        tmpl = SqlTemplate(engine)
        step(tmpl.select_list, text(f"select id, n from {table} where n > :n order by id"), conn, {"n": 1})
        conn.rollback()
    step(db.execute_sql, "all", "d", {})
    return out


@pytest.fixture
def typed_table(engine):
    name = "d_" + uuid.uuid4().hex[:10]
    blob = {"postgresql": "bytea", "mysql": "blob"}.get(engine.dialect.name, "blob")
    stamp = "timestamp" if engine.dialect.name == "postgresql" else "datetime"
    with engine.begin() as conn:
        conn.execute(text(f"create table {name} (id integer primary key, name varchar(50), price numeric(10, 2), "
                          f"born date, at {stamp}, flag boolean, data {blob}, n integer)"))
    yield name
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))


def test_the_driver_path_gives_what_connection_execute_gives(engine, typed_table, tmp_path):
    path = tmp_path / "d.xml"
    path.write_text(MAPPER.format(t=typed_table))
    db = VerdinSqlSession({"d": ParseMapper(str(path))}, data_source=engine)

    def compiled():
        return {c.string.split()[0] + (" like" if " like 'a" in c.string else "")
                for c in engine._compiled_cache.values()} - {"create"}

    everything = {"select", "select like", "insert", "update", "delete"}
    direct = scenario(db, engine, typed_table)
    # Only statements without binds, and the insert that lacks a value (SQLAlchemy's error), took
    # Connection.execute and its compiled cache; all of them with the fast paths off.
    assert compiled() == (everything if os.environ.get("VERDIN_NO_FAST_PATHS") else {"select", "insert"})

    with engine.begin() as conn:
        conn.execute(text(f"delete from {typed_table}"))
    seen = []
    event.listen(engine, "before_cursor_execute", lambda *args: seen.append(args[2]))
    generic = scenario(db, engine, typed_table)
    assert seen and compiled() == everything
    assert direct == generic
    assert direct[4][0] == "IntegrityError" and direct[5][0] == "StatementError"


def test_plans_are_kept_per_dialect(tmp_path, postgres_url, mariadb_url):
    """The same statement text alternately on databases of different parameter styles."""
    from sqlalchemy import create_engine

    engines = [create_engine(f"sqlite:///{tmp_path / 'p.db'}"), create_engine(postgres_url),
               create_engine(mariadb_url)]
    tmpl = SqlTemplate(engines[0])
    try:
        for _ in range(2):
            for engine in engines:
                with engine.connect() as conn:
                    got = tmpl.select_list(text("select :a as a, :b as b, :a as c"), conn, {"a": 1, "b": "x"})
                assert got == [{"a": 1, "b": "x", "c": 1}], engine.dialect.name
    finally:
        for engine in engines:
            engine.dispose()


def test_a_dialect_from_elsewhere_keeps_connection_execute(engine):
    """An execution context defined outside SQLAlchemy may read the compiled statement: its
    statements are not sent as strings, also those planned before it came."""
    with engine.connect() as conn:
        SqlTemplate(engine).select_list(text("select :a as a"), conn, {"a": 1})

    class Context(engine.dialect.execution_ctx_cls):
        seen = []

        def pre_exec(self):
            if "as a" in self.statement:
                self.seen.append(self.compiled is not None)
            super().pre_exec()

    Context.__module__ = "elsewhere.dialect"
    engine.dialect.execution_ctx_cls = Context
    with engine.connect() as conn:
        got = SqlTemplate(engine).select_list(text("select :a as a"), conn, {"a": 1})
    assert got == [{"a": 1}] and Context.seen == [True]

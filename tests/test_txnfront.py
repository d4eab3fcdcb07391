import asyncio
import contextvars
import inspect
import os
import threading

import pytest
from sqlalchemy import insert, select, text, update
from sqlalchemy.orm import Session

import mapped_models as mm
from verdin.db import txnfront
from verdin.db.querydeck import Page, SqlTemplate
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper, load_mappers

USER_MAPPER = """<mapper namespace="user">
  <sql id="cols">id, name, age</sql>
  <insert id="add">insert into verdin_user(name, age) values (#{name}, #{age})</insert>
  <insert id="add_returning">insert into verdin_user(name, age) values (#{name}, #{age}) returning id</insert>
  <select id="all">select <include refid="cols"/> from verdin_user order by id</select>
  <select id="find" resultType="mapped_models.UserModel">
    select <include refid="cols"/> from verdin_user
    <where>
      <if test="params.get('name')">and name = #{name}</if>
      <if test="params.get('ids')">
        <foreach item="i" collection="ids" open="and id in (" close=")" separator=",">#{i}</foreach>
      </if>
    </where>
    order by id
  </select>
  <select id="find_data" resultType="mapped_models.UserData">select <include refid="cols"/> from verdin_user order by id</select>
  <select id="find_row" resultType="mapped_models.UserRow">select <include refid="cols"/> from verdin_user order by id</select>
  <select id="count" resultType="int">select count(*) from verdin_user</select>
  <update id="rename">update verdin_user <set><if test="params.get('name')">, name = #{name}</if></set> where id = #{id}</update>
  <delete id="remove">delete from verdin_user where id = #{id}</delete>
  <insert id="broken">insert into no_such_table values (#{x})</insert>
</mapper>
"""


@pytest.fixture
def mappers(tmp_path):
    path = tmp_path / "user.xml"
    path.write_text(USER_MAPPER)
    return {"user": ParseMapper(str(path))}


@pytest.fixture
def users(engine):
    mm.Base.metadata.drop_all(engine)
    mm.Base.metadata.create_all(engine)
    yield
    mm.Base.metadata.drop_all(engine)


@pytest.fixture
def facade(mappers, engine, users):
    f = VerdinSqlSession(mappers, data_source=engine)
    yield f
    f.close()


def names(fresh):
    return [r[0] for r in fresh("select name from verdin_user order by id")]


# --- shape -----------------------------------------------------------------------------------


def test_module_and_class_shape():
    from typing import Any, Dict, List, get_args

    assert [k for k in vars(txnfront) if not k.startswith("__")] == [
        "Dict", "Any", "List", "get_args", "Engine", "TextClause", "sessionmaker", "Page", "SqlTemplate",
        "is_container_type", "is_result_class", "get_base_type", "results_handle", "ContextVar", "VerdinSqlSession"]
    assert (txnfront.Dict, txnfront.Any, txnfront.List, txnfront.get_args) == (Dict, Any, List, get_args)
    assert txnfront.ContextVar is contextvars.ContextVar
    cls = VerdinSqlSession
    assert type(cls) is type and cls.__bases__ == (object,)
    assert isinstance(cls.connection_local, contextvars.ContextVar)
    assert cls.connection_local.name == "connection_local" and cls.connection_local.get() is None
    assert [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__dict__", "__weakref__", "__doc__")] == [
        "connection_local", "__init__", "_VerdinSqlSession__con", "get_ori_session", "begin_tx", "execute_sql",
        "select_one", "select_list", "select_page", "insert", "insert_list", "delete", "update", "add", "add_all",
        "select_all_orm1", "select_all_orm2", "select_one_orm1", "select_one_orm2", "delete_orm2", "update_orm2",
        "bulk_update_mappings", "insert_orm2", "execute_in_connection", "commit", "rollback", "close", "transaction",
        "execute_many", "stream_sql", "replicas", "replica_backoff"]
    con = vars(cls)["_VerdinSqlSession__con"]
    assert con.__name__ == "__con" and con.__qualname__ == "VerdinSqlSession.__con"
    def sig(name):
        return str(inspect.signature(getattr(cls, name)))
    assert sig("__init__") == ("(self, mapper_dict: 'dict', data_source: 'Engine' = None, "
                               "querydeck: 'SqlTemplate' = None, *, replicas: 'list[Engine] | None' = None)")
    assert sig("execute_sql") == ("(self, sql_id: 'str', namespace: 'str' = None, ori_params: 'dict' = None, "
                                  "page: 'Page' = None, return_type: 'Any' = None, *, primary: 'bool' = False)")
    assert sig("select_page") == "(self, sql: 'TextClause', page, sql_param=None, *, primary: 'bool' = False)"
    assert (cls.execute_sql.__defaults__, cls.execute_sql.__kwdefaults__) == ((None,) * 4, {"primary": False})
    assert sig("insert") == "(self, sql: 'TextClause', sql_param)"
    assert sig("add_all") == "(self, datas: 'Any')"
    assert sig("update_orm2") == "(self, statement, sql_param: 'dict | None' = None)"
    assert sig("bulk_update_mappings") == "(self, table_model, data_list: 'list[dict] | None' = None)"
    assert sig("insert_orm2") == "(self, statement, data_list: 'list' = None)"
    assert str(inspect.signature(txnfront.results_handle)) == "(results, result_type, f_return_type)"


def test_constructor(engine, arg_type_message):
    from collections import OrderedDict

    with pytest.raises(TypeError) as exc:
        VerdinSqlSession(OrderedDict(), data_source=engine)
    assert str(exc.value) == arg_type_message("mapper_dict", "dict", "collections.OrderedDict")
    with pytest.raises(TypeError):
        VerdinSqlSession(None, engine)
    half = VerdinSqlSession.__new__(VerdinSqlSession)
    with pytest.raises(Exception, match="^querydeck can't init$"):
        half.__init__({})
    assert vars(half) == {"mapper_dict": {}, "data_source": None}
    t = SqlTemplate(engine)
    f = VerdinSqlSession({}, data_source="ignored", querydeck=t)
    assert f.querydeck is t and f.data_source is engine
    f = VerdinSqlSession({}, engine)
    assert type(f.querydeck) is SqlTemplate and f.querydeck.data_source is engine
    with engine.connect() as connection:
        assert VerdinSqlSession({}, connection).querydeck.data_source is connection
    from sqlalchemy.ext.asyncio import create_async_engine

    with pytest.raises(TypeError, match=r"^Argument 'data_source' has incorrect type \(expected Engine, got "
                                        r"AsyncEngine\): an asyncio engine goes to verdin.db.asyncfront.Async"):
        VerdinSqlSession({}, create_async_engine("sqlite+aiosqlite://"))
    with pytest.raises(TypeError, match=r"^Argument 'data_source' has incorrect type \(expected Engine, got str\)$"):
        VerdinSqlSession({}, "sqlite://")


# --- execute_sql -----------------------------------------------------------------------------


def test_execute_sql_branches(facade, fresh, reported_id):
    assert facade.execute_sql("add", "user", {"name": "ann", "age": 30}) == reported_id(1)
    assert facade.execute_sql("add_returning", namespace="user", ori_params={"name": "bob", "age": None}) == 2
    assert facade.execute_sql("all", "user", {}) == [{"id": 1, "name": "ann", "age": 30},
                                                     {"id": 2, "name": "bob", "age": None}]
    assert facade.execute_sql("count", "user", {}) == [2]
    assert facade.execute_sql("count", "user", {}, return_type=int) == 2
    assert facade.execute_sql("rename", "user", {"id": 2, "name": "bea"}) == 1
    assert facade.execute_sql("rename", "user", {"id": 99, "name": "x"}) == 0
    assert facade.execute_sql("remove", "user", {"id": 1}) == 1
    assert names(fresh) == ["bea"]


def test_results_as_every_shape(facade):
    for name, age in [("ann", 30), ("bob", 40), ("cid", None)]:
        facade.execute_sql("add", "user", {"name": name, "age": age})
    found = facade.execute_sql("find", "user", {"ids": [1, 3]})
    assert found == [mm.UserModel(id=1, name="ann", age=30), mm.UserModel(id=3, name="cid", age=None)]
    assert facade.execute_sql("find", "user", {"name": "bob"}, return_type=mm.UserModel) == mm.UserModel(
        id=2, name="bob", age=40)
    assert facade.execute_sql("find", "user", {}, return_type=list[mm.UserModel])[1].name == "bob"
    assert facade.execute_sql("find_data", "user", {})[2] == mm.UserData(3, "cid", None)
    rows = facade.execute_sql("find_row", "user", {})
    assert [type(r) for r in rows] == [mm.UserRow] * 3 and rows[0].name == "ann"
    assert facade.execute_sql("all", "user", {}, return_type=dict) == {"id": 1, "name": "ann", "age": 30}
    assert facade.execute_sql("find", "user", {"name": "nobody"}, return_type=mm.UserModel) == []
    with pytest.raises(TypeError, match="please check return_type"):
        facade.execute_sql("all", "user", {}, return_type=mm.UserModel)


def test_page_query_maps_only_the_list(facade):
    for i in range(7):
        facade.execute_sql("add", "user", {"name": f"u{i}", "age": i})
    result = facade.execute_sql("find", "user", {}, page=Page(2, 3))
    assert list(result) == ["pageNum", "pageSize", "total", "list"]
    assert (result["pageNum"], result["pageSize"], result["total"]) == (2, 3, 7)
    assert result["list"] == [mm.UserModel(id=i, name=f"u{i - 1}", age=i - 1) for i in (4, 5, 6)]
    past = facade.execute_sql("all", "user", {}, Page(9, 3))
    assert past["total"] == 7 and past["list"] == []


def test_execute_sql_errors(facade, fresh, arg_type_message):
    with pytest.raises(Exception, match="^not found namespace: nosuch$"):
        facade.execute_sql("all", "nosuch", {})
    with pytest.raises(Exception, match="^not found namespace: None$"):
        facade.execute_sql("all")
    with pytest.raises(TypeError) as exc:
        facade.execute_sql("all", "user")
    assert str(exc.value) == arg_type_message("params", "dict", "NoneType")
    with pytest.raises(Exception, match="(?m)^Not a delete$"):
        facade.execute_sql("cols", "user", {})
    for args, name, expected, got in [((5, "user", {}), "sql_id", "str", "int"),
                                      (("all", b"user", {}), "namespace", "str", "bytes"),
                                      (("all", "user", []), "ori_params", "dict", "list")]:
        with pytest.raises(TypeError) as exc:
            facade.execute_sql(*args)
        assert str(exc.value) == arg_type_message(name, expected, got)
    assert names(fresh) == []


# --- transactions ----------------------------------------------------------------------------


def test_calls_commit_independently_without_a_transaction(facade, fresh):
    facade.commit()
    facade.rollback()
    facade.close()
    facade.execute_sql("add", "user", {"name": "a", "age": 1})
    with pytest.raises(Exception):
        facade.execute_sql("broken", "user", {"x": 1})
    assert names(fresh) == ["a"]


def test_transaction_across_calls(facade, fresh):
    facade.begin_tx()
    bound = VerdinSqlSession.connection_local.get()
    assert isinstance(bound, Session) and bound.expire_on_commit is False
    facade.execute_sql("add", "user", {"name": "a", "age": 1})
    facade.execute_sql("add", "user", {"name": "b", "age": 2})
    assert facade.execute_sql("count", "user", {}, return_type=int) == 2
    assert names(fresh) == []
    facade.rollback()
    assert names(fresh) == []
    facade.execute_sql("add", "user", {"name": "c", "age": 3})
    facade.commit()
    assert names(fresh) == ["c"]
    assert VerdinSqlSession.connection_local.get() is bound
    facade.close()
    assert VerdinSqlSession.connection_local.get() is None


def test_failing_statement_inside_a_transaction(facade, fresh):
    facade.begin_tx()
    facade.execute_sql("add", "user", {"name": "lost", "age": 1})
    with pytest.raises(Exception):
        facade.execute_sql("broken", "user", {"x": 1})
    assert VerdinSqlSession.connection_local.get() is not None
    facade.execute_sql("add", "user", {"name": "kept", "age": 2})
    facade.commit()
    facade.close()
    assert names(fresh) == ["kept"]


def test_begin_tx_twice_and_separate_sessions(facade, engine, fresh):
    facade.begin_tx()
    first = VerdinSqlSession.connection_local.get()
    facade.begin_tx()
    second = VerdinSqlSession.connection_local.get()
    assert first is not second
    # a separate session, committed at once (before the transaction writes: SQLite has one writer)
    facade.execute_in_connection(lambda s: s.execute(text("insert into verdin_user(name) values ('own')")))
    assert names(fresh) == ["own"]
    facade.execute_sql("add", "user", {"name": "tx", "age": 1})
    assert names(fresh) == ["own"]
    facade.commit()
    facade.close()
    first.close()
    assert sorted(names(fresh)) == ["own", "tx"]
    other = facade.get_ori_session()
    assert isinstance(other, Session) and other is not VerdinSqlSession.connection_local.get()
    other.close()


def test_two_facades_share_the_bound_session(mappers, engine, users, tmp_path, fresh):
    from sqlalchemy import create_engine

    other_engine = create_engine(f"sqlite:///{tmp_path / 'other.db'}")
    first = VerdinSqlSession(mappers, data_source=engine)
    second = VerdinSqlSession(mappers, data_source=other_engine)
    first.begin_tx()
    second.execute_sql("add", "user", {"name": "via second", "age": 1})
    assert names(fresh) == []
    second.commit()
    second.close()
    assert names(fresh) == ["via second"]
    assert VerdinSqlSession.connection_local.get() is None
    other_engine.dispose()


def test_binding_is_per_thread_and_per_task(facade):
    facade.begin_tx()
    mine = VerdinSqlSession.connection_local.get()
    seen = []
    thread = threading.Thread(target=lambda: seen.append(VerdinSqlSession.connection_local.get()))
    thread.start()
    thread.join()
    assert seen == [None]

    async def inner():
        inherited = VerdinSqlSession.connection_local.get()
        facade.begin_tx()
        made = VerdinSqlSession.connection_local.get()
        facade.close()
        return inherited, made

    async def main():
        return await asyncio.gather(asyncio.create_task(inner()), asyncio.create_task(inner()))

    results = asyncio.run(main())
    assert all(inherited is mine for inherited, _ in results)
    assert all(made is not mine for _, made in results)
    assert VerdinSqlSession.connection_local.get() is mine
    facade.close()


# --- forwarding ------------------------------------------------------------------------------


class Recorder:
    """A template that records the calls made on it."""

    def __init__(self):
        self.data_source = "recorded"
        self.calls = []

    def __getattr__(self, name):
        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return name

        return method


def test_forwarding_calls(monkeypatch):
    rec = Recorder()
    f = VerdinSqlSession({}, querydeck=rec)
    s = object()
    monkeypatch.setattr(VerdinSqlSession, "_VerdinSqlSession__con", lambda self: s)
    q = text("select 1")
    f.select_one(q)
    f.select_list(q, {"a": 1})
    f.select_page(q, "P")
    f.insert(q, {"i": 1})
    f.insert_list(q, [{"i": 1}])
    f.delete(q, None)
    f.update(q, {"u": 1})
    f.add("obj")
    f.add_all(["o1"])
    for name in ["select_all_orm1", "select_all_orm2", "select_one_orm1", "select_one_orm2", "delete_orm2"]:
        getattr(f, name)("stmt")
    f.update_orm2("stmt", {"p": 1})
    f.bulk_update_mappings("Model", [{"id": 1}])
    f.insert_orm2("stmt")
    f.execute_in_connection(print)
    assert rec.calls == [
        ("select_one", (), {"sql": q, "con": s, "args": None}),
        ("select_list", (), {"sql": q, "con": s, "args": {"a": 1}}),
        ("select_page", (), {"sql": q, "page": "P", "con": s, "args": None}),
        ("insert", (), {"sql": q, "con": s, "args": {"i": 1}}),
        ("insert_list", (), {"sql": q, "con": s, "args": [{"i": 1}]}),
        ("delete", (), {"sql": q, "con": s, "args": None}),
        ("update", (), {"sql": q, "con": s, "args": {"u": 1}}),
        ("add", (), {"data": "obj", "con": s}),
        ("add_all", (), {"data": ["o1"], "con": s}),
        ("select_all_orm1", ("stmt",), {"con": s}),
        ("select_all_orm2", ("stmt",), {"con": s}),
        ("select_one_orm1", ("stmt",), {"con": s}),
        ("select_one_orm2", ("stmt",), {"con": s}),
        ("delete_orm2", ("stmt",), {"con": s}),
        ("update_orm2", ("stmt",), {"con": s, "sql_param": {"p": 1}}),
        ("bulk_update_mappings", ("Model", [{"id": 1}]), {"con": s}),
        ("insert_orm2", ("stmt", None), {"con": s}),
        ("execute_in_connection", (print,), {}),
    ]


def test_forwarding_argument_checks(facade, arg_type_message):
    for call, name, expected, got in [
        (lambda: facade.insert_orm2(insert(mm.UserRow), ({"name": "x"},)), "data_list", "list", "tuple"),
        (lambda: facade.bulk_update_mappings(mm.UserRow, ({"id": 1},)), "data_list", "list", "tuple"),
        (lambda: facade.update_orm2(update(mm.UserRow), [1]), "sql_param", "dict", "list"),
    ]:
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == arg_type_message(name, expected, got)
    with pytest.raises(TypeError):
        facade.insert(text("select 1"))


def test_forwarding_on_a_real_database(facade, fresh):
    facade.insert(text("insert into verdin_user(name, age) values (:name, :age)"), {"name": "a", "age": 1})
    facade.insert_orm2(insert(mm.UserRow), [{"name": "b", "age": 2}, {"name": "c", "age": 3}])
    facade.add(mm.UserRow(name="d", age=4))
    assert facade.update_orm2(update(mm.UserRow).where(mm.UserRow.age > 2).values(age=0)) == 2
    assert facade.select_one(text("select name from verdin_user where age = :a"), {"a": 1}) == {"name": "a"}
    assert [r.name for r in facade.select_all_orm2(select(mm.UserRow).order_by(mm.UserRow.id))] == list("abcd")
    page = facade.select_page(text("select name from verdin_user order by id"), Page(2, 2))
    assert page["total"] == 4 and page["list"] == [{"name": "c"}, {"name": "d"}]
    facade.begin_tx()
    facade.delete(text("delete from verdin_user where age = 0"), None)
    facade.rollback()
    facade.close()
    assert names(fresh) == list("abcd")


# --- loading mapper files --------------------------------------------------------------------


def test_load_mappers(tmp_path):
    (tmp_path / "a.xml").write_text('<mapper namespace="a"><select id="s">select 1</select></mapper>')
    sub = tmp_path / "more"
    sub.mkdir()
    (sub / "b.xml").write_text('<mapper namespace="b"><select id="s">select 2</select></mapper>')
    (sub / "notes.txt").write_text("not a mapper")
    mappers = load_mappers(tmp_path)
    assert list(mappers) == ["a", "b"] and all(isinstance(m, ParseMapper) for m in mappers.values())
    assert list(load_mappers([str(tmp_path / "a.xml"), sub])) == ["a", "b"]
    (tmp_path / "dup.xml").write_text('<mapper namespace="a"/>')
    with pytest.raises(ValueError, match="namespace 'a' is declared by both"):
        load_mappers(tmp_path)
    (tmp_path / "dup.xml").write_text("<mapper/>")
    with pytest.raises(ValueError, match="has no namespace"):
        load_mappers(str(tmp_path))
    with pytest.raises(FileNotFoundError):
        load_mappers([tmp_path / "missing.xml"])


def test_load_mappers_passes_over_what_is_not_a_file(tmp_path, child):
    (tmp_path / "a.xml").write_text('<mapper namespace="a"><select id="s">select 1</select></mapper>')
    os.mkfifo(tmp_path / "pipe.xml")  # opening it for reading would wait for a writer
    (tmp_path / "folder.xml").mkdir()
    assert child(f"""
        from verdin.mapper.stmtloom import load_mappers
        print(list(load_mappers({str(tmp_path)!r})))
    """, timeout=30) == ["['a']"]


FAST_PATH_SCRIPT = r"""
import json, sys
from sqlalchemy import create_engine, text
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

session_commits, session_executes = [], []
def profile(frame, event, arg):
    code = frame.f_code
    if event == "call" and code.co_qualname == "Session.commit":
        session_commits.append(1)
    if event == "call" and code.co_qualname == "Session.execute":
        session_executes.append(1)

engine = create_engine("sqlite:///" + sys.argv[1])
with engine.begin() as conn:
    conn.execute(text("create table item (id integer primary key, name text, n integer)"))
open(sys.argv[1] + ".xml", "w").write('''<mapper namespace="m">
  <insert id="add">insert into item (name, n) values (#{name}, #{n})</insert>
  <select id="some">select id, name, n from item where id in
    <foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}</foreach> order by id</select>
  <update id="bump">update item set n = n + 1 where id = #{id}</update>
</mapper>''')
db = VerdinSqlSession({"m": ParseMapper(sys.argv[1] + ".xml")}, data_source=engine)
sys.setprofile(profile)
out = [db.execute_sql("add", "m", {"name": f"x{i}", "n": i}) for i in range(3)]
out.append(db.execute_sql("bump", "m", {"id": 2}))
out += [db.execute_sql("some", "m", {"ids": [1, 2]}) for _ in range(3)]
out.append(db.execute_sql("some", "m", {"ids": [3, 2, 1]}, page=Page(1, 2)))
try:
    db.update(text("insert into item (id) values (1)"), {})
except Exception as e:
    out.append(type(e).__name__)
with db.transaction():
    before = len(session_executes)
    out += [db.execute_sql("some", "m", {"ids": [1, 2, 1]}) for _ in range(3)]
    executes = len(session_executes) - before
sys.setprofile(None)
clauses = [db.mapper_dict["m"].get_sql("some", {"ids": [1]})[0] for _ in range(3)]
print(json.dumps({"results": out, "session_commits": len(session_commits), "executes": executes,
                  "memoised": ["_generate_cache_key" in vars(c) for c in clauses],
                  "pool": engine.pool.checkedout()}))
"""


@pytest.mark.parametrize("off", ["", "1"])
def test_fast_paths_and_their_fallback_agree(tmp_path, off):
    import json
    import os
    import subprocess
    import sys

    script = tmp_path / "script.py"
    script.write_text(FAST_PATH_SCRIPT)
    env = dict(os.environ, VERDIN_NO_FAST_PATHS=off)
    done = subprocess.run([sys.executable, str(script), str(tmp_path / "db.sqlite")], env=env,
                          capture_output=True, text=True, check=True)
    report = json.loads(done.stdout)
    rows = [{"id": 1, "name": "x0", "n": 0}, {"id": 2, "name": "x1", "n": 2}]
    assert report["results"] == [1, 2, 3, 1, rows, rows, rows,
                                 {"pageNum": 1, "pageSize": 2, "total": 3, "list": rows}, "IntegrityError"] + [rows] * 3
    assert report["pool"] == 0
    # the fast paths skip the Session and reuse clauses; the public path does neither
    assert report["session_commits"] == (9 if off else 1)
    # in a transaction, the statements run on the session's connection, the first one included
    assert report["executes"] == (3 if off else 0)
    assert report["memoised"] == [False, not off, not off]

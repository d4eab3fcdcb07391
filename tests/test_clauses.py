"""Clauses from get_sql: each one is the caller's own, and the clauses kept for reuse stay small."""
import pytest
from sqlalchemy import String, TypeDecorator, text

from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="c">
  <select id="named">select name from {table} where name = #{{name}} order by id</select>
</mapper>"""


class Suffixed(TypeDecorator):
    impl = String
    cache_ok = True

    def process_bind_param(self, value, dialect):
        return value + "b"


def bound(bind):
    return bind.key, bind.value, bind.required, type(bind.type)


def retype(clause):
    for bind in clause.get_children():
        bind.type = Suffixed()


def revalue(clause):
    for bind in clause.get_children():
        bind.value, bind.required = "ab", False


def retext(clause):
    clause.text = clause.text.replace("name =", "name <>")


@pytest.mark.parametrize("ran_before", [False, True], ids=["new", "ran"])
@pytest.mark.parametrize("change, params, changed_rows", [
    (retext, {"name": "a"}, ["ab"]),
    (retype, {"name": "a"}, ["ab"]),
    (revalue, {}, ["ab"]),
], ids=["text", "type", "value"])
def test_a_changed_clause_changes_no_other(engine, table, tmp_path, ran_before, change, params, changed_rows):
    path = tmp_path / "c.xml"
    path.write_text(MAPPER.format(table=table))
    mapper = ParseMapper(str(path))
    with engine.begin() as conn:
        conn.execute(text(f"insert into {table} (name, n) values ('a', 1), ('ab', 2)"))

    def run(clause, binds):
        with engine.connect() as conn:
            return [r[0] for r in conn.execute(clause, binds)]

    # a statement is kept for reuse from its second request on
    for _ in range(2):
        clause, binds, *_ = mapper.get_sql("named", {"name": "a"})
        if ran_before:
            assert run(clause, binds) == ["a"]
    changed, _, *_ = mapper.get_sql("named", {"name": "a"})
    change(changed)
    assert run(changed, params) == changed_rows
    untouched, binds, *_ = mapper.get_sql("named", {"name": "a"})
    assert untouched.text == f"select name from {table} where name = :name order by id"
    assert run(untouched, binds) == ["a"]
    assert [bound(b) for b in untouched.get_children()] == [bound(b) for b in text(untouched.text).get_children()]


def test_kept_clauses_stay_within_a_few_mib(child):
    # Distinct long IN lists, each asked for twice so that it is kept with its cache key.
    lines = child("""
        import gc, random, tracemalloc
        from verdin.mapper.stmtloom import ParseMapper
        tracemalloc.start()
        random.seed(5)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(40):
            ids = ", ".join(f"#{{i{k}}}" for k in range(random.randrange(1000, 1500)))
            for _ in range(2):
                ParseMapper.to_prepared_statement(f"select * from t{i} where id in ({ids})", {})
        gc.collect()
        print(tracemalloc.get_traced_memory()[0] - before)
    """, timeout=300)
    # kept whole, these would hold about 26 MiB
    assert int(lines[0]) < 12 * 2**20

"""The road of one query: VerdinSqlSession.execute_sql against plain SQLAlchemy, and
results_handle against the list comprehension a user would write.

Plain SQLAlchemy: text() of the statement, Session(bind=engine, expire_on_commit=False),
execute, _asdict() per row, commit, close. execute_sql necessarily builds a new TextClause per
call, and SQLAlchemy spends 20-30 µs on every new one (construction, cache key), so the target
compares against plain code that does the same; the lines marked "(prepared)" compare against a
text() constant built once, for reference. Measured alternately in one run.

Run: python bench/bench_txnfront.py
"""
import dataclasses
import os
import tempfile

import pydantic
from _common import best_pair, item_database
from sqlalchemy import text
from sqlalchemy.orm import Session

from verdin.db.txnfront import VerdinSqlSession, results_handle
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="shop">
  <select id="items">select id, name, price, qty from item where id &lt;= #{last} order by id</select>
  <insert id="add">insert into item (name, price, qty) values (#{name}, #{price}, #{qty})</insert>
</mapper>"""


@dataclasses.dataclass
class ItemData:
    id: int
    name: str
    price: float
    qty: int


class ItemModel(pydantic.BaseModel):
    id: int
    name: str
    price: float
    qty: int



def main():
    engine, path = item_database(100)
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(MAPPER)
    db = VerdinSqlSession({"shop": ParseMapper(f.name)}, data_source=engine)
    os.unlink(f.name)

    select_sql = "select id, name, price, qty from item where id <= :last order by id"
    insert_sql = "insert into item (name, price, qty) values (:name, :price, :qty)"
    prepared_select, prepared_insert = text(select_sql), text(insert_sql)
    row = {"name": "new", "price": 1.0, "qty": 1}

    def plain_select(prepared=None):
        s = Session(bind=engine, expire_on_commit=False)
        rows = [r._asdict() for r in s.execute(prepared if prepared is not None else text(select_sql),
                                               {"last": 10}).all()]
        s.commit()
        s.close()
        return rows

    def plain_insert(prepared=None):
        s = Session(bind=engine, expire_on_commit=False)
        rowid = s.execute(prepared if prepared is not None else text(insert_sql), row).lastrowid
        s.commit()
        s.close()
        return rowid

    assert db.execute_sql("items", "shop", {"last": 10}) == plain_select()
    print(f"{'operation':<34}{'verdin µs':>11}{'plain µs':>11}{'ratio':>8}")
    for label, ours, plain, number in [
        ("execute_sql select, 10 rows", lambda: db.execute_sql("items", "shop", {"last": 10}), plain_select, 1000),
        ("execute_sql insert, 1 row", lambda: db.execute_sql("add", "shop", row), plain_insert, 1000),
        ("  (prepared) select, 10 rows", lambda: db.execute_sql("items", "shop", {"last": 10}),
         lambda: plain_select(prepared_select), 1000),
        ("  (prepared) insert, 1 row", lambda: db.execute_sql("add", "shop", row),
         lambda: plain_insert(prepared_insert), 1000),
    ]:
        a, b = best_pair(ours, plain, number)
        print(f"{label:<34}{a * 1e6:>11.1f}{b * 1e6:>11.1f}{a / b:>8.2f}")

    rows = [{"id": i, "name": f"item {i}", "price": i * 1.5, "qty": i} for i in range(10_000)]
    for label, cls in [("results_handle 10k -> dataclass", ItemData), ("results_handle 10k -> pydantic", ItemModel)]:
        assert results_handle(rows, cls, None) == [cls(**r) for r in rows]
        a, b = best_pair(lambda: results_handle(rows, cls, None), lambda: [cls(**r) for r in rows], 3, rounds=7)
        print(f"{label:<34}{a * 1e3:>10.2f}m{b * 1e3:>10.2f}m{a / b:>8.2f}")
    engine.dispose()
    os.unlink(path)


if __name__ == "__main__":
    main()

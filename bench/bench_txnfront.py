"""The road of one query: VerdinSqlSession.execute_sql against the SQLAlchemy code a user would
write instead, and results_handle against the list comprehension a user would write.

The floor is idiomatic SQLAlchemy: text() constants built once at import (an expanding bindparam
for the IN list), `with Session(engine) as s:` per call, rows through .mappings() turned into
the dictionaries execute_sql returns, reads not committed, writes committed. A second reference
builds the text() on every call, as code that assembles its SQL at run time has to.
Every pair is measured alternately in one run.

Run: python bench/bench_txnfront.py [repeats]
"""
import dataclasses
import os
import sys
import tempfile

import pydantic
from sqlalchemy import bindparam, text
from sqlalchemy.orm import Session

from _common import best_pair, item_database
from verdin.db.txnfront import VerdinSqlSession, results_handle
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="shop">
  <select id="one">select id, name, price, qty from item where id = #{id}</select>
  <select id="count" resultType="int">select count(*) from item</select>
  <select id="upto">select id, name, price, qty from item where id &lt;= #{last} order by id</select>
  <select id="among">select id, name, price, qty from item where id in
    <foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}</foreach>
  </select>
  <update id="set_qty">update item set qty = #{qty} where id = #{id}</update>
  <insert id="add">insert into item (name, price, qty) values (#{name}, #{price}, #{qty})</insert>
</mapper>"""

ONE_SQL = "select id, name, price, qty from item where id = :id"
COUNT_SQL = "select count(*) from item"
UPTO_SQL = "select id, name, price, qty from item where id <= :last order by id"
AMONG_SQL = "select id, name, price, qty from item where id in :ids"
SET_QTY_SQL = "update item set qty = :qty where id = :id"
ADD_SQL = "insert into item (name, price, qty) values (:name, :price, :qty)"

ONE = text(ONE_SQL)
COUNT = text(COUNT_SQL)
UPTO = text(UPTO_SQL)
AMONG = text(AMONG_SQL).bindparams(bindparam("ids", expanding=True))
SET_QTY = text(SET_QTY_SQL)
ADD = text(ADD_SQL)

ROW = {"name": "new", "price": 1.0, "qty": 1}
IDS = list(range(1, 51))


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


def plain_calls(engine, per_call):
    """The hand-written version of each call; `per_call` builds the text() inside the call."""
    one = (lambda: text(ONE_SQL)) if per_call else (lambda: ONE)
    count = (lambda: text(COUNT_SQL)) if per_call else (lambda: COUNT)
    upto = (lambda: text(UPTO_SQL)) if per_call else (lambda: UPTO)
    among = ((lambda: text(AMONG_SQL).bindparams(bindparam("ids", expanding=True))) if per_call
             else (lambda: AMONG))
    set_qty = (lambda: text(SET_QTY_SQL)) if per_call else (lambda: SET_QTY)
    add = (lambda: text(ADD_SQL)) if per_call else (lambda: ADD)

    def select_one():
        with Session(engine) as s:
            row = s.execute(one(), {"id": 7}).mappings().first()
            return None if row is None else dict(row)

    def select_count():
        with Session(engine) as s:
            return s.execute(count()).scalar()

    def select_ten():
        with Session(engine) as s:
            return [dict(r) for r in s.execute(upto(), {"last": 10}).mappings()]

    def select_among():
        with Session(engine) as s:
            return [dict(r) for r in s.execute(among(), {"ids": IDS}).mappings()]

    def update_one():
        with Session(engine) as s:
            n = s.execute(set_qty(), {"qty": 3, "id": 5}).rowcount
            s.commit()
            return n

    def insert_one():
        with Session(engine) as s:
            rowid = s.execute(add(), ROW).lastrowid
            s.commit()
            return rowid

    return [select_one, select_count, select_ten, select_among, update_one, insert_one]


def verdin_calls(db):
    return [
        lambda: db.execute_sql("one", "shop", {"id": 7}, return_type=dict),
        lambda: db.execute_sql("count", "shop", {}, return_type=int),
        lambda: db.execute_sql("upto", "shop", {"last": 10}),
        lambda: db.execute_sql("among", "shop", {"ids": IDS}),
        lambda: db.execute_sql("set_qty", "shop", {"qty": 3, "id": 5}),
        lambda: db.execute_sql("add", "shop", ROW),
    ]


LABELS = ["one-row select (dict)", "count (int)", "10-row select", "IN list of 50",
          "one-row update", "insert"]


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    engine, path = item_database(100)
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(MAPPER)
    db = VerdinSqlSession({"shop": ParseMapper(f.name)}, data_source=engine)
    os.unlink(f.name)

    ours = verdin_calls(db)
    idiomatic = plain_calls(engine, per_call=False)
    per_call = plain_calls(engine, per_call=True)
    for mine, theirs in zip(ours[:4], idiomatic[:4]):
        assert mine() == theirs()
    assert ours[4]() == idiomatic[4]() == 1

    print(f"{'execute_sql against':<26}{'verdin µs':>11}{'plain µs':>11}{'ratio':>8}"
          f"{'text()/call µs':>16}{'ratio':>8}")
    for _ in range(repeats):
        for label, mine, floor, built in zip(LABELS, ours, idiomatic, per_call):
            a, b = best_pair(mine, floor, 500, rounds=9)
            c, d = best_pair(mine, built, 500, rounds=5)
            print(f"{label:<26}{a * 1e6:>11.1f}{b * 1e6:>11.1f}{a / b:>8.2f}{d * 1e6:>16.1f}{c / d:>8.2f}")

    rows = [{"id": i, "name": f"item {i}", "price": i * 1.5, "qty": i} for i in range(10_000)]
    for label, cls in [("results_handle 10k -> dataclass", ItemData), ("results_handle 10k -> pydantic", ItemModel)]:
        assert results_handle(rows, cls, None) == [cls(**r) for r in rows]
        a, b = best_pair(lambda: results_handle(rows, cls, None), lambda: [cls(**r) for r in rows], 3, rounds=7)
        print(f"{label:<34}{a * 1e3:>10.2f}m{b * 1e3:>10.2f}m{a / b:>8.2f}")
    engine.dispose()
    os.unlink(path)


if __name__ == "__main__":
    main()

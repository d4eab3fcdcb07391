"""SqlTemplate against the SQLAlchemy code a user would write for the same statement.

The floor is idiomatic SQLAlchemy: the same text() constants, `with Session(engine) as s:` per
call, rows through .mappings() turned into dictionaries, reads not committed, writes committed.
Both run on the same SQLite file, measured alternately in one run.

Run: python bench/bench_querydeck.py
"""
import os

from sqlalchemy import text
from sqlalchemy.orm import Session

from _common import best_pair, item_database
from verdin.db.querydeck import Page, SqlTemplate

ONE = text("select id, name, price, qty from item where id = :id")
HUNDRED = text("select id, name, price, qty from item where id <= :last order by id")
PAGED = text("select id, name, price, qty from item where qty > :floor order by id")
INSERT = text("insert into item (name, price, qty) values (:name, :price, :qty)")
ROW = {"name": "new", "price": 1.0, "qty": 1}


def main():
    engine, path = item_database(1000)
    t = SqlTemplate(engine)

    def plain_list(sql, args):
        with Session(engine) as s:
            return [dict(r) for r in s.execute(sql, args).mappings()]

    def plain_page(sql, page, args):
        with Session(engine) as s:
            result = {"pageNum": page.pageNum, "pageSize": page.pageSize}
            result["total"] = s.execute(text("select count(*) from ( " + sql.text + " ) temp"), args).scalar()
            start = (page.pageNum - 1) * page.pageSize
            limited = text(sql.text + f" limit {start},{page.pageSize}")
            result["list"] = [dict(r) for r in s.execute(limited, args).mappings()]
            return result

    def plain_insert(sql, args):
        with Session(engine) as s:
            rowid = s.execute(sql, args).lastrowid
            s.commit()
            return rowid

    assert t.select_list(HUNDRED, args={"last": 100}) == plain_list(HUNDRED, {"last": 100})
    page = Page(2, 10)
    assert t.select_page(PAGED, page, args={"floor": 0}) == plain_page(PAGED, page, {"floor": 0})

    cases = [
        ("select_list 1 row", lambda: t.select_list(ONE, args={"id": 7}), lambda: plain_list(ONE, {"id": 7}), 2000),
        ("select_list 100 rows", lambda: t.select_list(HUNDRED, args={"last": 100}),
         lambda: plain_list(HUNDRED, {"last": 100}), 300),
        ("select_page 10 rows", lambda: t.select_page(PAGED, page, args={"floor": 0}),
         lambda: plain_page(PAGED, page, {"floor": 0}), 500),
        ("insert 1 row", lambda: t.insert(INSERT, args=ROW), lambda: plain_insert(INSERT, ROW), 1000),
    ]
    print(f"{'operation':<22}{'verdin µs':>11}{'plain µs':>11}{'ratio':>8}")
    for label, ours, plain, number in cases:
        a, b = best_pair(ours, plain, number)
        print(f"{label:<22}{a * 1e6:>11.1f}{b * 1e6:>11.1f}{a / b:>8.2f}")
    engine.dispose()
    os.unlink(path)


if __name__ == "__main__":
    main()

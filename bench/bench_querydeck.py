"""SqlTemplate against plain SQLAlchemy doing the same work with a session per call.

Plain SQLAlchemy: Session(bind=engine, expire_on_commit=False), execute, rows via _asdict(),
commit, close. Both run on the same SQLite file, measured alternately in one run.

Run: python bench/bench_querydeck.py
"""
import os

from _common import best_pair, item_database
from sqlalchemy import text
from sqlalchemy.orm import Session

from verdin.db.querydeck import Page, SqlTemplate



def main():
    engine, path = item_database(1000)
    t = SqlTemplate(engine)

    one = text("select id, name, price, qty from item where id = :id")
    hundred = text("select id, name, price, qty from item where id <= :last order by id")
    paged = text("select id, name, price, qty from item where qty > :floor order by id")
    ins = text("insert into item (name, price, qty) values (:name, :price, :qty)")
    row = {"name": "new", "price": 1.0, "qty": 1}

    def plain_list(sql, args):
        s = Session(bind=engine, expire_on_commit=False)
        rows = [r._asdict() for r in s.execute(sql, args).all()]
        s.commit()
        s.close()
        return rows

    def plain_page(sql, page, args):
        s = Session(bind=engine, expire_on_commit=False)
        result = {"pageNum": page.pageNum, "pageSize": page.pageSize}
        result["total"] = s.execute(text("select count(*) from ( " + sql.text + " ) temp"), args).scalar()
        start = (page.pageNum - 1) * page.pageSize
        limited = text(sql.text + f" limit {start},{page.pageSize}")
        result["list"] = [r._asdict() for r in s.execute(limited, args).all()]
        s.commit()
        s.close()
        return result

    def plain_insert(sql, args):
        s = Session(bind=engine, expire_on_commit=False)
        rowid = s.execute(sql, args).lastrowid
        s.commit()
        s.close()
        return rowid

    assert t.select_list(hundred, args={"last": 100}) == plain_list(hundred, {"last": 100})
    page = Page(2, 10)
    assert t.select_page(paged, page, args={"floor": 0}) == plain_page(paged, page, {"floor": 0})

    cases = [
        ("select_list 1 row", lambda: t.select_list(one, args={"id": 7}), lambda: plain_list(one, {"id": 7}), 2000),
        ("select_list 100 rows", lambda: t.select_list(hundred, args={"last": 100}),
         lambda: plain_list(hundred, {"last": 100}), 300),
        ("select_page 10 rows", lambda: t.select_page(paged, page, args={"floor": 0}),
         lambda: plain_page(paged, page, {"floor": 0}), 500),
        ("insert 1 row", lambda: t.insert(ins, args=row), lambda: plain_insert(ins, row), 1000),
    ]
    print(f"{'operation':<22}{'verdin µs':>11}{'plain µs':>11}{'ratio':>8}")
    for label, ours, plain, number in cases:
        a, b = best_pair(ours, plain, number)
        print(f"{label:<22}{a * 1e6:>11.1f}{b * 1e6:>11.1f}{a / b:>8.2f}")
    engine.dispose()
    os.unlink(path)


if __name__ == "__main__":
    main()

"""Bulk insert of 5,000 rows: execute_many against SQLAlchemy Core's chunked insert(), and against
one execute_sql per row inside transaction() (what callers did before execute_many), on SQLite
(a file on tmpfs), MariaDB and PostgreSQL when they answer. Every variant inserts the same rows
into an emptied table; the best of several rounds is kept, the variants measured alternately.

Run: python bench/bench_bulk.py [rounds]
"""
import os
import sys
import tempfile
import time
import uuid

from sqlalchemy import Column, Float, Integer, MetaData, String, Table, insert, text

from _common import reachable_engine
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

ROWS = 5000
CHUNK = 1000
URLS = {"mariadb": os.environ.get("VERDIN_MARIADB_URL", "mysql+pymysql://root@127.0.0.1:3306/test"),
        "postgresql": os.environ.get("VERDIN_POSTGRES_URL", "postgresql+psycopg://postgres@127.0.0.1:5432/test")}
MAPPER = """<mapper namespace="bulk">
  <insert id="add">insert into {table} (name, price, qty) values (#{{name}}, #{{price}}, #{{qty}})</insert>
</mapper>"""


def measure(name, url, rounds, folder):
    engine = reachable_engine(name, url)
    if engine is None:
        return None
    table_name = "bulk_" + uuid.uuid4().hex[:8]
    table = Table(table_name, MetaData(), Column("id", Integer, primary_key=True, autoincrement=True),
                  Column("name", String(50)), Column("price", Float), Column("qty", Integer))
    table.create(engine)
    path = os.path.join(folder, f"{table_name}.xml")
    with open(path, "w") as f:
        f.write(MAPPER.format(table=table_name))
    db = VerdinSqlSession({"bulk": ParseMapper(path)}, data_source=engine)
    rows = [{"name": f"ticket {i}", "price": i * 0.5, "qty": i % 7} for i in range(ROWS)]

    def core():
        with engine.begin() as conn:
            for start in range(0, ROWS, CHUNK):
                conn.execute(insert(table), rows[start:start + CHUNK])

    def many():
        assert db.execute_many("add", "bulk", rows) == ROWS

    def per_row():
        with db.transaction():
            for row in rows:
                db.execute_sql("add", "bulk", row)

    variants = {"core": core, "execute_many": many, "per_row": per_row}
    best = dict.fromkeys(variants, float("inf"))
    try:
        for _ in range(rounds):
            for key, run in variants.items():
                with engine.begin() as conn:
                    conn.execute(text(f"delete from {table_name}"))
                start = time.perf_counter()
                run()
                best[key] = min(best[key], time.perf_counter() - start)
    finally:
        table.drop(engine)
        engine.dispose()
    print(f"{name:<11} core insert() {best['core'] * 1e3:7.1f} ms   execute_many {best['execute_many'] * 1e3:7.1f} ms"
          f" ({best['execute_many'] / best['core']:.2f}x)   execute_sql per row {best['per_row'] * 1e3:7.1f} ms"
          f" ({best['per_row'] / best['core']:.1f}x)")
    return best


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    folder = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=folder) as tmp:
        print(f"{ROWS} rows, Core in chunks of {CHUNK}, best of {rounds} rounds")
        measure("SQLite", f"sqlite:///{os.path.join(tmp, 'bulk.db')}", rounds, tmp)
        for name, url in URLS.items():
            measure("MariaDB" if name == "mariadb" else "PostgreSQL", url, rounds, tmp)


if __name__ == "__main__":
    main()

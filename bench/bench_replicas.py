"""What routing reads to a replica costs: a facade with replicas=[e] (reads go to e, the primary
is another database) against a facade with data_source=e, each call reading the same rows from
the same engine. The difference is the routing itself; the aim is at most 2% per call.

Run: python bench/bench_replicas.py [repeats]
"""
import os
import sys
import tempfile

from _common import best_pair, item_database
from sqlalchemy import text

from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="shop">
  <select id="one">select id, name, price, qty from item where id = #{id}</select>
  <select id="count" resultType="int">select count(*) from item</select>
  <select id="upto">select id, name, price, qty from item where id &lt;= #{last} order by id</select>
</mapper>"""
ONE = text("select id, name, price, qty from item where id = :id")


def calls(db):
    return [
        lambda: db.execute_sql("one", "shop", {"id": 7}, return_type=dict),
        lambda: db.execute_sql("count", "shop", {}, return_type=int),
        lambda: db.execute_sql("upto", "shop", {"last": 10}),
        lambda: db.execute_sql("upto", "shop", {"last": 50}, page=Page(2, 10)),
        lambda: db.select_one(ONE, {"id": 7}),
    ]


LABELS = ["execute_sql one row (dict)", "execute_sql count (int)", "execute_sql 10 rows",
          "execute_sql page of 10", "select_one"]


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    replica, replica_path = item_database(100)
    primary, primary_path = item_database(1)  # one row: a read that reached it would differ
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(MAPPER)
    mappers = {"shop": ParseMapper(f.name)}
    os.unlink(f.name)
    routed = VerdinSqlSession(mappers, data_source=primary, replicas=[replica])
    direct = VerdinSqlSession(mappers, data_source=replica)

    ours, theirs = calls(routed), calls(direct)
    for mine, other in zip(ours, theirs):
        assert mine() == other() and mine() not in ([], None, 0)

    print(f"{'read through':<30}{'replicas=[e] µs':>17}{'data_source=e µs':>18}{'ratio':>8}")
    for _ in range(repeats):
        for label, mine, other in zip(LABELS, ours, theirs):
            a, b = best_pair(mine, other, 500, rounds=15)
            print(f"{label:<30}{a * 1e6:>17.1f}{b * 1e6:>18.1f}{a / b:>8.3f}")
    for engine, path in ((replica, replica_path), (primary, primary_path)):
        engine.dispose()
        os.unlink(path)


if __name__ == "__main__":
    main()

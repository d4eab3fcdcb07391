"""What routing reads to a replica costs: a facade with replicas=[e] (reads go to e, the primary
is another database) against a facade with data_source=e, each call reading the same rows from
the same engine. The difference is the routing itself; the aim is at most 2% per call.

Two measures, each a ratio of the two facades measured in one run:
- time: best per-call time, the two measured alternately (needs a quiet machine: the routing is
  a fraction of a microsecond, so a busy neighbour's noise is larger than what is measured);
- instructions: the instructions one call executes, counted by valgrind's callgrind as the
  difference between a process that makes N calls and one that makes none. Repeatable to a few
  parts in ten thousand whatever else the machine is doing.

Run: python bench/bench_replicas.py [repeats] [--instructions]
"""
import os
import re
import subprocess
import sys
import tempfile

from sqlalchemy import text

from _common import best_pair, item_database
from verdin.db.querydeck import Page
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

MAPPER = """<mapper namespace="shop">
  <select id="one">select id, name, price, qty from item where id = #{id}</select>
  <select id="count" resultType="int">select count(*) from item</select>
  <select id="upto">select id, name, price, qty from item where id &lt;= #{last} order by id</select>
</mapper>"""
ONE = text("select id, name, price, qty from item where id = :id")
LABELS = ["execute_sql one row (dict)", "execute_sql count (int)", "execute_sql 10 rows",
          "execute_sql page of 10", "select_one"]


def calls(db):
    return [
        lambda: db.execute_sql("one", "shop", {"id": 7}, return_type=dict),
        lambda: db.execute_sql("count", "shop", {}, return_type=int),
        lambda: db.execute_sql("upto", "shop", {"last": 10}),
        lambda: db.execute_sql("upto", "shop", {"last": 50}, page=Page(2, 10)),
        lambda: db.select_one(ONE, {"id": 7}),
    ]


def facades():
    """(routed, direct, cleanup): the two facades over the same replica file."""
    replica, replica_path = item_database(100)
    primary, primary_path = item_database(1)  # one row: a read that reached it would differ
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(MAPPER)
    mappers = {"shop": ParseMapper(f.name)}
    os.unlink(f.name)

    def cleanup():
        for engine, path in ((replica, replica_path), (primary, primary_path)):
            engine.dispose()
            os.unlink(path)

    return (VerdinSqlSession(mappers, data_source=primary, replicas=[replica]),
            VerdinSqlSession(mappers, data_source=replica), cleanup)


def child(which, index, count):
    """Warms every call of both facades up, then makes `count` calls of one: run under callgrind,
    so that a run without calls is the baseline of every other."""
    routed, direct, cleanup = facades()
    both = {"routed": calls(routed), "direct": calls(direct)}
    for call in both["routed"] + both["direct"]:
        for _ in range(100):
            call()
    call = both[which][index]
    for _ in range(count):
        call()
    cleanup()


def collected(which="routed", index=0, count=0):
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__, "--child",
         which, str(index), str(count)], capture_output=True, text=True, check=True,
        env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def instructions(count=1000):
    print(f"{'instructions per call':<30}{'replicas=[e]':>14}{'data_source=e':>15}{'ratio':>8}")
    baseline = collected()
    for index, label in enumerate(LABELS):
        per_call = {which: (collected(which, index, count) - baseline) / count for which in ("routed", "direct")}
        print(f"{label:<30}{per_call['routed']:>14.0f}{per_call['direct']:>15.0f}"
              f"{per_call['routed'] / per_call['direct']:>8.4f}", flush=True)


def main():
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    repeats = int(next((a for a in sys.argv[1:] if a.isdigit()), 1))
    routed, direct, cleanup = facades()
    ours, theirs = calls(routed), calls(direct)
    for mine, other in zip(ours, theirs):
        assert mine() == other() and mine() not in ([], None, 0)

    print(f"{'time per call':<30}{'replicas=[e] µs':>17}{'data_source=e µs':>18}{'ratio':>8}")
    for _ in range(repeats):
        for label, mine, other in zip(LABELS, ours, theirs):
            a, b = best_pair(mine, other, 200, rounds=41)
            print(f"{label:<30}{a * 1e6:>17.1f}{b * 1e6:>18.1f}{a / b:>8.3f}")
    cleanup()
    if "--instructions" in sys.argv:
        instructions()


if __name__ == "__main__":
    main()

"""Memory of stream_sql over 10^6 rows: the resident set size sampled every 100,000 rows stays
flat, where execute_sql holds every row at once. The rows come from a cross join of digit tables,
so no table has to be filled first. SQLite (in memory), MariaDB and PostgreSQL when they answer.

Run: python bench/bench_stream.py [rows, a power of ten up to 10^6]
"""
import gc
import os
import sys
import tempfile
import time

from _common import reachable_engine
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper

URLS = {"MariaDB": os.environ.get("VERDIN_MARIADB_URL", "mysql+pymysql://root@127.0.0.1:3306/test"),
        "PostgreSQL": os.environ.get("VERDIN_POSTGRES_URL", "postgresql+psycopg://postgres@127.0.0.1:5432/test")}
DIGITS = "(" + " union all ".join(f"select {d} as d" for d in range(10)) + ")"


def mapper_text(digits):
    tables = ", ".join(f"{DIGITS} t{i}" for i in range(digits))
    number = " + ".join(f"t{i}.d * {10 ** i}" for i in range(digits))
    return f"""<mapper namespace="big">
  <select id="rows">select {number} as id, 'row' as label, {number} * 0.5 as price from {tables}</select>
</mapper>"""


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def measure(name, url, mappers, rows):
    engine = reachable_engine(name, url)
    if engine is None:
        return
    db = VerdinSqlSession(mappers, data_source=engine)
    gc.collect()
    samples, count, start = [rss_mib()], 0, time.perf_counter()
    for _ in db.stream_sql("rows", "big", batch_size=1000):
        count += 1
        if count % (rows // 10) == 0:
            samples.append(rss_mib())
    streamed = time.perf_counter() - start
    assert count == rows
    gc.collect()
    before = rss_mib()
    start = time.perf_counter()
    whole = db.execute_sql("rows", "big", {})
    listed = time.perf_counter() - start
    held = rss_mib() - before
    del whole
    engine.dispose()
    print(f"{name:<11} stream_sql RSS MiB every {rows // 10:,} rows: " + " ".join(f"{s:.0f}" for s in samples)
          + f"  ({streamed:.1f} s)   execute_sql list: +{held:.0f} MiB ({listed:.1f} s)")


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 10 ** 6
    digits = len(str(rows)) - 1
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.xml")
        with open(path, "w") as f:
            f.write(mapper_text(digits))
        mappers = {"big": ParseMapper(path)}
        print(f"{rows:,} rows, batches of 1000")
        measure("SQLite", f"sqlite:///{os.path.join(tmp, 'big.db')}", mappers, rows)
        for name, url in URLS.items():
            measure(name, url, mappers, rows)


if __name__ == "__main__":
    main()

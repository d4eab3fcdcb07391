"""verdin against the SQLAlchemy code it replaces, in every mode a service meets.

Rows: the modes. Columns: verdin ÷ idiomatic Session code, verdin ÷ Core on a Connection.
One unit of work is a one-row select (to a dict), a 10-row select (to dicts) and a one-row
update, the way each side would write it:

  owned          each statement in a session of its own: execute_sql / `with Session(engine)`
                 per statement (reads not committed, writes committed) / `engine.connect()`
                 per read, `engine.begin()` per write
  transaction    the three statements in one transaction: `with db.transaction():` /
                 `with Session(engine) as s, s.begin():` / `with engine.begin() as conn:`
  listener       owned, with one class-level Session listener (after_begin, doing nothing) as
                 instrumentation adds; Core has no Session, so nothing to listen to
  no fast paths  owned, with VERDIN_NO_FAST_PATHS=1: every verdin call through a Session; its last
                 column sets it against the same steps written by hand (a Session, a new text(),
                 session.execute, rows as dicts, commit, close)

With --more, four modes where verdin's shortcuts decline (Core pays the engine listener too, and
has no Session for the ORM one):
  engine listener        owned, with a before_cursor_execute listener on the engine (what
                         OpenTelemetry's SQLAlchemy instrumentation registers)
  engine listener in tx  the same, in one transaction
  ORM listener           owned, with a class-level do_orm_execute listener on Session: every
                         verdin statement then goes through session.execute
  ORM listener in tx     the same, in one transaction

The last columns are verdin's client CPU per unit and that of the same work on one open DBAPI
connection of the driver (the physical limit). The client runs on one core, and PostgreSQL's
server processes for it on the others. Client CPU time (time.process_time) per unit (150 units a
side per round, the sides alternated in each round); a run's ratio is the median over its rounds
of each round's ratio, verdin's µs its best round; the table shows min-max over the runs.
Every mode runs in a fresh interpreter (the environment switch is read at import).

Run: python bench/ratios.py [runs] [database...] [--more]   (default 3 runs on every database: MariaDB and
PostgreSQL where they answer, at VERDIN_MARIADB_URL / VERDIN_POSTGRES_URL or the test suite's
defaults; name databases as "sqlite-file", "sqlite-memory", "mariadb", "postgresql" to pick some)
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import uuid

ROUNDS = 9  # rounds per run; the sides alternate in each
MODES = ["owned", "transaction", "listener", "no fast paths"]
MORE_MODES = ["engine listener", "engine listener in tx", "ORM listener", "ORM listener in tx"]
DATABASES = ["SQLite file", "SQLite memory", "MariaDB", "PostgreSQL"]
MARIADB_URL = os.environ.get("VERDIN_MARIADB_URL", "mysql+pymysql://root@127.0.0.1:3306/test")
POSTGRES_URL = os.environ.get("VERDIN_POSTGRES_URL", "postgresql+psycopg://postgres@127.0.0.1:5432/test")

MAPPER = """<mapper namespace="shop">
  <select id="one">select id, name, price, qty from {table} where id = #{{id}}</select>
  <select id="upto">select id, name, price, qty from {table} where id &lt;= #{{last}} order by id</select>
  <update id="set_qty">update {table} set qty = #{{qty}} where id = #{{id}}</update>
</mapper>"""


def database_url(name, folder):
    if name == "SQLite file":
        return f"sqlite:///{os.path.join(folder, 'bench.db')}"
    if name == "SQLite memory":
        return "sqlite://"
    return MARIADB_URL if name == "MariaDB" else POSTGRES_URL


def workloads(engine, db, table):
    """(verdin, idiomatic, core): callables doing one unit of work each, for every mode."""
    from sqlalchemy import text
    from sqlalchemy.orm import Session

    one = text(f"select id, name, price, qty from {table} where id = :id")
    upto = text(f"select id, name, price, qty from {table} where id <= :last order by id")
    set_qty = text(f"update {table} set qty = :qty where id = :id")

    def verdin_owned():
        a = db.execute_sql("one", "shop", {"id": 7}, return_type=dict)
        b = db.execute_sql("upto", "shop", {"last": 10})
        c = db.execute_sql("set_qty", "shop", {"qty": 3, "id": 5})
        return a, b, c

    def verdin_tx():
        with db.transaction():
            return verdin_owned()

    def session_owned():
        with Session(engine) as s:
            row = s.execute(one, {"id": 7}).mappings().first()
            a = None if row is None else dict(row)
        with Session(engine) as s:
            b = [dict(r) for r in s.execute(upto, {"last": 10}).mappings()]
        with Session(engine) as s:
            c = s.execute(set_qty, {"qty": 3, "id": 5}).rowcount
            s.commit()
        return a, b, c

    def session_tx():
        with Session(engine) as s, s.begin():
            row = s.execute(one, {"id": 7}).mappings().first()
            a = None if row is None else dict(row)
            b = [dict(r) for r in s.execute(upto, {"last": 10}).mappings()]
            c = s.execute(set_qty, {"qty": 3, "id": 5}).rowcount
        return a, b, c

    def core_owned():
        with engine.connect() as conn:
            row = conn.execute(one, {"id": 7}).mappings().first()
            a = None if row is None else dict(row)
        with engine.connect() as conn:
            b = [dict(r) for r in conn.execute(upto, {"last": 10}).mappings()]
        with engine.begin() as conn:
            c = conn.execute(set_qty, {"qty": 3, "id": 5}).rowcount
        return a, b, c

    def core_tx():
        with engine.begin() as conn:
            row = conn.execute(one, {"id": 7}).mappings().first()
            a = None if row is None else dict(row)
            b = [dict(r) for r in conn.execute(upto, {"last": 10}).mappings()]
            c = conn.execute(set_qty, {"qty": 3, "id": 5}).rowcount
        return a, b, c

    def steps_by_hand():
        # What every call does once no shortcut is taken: a session of its own, a new text() of
        # the statement, session.execute, the rows as dicts, a commit (an owned session is
        # committed, reads included) and the close.
        def run(sql, params, rows):
            with Session(bind=engine, expire_on_commit=False) as s:
                result = s.execute(text(sql), params)
                out = [r._asdict() for r in result.all()] if rows else result.rowcount
                s.commit()
                return out

        found = run(one.text, {"id": 7}, True)
        a = found[0] if found else None
        b = run(upto.text, {"last": 10}, True)
        c = run(set_qty.text, {"qty": 3, "id": 5}, False)
        return a, b, c

    return {"owned": (verdin_owned, session_owned, core_owned, steps_by_hand),
            "transaction": (verdin_tx, session_tx, core_tx)}


def raw_driver(engine, table):
    """The same unit of work on one open DBAPI connection: the floor any library stands on."""
    mark = "?" if engine.dialect.paramstyle == "qmark" else "%s"
    conn = engine.raw_connection()
    cur = conn.cursor()
    one = f"select id, name, price, qty from {table} where id = {mark}"
    upto = f"select id, name, price, qty from {table} where id <= {mark} order by id"
    set_qty = f"update {table} set qty = {mark} where id = {mark}"

    def rows():
        names = [d[0] for d in cur.description]
        return [dict(zip(names, r)) for r in cur.fetchall()]

    def unit():
        cur.execute(one, (7,))
        found = rows()
        a = found[0] if found else None
        cur.execute(upto, (10,))
        b = rows()
        cur.execute(set_qty, (3, 5))
        c = cur.rowcount
        conn.commit()
        return a, b, c

    return unit, conn


def pin(engine):
    """The client on one core and, on PostgreSQL, the server processes that serve it on the others:
    on a machine of few cores, a client and a server that share a core take turns on it, and how
    they happen to interleave then shows in the client's time. The pool keeps these connections."""
    cpus = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_setaffinity") else []
    if len(cpus) < 2:
        return
    os.sched_setaffinity(0, {cpus[0]})
    if engine.dialect.name != "postgresql":
        return
    held = [engine.connect() for _ in range(2)]
    for conn in held:
        try:
            os.sched_setaffinity(conn.exec_driver_sql("select pg_backend_pid()").scalar(), set(cpus[1:]))
        except OSError:  # a server of another user, or on another machine
            pass
    for conn in held:
        conn.close()


def cpu_per_call(fn, number):
    start = time.process_time()
    for _ in range(number):
        fn()
    return (time.process_time() - start) / number


def worker(mode, name, runs):
    """Prints [[verdin/idiomatic, verdin/core], ...] for `runs` runs as JSON."""
    from sqlalchemy import create_engine, event, text
    from sqlalchemy.orm import Session
    from sqlalchemy.pool import StaticPool

    from verdin.db.txnfront import VerdinSqlSession
    from verdin.mapper.stmtloom import ParseMapper

    folder = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    url = database_url(name, folder)
    engine = create_engine(url, poolclass=StaticPool) if url == "sqlite://" else create_engine(url)
    table = "bench_" + uuid.uuid4().hex[:10]
    try:
        with engine.begin() as conn:
            conn.execute(text(f"create table {table} (id integer primary key, name varchar(40), "
                              "price float, qty integer)"))
            conn.execute(text(f"insert into {table} values (:id, :name, :price, :qty)"),
                         [{"id": i, "name": f"item {i}", "price": i * 1.5, "qty": i} for i in range(1, 101)])
    except Exception as exc:  # a server that does not answer
        print(json.dumps({"skip": f"{type(exc).__name__}: {str(exc).splitlines()[0][:80]}"}))
        return
    pin(engine)
    path = os.path.join(folder, "shop.xml")
    with open(path, "w") as f:
        f.write(MAPPER.format(table=table))
    db = VerdinSqlSession({"shop": ParseMapper(path)}, data_source=engine)
    in_tx = mode == "transaction" or mode.endswith(" in tx")
    sides = workloads(engine, db, table)["transaction" if in_tx else "owned"]
    # The steps by hand are measured against the mode that takes them.
    sides = sides if mode == "no fast paths" else sides[:3]
    if mode == "listener":
        event.listen(Session, "after_begin", lambda *args: None)
    elif mode.startswith("engine listener"):
        event.listen(engine, "before_cursor_execute", lambda *args: None)
    elif mode.startswith("ORM listener"):
        event.listen(Session, "do_orm_execute", lambda *args: None)
    try:
        sides[0]()  # the update has run: every side then reads the same rows
        got = [side() for side in sides]
        assert all(g == got[0] for g in got), got
        number = 150
        out = []
        for _ in range(runs):
            times = []  # per round, each side's time
            for round_ in range(ROUNDS):
                order = range(len(sides)) if round_ % 2 == 0 else range(len(sides) - 1, -1, -1)
                taken = [0.0] * len(sides)
                for i in order:
                    taken[i] = cpu_per_call(sides[i], number)
                times.append(taken)
            # A ratio per round, of times taken moments apart, and the median of those: a quiet or
            # a busy spell of the machine then moves both sides of a ratio alike.
            ratios = [statistics.median(t[0] / t[i] for t in times) for i in range(1, len(sides))]
            out.append(ratios[:2] + [min(t[0] for t in times) * 1e6] + ratios[2:])
        raw, raw_conn = raw_driver(engine, table)
        assert raw() == got[0]
        floor = min(cpu_per_call(raw, number) for _ in range(5))
        raw_conn.close()
        print(json.dumps({"runs": out, "raw": floor * 1e6}))
    finally:
        with engine.begin() as conn:
            conn.execute(text(f"drop table {table}"))
        engine.dispose()


def main():
    args = [a for a in sys.argv[1:] if a != "--more"]
    modes = MODES + MORE_MODES if len(args) < len(sys.argv) - 1 else MODES
    runs = int(args[0]) if args else 3
    picked = [a.replace("-", " ").lower() for a in args[1:]]
    databases = [name for name in DATABASES if not picked or name.lower() in picked]
    results = {}
    for name in databases:
        for mode in modes:
            env = dict(os.environ)
            env.pop("VERDIN_NO_FAST_PATHS", None)
            if mode == "no fast paths":
                env["VERDIN_NO_FAST_PATHS"] = "1"
            done = subprocess.run([sys.executable, __file__, "--worker", mode, name, str(runs)],
                                  capture_output=True, text=True, env=env)
            if done.returncode != 0:
                sys.exit(f"{name}, {mode}: {done.stderr[-2000:]}")
            results[name, mode] = json.loads(done.stdout.strip().splitlines()[-1])
            if "skip" in results[name, mode]:
                break

    def span(values):
        return f"{min(values):.2f}" if f"{min(values):.2f}" == f"{max(values):.2f}" else \
            f"{min(values):.2f}–{max(values):.2f}"

    print(f"verdin ÷ idiomatic Session code | verdin ÷ Core on a Connection; client CPU per unit, "
          f"min–max over {runs} runs")
    print(f"{'database':<15}{'mode':<23}{'÷ Session':>13}{'÷ Core':>13}{'verdin µs':>11}{'driver µs':>11}"
          f"{'÷ by hand':>12}")
    for name in databases:
        for mode in modes:
            got = results.get((name, mode))
            if got is None:
                continue
            if "skip" in got:
                print(f"{name:<15}not measured: {got['skip']}")
                break
            rows = got["runs"]
            us = min(r[2] for r in rows)
            by_hand = span([r[3] for r in rows]) if len(rows[0]) > 3 else ""
            print(f"{name:<15}{mode:<23}{span([r[0] for r in rows]):>13}{span([r[1] for r in rows]):>13}"
                  f"{us:>11.0f}{got['raw']:>11.0f}{by_hand:>12}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()

"""Timing and data shared by the benchmark scripts."""
import timeit


def best_pair(ours, other, number, rounds=15):
    """Best per-call time of each callable, measured alternately so both see the same machine."""
    best_ours = best_other = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, timeit.timeit(ours, number=number) / number)
        best_other = min(best_other, timeit.timeit(other, number=number) / number)
    return best_ours, best_other


def item_database(rows):
    """An SQLite file (on tmpfs where there is one) with a table `item` of `rows` rows.

    Returns (engine, path); dispose of the engine and remove the file when done."""
    import os
    import tempfile

    from sqlalchemy import create_engine, text

    folder = "/dev/shm" if os.path.isdir("/dev/shm") else None
    fd, path = tempfile.mkstemp(suffix=".db", dir=folder)
    os.close(fd)
    engine = create_engine(f"sqlite:///{path}")
    with engine.begin() as conn:
        conn.execute(text("create table item (id integer primary key, name text, price real, qty integer)"))
        conn.execute(text("insert into item (name, price, qty) values (:name, :price, :qty)"),
                     [{"name": f"item {i}", "price": i * 1.5, "qty": i} for i in range(1, rows + 1)])
    return engine, path


def reachable_engine(name, url):
    """An engine for `url`, or None (with a line saying why) when its server does not answer."""
    from sqlalchemy import create_engine

    engine = create_engine(url)
    try:
        with engine.connect():
            pass
    except Exception as exc:
        print(f"{name:<11} skipped: {exc.__class__.__name__}")
        engine.dispose()
        return None
    return engine

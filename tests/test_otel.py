"""OpenTelemetry: one span per statement run by id, on both facades; nothing at all without it."""
import asyncio
import importlib.metadata

import pytest

pytest.importorskip("opentelemetry.sdk")
from opentelemetry import trace  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402
from sqlalchemy import create_engine, text  # noqa: E402
from sqlalchemy.ext.asyncio import create_async_engine  # noqa: E402

from verdin.db.asyncfront import AsyncVerdinSqlSession  # noqa: E402
from verdin.db.querydeck import Page  # noqa: E402
from verdin.db.txnfront import VerdinSqlSession  # noqa: E402

SECRET = "s3cret-value"


@pytest.fixture(scope="module")
def exporter():
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    trace.set_tracer_provider(provider)
    if trace.get_tracer_provider() is not provider:
        pytest.skip("another tracer provider is already set in this process")
    yield exporter
    # The API sets its provider once per process; the tests after these run without one, as
    # OpenTelemetry's own test utilities reset it.
    provider.shutdown()
    trace._TRACER_PROVIDER = None
    trace._TRACER_PROVIDER_SET_ONCE._done = False


async def run_async(url, mappers, calls):
    engine = create_async_engine(url)
    try:
        db = AsyncVerdinSqlSession(mappers, engine)
        for args, kw in calls:
            try:
                await db.execute_sql(*args, **kw)
            except Exception:
                pass
    finally:
        await engine.dispose()


def run_sync(engine, mappers, calls):
    db = VerdinSqlSession(mappers, data_source=engine)
    for args, kw in calls:
        try:
            db.execute_sql(*args, **kw)
        except Exception:
            pass


CALLS = [(("add", "t", {"name": SECRET, "n": 1}), {}), (("add", "t", {"name": "b", "n": 2}), {}),
         (("names", "t", {}), {}), (("names", "t", {"n": 2}), {"page": Page(1, 5)}),
         (("bump", "t", {"name": SECRET}), {}), (("broken", "t", {"n": 1}), {})]


@pytest.mark.parametrize("facade", ["sync", "async"])
def test_one_span_per_statement_without_bind_values(exporter, facade, db_url, engine, table, table_mappers):
    exporter.clear()
    tracer = trace.get_tracer("test")
    with tracer.start_as_current_span("request") as parent:
        if facade == "sync":
            run_sync(engine, table_mappers, CALLS)
        else:
            from test_asyncfront import ASYNC_DRIVERS
            scheme, rest = db_url.split("://", 1)
            asyncio.run(run_async(f"{ASYNC_DRIVERS[scheme.split('+')[0]]}://{rest}", table_mappers, CALLS))
    spans = [s for s in exporter.get_finished_spans() if s.name.startswith("t.")]
    system = "mariadb" if getattr(engine.dialect, "is_mariadb", False) else engine.dialect.name
    assert [(s.name, s.kind, s.parent.span_id, s.attributes["db.system"], s.attributes["db.operation"],
             s.attributes.get("verdin.rows"), s.status.status_code) for s in spans] == [
        ("t.add", trace.SpanKind.CLIENT, parent.context.span_id, system, "INSERT", 1, trace.StatusCode.UNSET),
        ("t.add", trace.SpanKind.CLIENT, parent.context.span_id, system, "INSERT", 1, trace.StatusCode.UNSET),
        ("t.names", trace.SpanKind.CLIENT, parent.context.span_id, system, "SELECT", 2, trace.StatusCode.UNSET),
        ("t.names", trace.SpanKind.CLIENT, parent.context.span_id, system, "SELECT", 1, trace.StatusCode.UNSET),
        ("t.bump", trace.SpanKind.CLIENT, parent.context.span_id, system, "UPDATE", 1, trace.StatusCode.UNSET),
        ("t.broken", trace.SpanKind.CLIENT, parent.context.span_id, system, "INSERT", None, trace.StatusCode.ERROR),
    ]
    assert [(s.attributes["verdin.namespace"], s.attributes["verdin.statement"]) for s in spans[2:3]] == [("t", "names")]
    assert spans[2].attributes["db.statement"] == f"select name from {table} order by id"
    assert spans[4].attributes["db.statement"] == f"update {table} set n = n + 1 where name = :name"
    (event,) = spans[5].events
    assert event.name == "exception" and "no_such_table" in event.attributes["exception.message"]
    assert all(SECRET not in str(v) for s in spans for v in [*s.attributes.values(), *(e.attributes for e in s.events)])


def test_the_extra_is_in_the_package_metadata():
    requires = importlib.metadata.requires("verdin") or []
    assert any(r.startswith("opentelemetry-api") and 'extra == "otel"' in r for r in requires)


NO_OTEL = """
import sys
{block}
from sqlalchemy import create_engine
from verdin.db.txnfront import VerdinSqlSession
from verdin.mapper.stmtloom import ParseMapper
open("m.xml", "w").write('<mapper namespace="m"><select id="one">select 1 as x</select></mapper>')
db = VerdinSqlSession({{"m": ParseMapper("m.xml")}}, data_source=create_engine("sqlite://"))
assert db.execute_sql("one", "m", {{}}) == [{{"x": 1}}]
print(sorted(m for m, v in sys.modules.items() if v is not None and m.startswith(("opentelemetry", "verdin.db.otel"))),
      {probe})
"""


@pytest.mark.parametrize("block, probe, out", [
    # Not installed: never imported, nothing asked of it.
    ("sys.modules['opentelemetry'] = None", "0", "[] 0"),
    # Imported, but no provider set: no span is made.
    ("from opentelemetry import trace\nmade = []\nfor cls in (trace.ProxyTracer, trace.NoOpTracer):\n"
     "    cls.start_span = lambda *a, **k: made.append(1)", "len(made)", None),
])
def test_nothing_without_opentelemetry_or_a_provider(child, tmp_path, monkeypatch, block, probe, out):
    monkeypatch.chdir(tmp_path)
    (line,) = child(NO_OTEL.format(block=block, probe=probe))
    if out is not None:
        assert line == out
    else:
        assert line.endswith(" 0") and "opentelemetry.trace" in line


def test_spans_name_the_server_that_ran_the_statement(exporter, engine, table, table_mappers, tmp_path):
    replica_url = f"sqlite:///{tmp_path / 'replica.db'}"
    replica = create_engine(replica_url)
    with replica.begin() as conn:
        conn.execute(text(f"create table {table} (id integer primary key, name varchar(50), n integer)"))
    try:
        exporter.clear()
        db = VerdinSqlSession(table_mappers, data_source=engine, replicas=[replica])
        db.execute_sql("add", "t", {"name": "a", "n": 1})
        db.execute_sql("names", "t", {})
        db.execute_sql("names", "t", {}, primary=True)
    finally:
        replica.dispose()
    spans = [s.attributes for s in exporter.get_finished_spans() if s.name.startswith("t.")]
    primary = repr(engine.url)
    assert [(s["verdin.server"], s["db.system"] == "sqlite") for s in spans] == [
        (primary, engine.dialect.name == "sqlite"), (repr(replica.url), True),
        (primary, engine.dialect.name == "sqlite")]
    assert [(s.get("server.address"), s.get("server.port")) for s in spans][::2] == [
        (engine.url.host, engine.url.port)] * 2

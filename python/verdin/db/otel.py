"""OpenTelemetry spans of the statements the facades run by namespace and id.

Optional: install `verdin[otel]` and set a tracer provider. The facades call `start` only when
`opentelemetry.trace` is already imported (so a program without OpenTelemetry neither imports it
nor pays for it), and `start` returns None until a tracer provider is set. Then each statement run
by `execute_sql` is one CLIENT span named `<namespace>.<id>`, current while the statement runs (so
the driver's and SQLAlchemy's own spans become its children), with the database semantic
conventions' `db.system`, `db.operation` and `db.statement` (the SQL sent, with its placeholders:
bind values never appear), `server.address` and `server.port` of the server that ran it (a
replica or the primary), `verdin.namespace`, `verdin.statement`, `verdin.server` (that server's
URL, password hidden), and `verdin.rows`: the rows a
select returned, or the rows an update or delete changed. A failure is recorded on the span as an
exception event, with status ERROR.
"""
import sys

TRACER_NAME = "verdin"
_tracers = {}  # tracer provider -> its tracer for verdin


def _tracer(trace):
    provider = getattr(trace, "_TRACER_PROVIDER", False)
    if provider is None:
        return None  # nothing set: the common case, decided without a call
    provider = trace.get_tracer_provider()
    if isinstance(provider, (trace.ProxyTracerProvider, trace.NoOpTracerProvider)):
        return None
    tracer = _tracers.get(provider)
    if tracer is None:
        from importlib.metadata import PackageNotFoundError, version
        try:
            own = version("verdin")
        except PackageNotFoundError:
            own = None
        tracer = _tracers.setdefault(provider, provider.get_tracer(TRACER_NAME, own))
    return tracer


def db_system(facade, server=None):
    """The database of a facade (or of the engine that ran the statement), as the semantic
    conventions name it: postgresql, mysql, mariadb..."""
    source = server if server is not None else getattr(facade, "data_source", None)
    bind = getattr(source, "kw", {}).get("bind") if not hasattr(source, "dialect") else source
    dialect = getattr(bind, "dialect", None)
    if dialect is None:
        return None
    return "mariadb" if getattr(dialect, "is_mariadb", False) else dialect.name


def start(facade, namespace, sql_id):
    """A span for the statement about to run, made current; None without a tracer provider."""
    trace = sys.modules.get("opentelemetry.trace")
    tracer = _tracer(trace) if trace is not None else None
    if tracer is None:
        return None
    from opentelemetry import context
    attributes = {"verdin.namespace": str(namespace), "verdin.statement": str(sql_id)}
    span = tracer.start_span(f"{namespace}.{sql_id}", kind=trace.SpanKind.CLIENT, attributes=attributes)
    return span, context.attach(trace.set_span_in_context(span)), facade, statement_kind(facade, namespace, sql_id)


def statement_kind(facade, namespace, sql_id):
    """select, insert, update or delete: what the facade returns depends on it."""
    try:
        return facade.mapper_dict[namespace].sql_type_map.get(sql_id)
    except Exception:  # noqa: BLE001 - a facade or mapper of another shape: no row count then
        return None


def rows_of(result, kind):
    """Rows a select returned (on the page of a paged call) or an update or delete changed; an
    insert returns an id, so no count."""
    if kind == "select":
        if isinstance(result, dict) and isinstance(result.get("list"), list):
            return len(result["list"])
        return len(result) if isinstance(result, list) else None
    if kind in ("update", "delete") and isinstance(result, int) and not isinstance(result, bool):
        return result
    return None


def server_attributes(server):
    """Where `server` (the engine that ran the statement) is: its URL with the password hidden,
    host and port when it has them."""
    url = getattr(server, "url", None)
    if url is None:
        return {}
    found = {"verdin.server": repr(url)}
    if getattr(url, "host", None):
        found["server.address"] = url.host
    if getattr(url, "port", None):
        found["server.port"] = url.port
    return found


def finish(handle, sql, result, error, server=None):
    """Ends the span of `start` with what the statement sent (`sql`: a clause or its text) and
    returned, or the exception it raised, and the engine that ran it."""
    span, token, facade, kind = handle
    from opentelemetry import context, trace
    try:
        context.detach(token)
    finally:
        try:
            text = getattr(sql, "text", None)
            text = text if isinstance(text, str) else str(sql)
            words = text.split(None, 1)
            operation = words[0].upper() if words else ""
            # Read once the statement ran: a dialect knows MariaDB from MySQL only once connected.
            system = db_system(facade, server)
            if system:
                span.set_attribute("db.system", system)
            for key, value in server_attributes(server).items():
                span.set_attribute(key, value)
            span.set_attribute("db.statement", text)
            if operation:
                span.set_attribute("db.operation", operation)
            if error is None:
                rows = rows_of(result, kind)
                if rows is not None:
                    span.set_attribute("verdin.rows", rows)
            else:
                span.record_exception(error)
                span.set_status(trace.Status(trace.StatusCode.ERROR, f"{type(error).__name__}: {error}"))
        finally:
            span.end()

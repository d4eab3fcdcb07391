"""python -m verdin check PATH...: find the mistakes in mapper files before a statement runs.

Every problem is one line, "<file>: <statement id>: <what is wrong>", with "-" in place of the id
when the problem belongs to the file rather than to one statement. Exit status: 0 when every file
is clean, 1 when something was found, 2 for a usage error or a path that does not exist. Nothing
of the checked files runs: expressions are compiled, never evaluated, and resultType modules are
imported only with --import. No database is touched.
"""
import argparse
import errno
import os
import stat
import sys
import xml.etree.ElementTree as et

from verdin.mapper import branchcheck, mapcheck
from verdin.mapper.stmtloom import sql_id_type_list

NO_ID = "-"


def open_preparer(url):
    # Imported on use: without --db the checker needs no database driver.
    from verdin.db.prepare import Preparer
    return Preparer(url)


def prepare_message(error):
    from verdin.db.prepare import message
    return message(error)


# What stat says a path is, for paths that are not regular files.
FILE_KINDS = [(stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a device"),
              (stat.S_ISBLK, "a device")]


def mapper_files(path):
    """The file itself, or every *.xml below a folder in sorted order (as load_mappers reads them)."""
    if os.path.isdir(path):
        return sorted(os.path.join(folder, name) for folder, _, names in os.walk(path)
                      for name in names if name.endswith(".xml"))
    return [path]


def unreadable(path):
    """Why a path cannot be read as a mapper file, or None. Only regular files are opened: reading a
    FIFO or a device may wait forever."""
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        return f"cannot read the file: {e.strerror or e}"
    if stat.S_ISREG(mode):
        return None
    kind = next((name for test, name in FILE_KINDS if test(mode)), "not a file")
    return f"not a regular file ({kind}), so not read"


def quoted(source, limit=80):
    """repr() of an expression, cut after `limit` characters: a source too complex to compile may be
    megabytes long."""
    if len(source) <= limit:
        return repr(source)
    return f"{source[:limit]!r}... ({len(source)} characters)"


def why(error):
    """What a compile error says: a SyntaxError's message without its place, a ValueError's text, and
    the type before the text of anything else (MemoryError and RecursionError of a source too complex)."""
    if isinstance(error, SyntaxError):
        return error.msg
    if isinstance(error, ValueError):
        return str(error)
    return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__


def included_elsewhere(refid, namespaces):
    """Why an include of "namespace.id" fails among the files checked together (namespace -> ids), or
    None when it names a statement of one of them; "" when it names no namespace of them."""
    lacking = ""
    for dot in (i for i, c in enumerate(refid) if c == "."):
        ns, sql_id = refid[:dot], refid[dot + 1:]
        if ns in namespaces:
            if sql_id in namespaces[ns]:
                return None
            lacking = f"<include> refid {refid!r}: namespace {ns!r} has no statement {sql_id!r}"
    return lacking


def element_problems(statement, ids, namespaces=None):
    """(problem, ...) of the elements inside a statement; `namespaces` (namespace -> ids) are the files
    checked with it, whose statements an include may name as "namespace.id"."""
    # An explicit stack: a statement may nest deeper than Python's recursion limit.
    pending = list(reversed(statement))
    while pending:
        element = pending.pop()
        rule = mapcheck.element_rules.get(element.tag)
        if rule is None:
            # The mapper gives up on the whole statement here, so what lies below is never read.
            yield f"unknown element <{element.tag}>"
            continue
        required, expression = rule
        for name in required:
            if name not in element.attrib:
                yield f"<{element.tag}> without the attribute {name!r}"
        source = element.attrib.get(expression) if expression else None
        if source is not None:
            compile_it = mapcheck.compile_collection if expression == "collection" else mapcheck.compile_expression
            try:
                compile_it(source)
            except Exception as e:  # noqa: BLE001 - a source too complex raises MemoryError or RecursionError
                yield f"the {expression} expression {quoted(source)} of <{element.tag}> does not compile: {why(e)}"
        refid = element.attrib.get("refid") if element.tag == "include" else None
        if refid is not None and refid not in ids:
            elsewhere = included_elsewhere(refid, namespaces or {})
            if elsewhere is not None:
                yield elsewhere or f"<include> refid {refid!r} names no statement of this file"
        index = element.attrib.get("index") if element.tag == "foreach" else None
        if index is not None and index == element.attrib.get("item"):
            yield f"<foreach> names both its item and its index {element.attrib['index']!r}"
        pending.extend(reversed(element))


class Route:
    """The ids an include loop passes, first to last: ids[start:stop], then the route `rest`. Routes
    share their lists, so that every statement of a long loop gets its own view in constant space."""
    __slots__ = ("ids", "start", "stop", "rest", "length", "last")

    SHOWN = 10  # ids named in a problem line; a longer route is cut in the middle

    def __init__(self, ids, start, stop, rest=None):
        self.ids, self.start, self.stop, self.rest = ids, start, stop, rest
        self.length = stop - start + (rest.length if rest else 0)
        self.last = rest.last if rest else ids[stop - 1]

    def first(self, count):
        route, out = self, []
        while route is not None and len(out) < count:
            out.extend(route.ids[route.start:min(route.stop, route.start + count - len(out))])
            route = route.rest
        return out

    def __str__(self):
        if self.length <= self.SHOWN:
            return " -> ".join(map(repr, self.first(self.length)))
        head = self.first(self.SHOWN - 2)
        return " -> ".join([*map(repr, head), f"... ({self.length - len(head) - 1} more)", repr(self.last)])


def nesting(statement, own_id, targets, depths, loops):
    """How deep the mapper recurses to assemble a statement, following its includes: (levels, None),
    or (None, route) when the includes come back to a statement they are already inside, which the
    mapper follows until RecursionError. own_id is None for a statement no include can reach;
    depths and loops keep, by id, what earlier calls found, so that each statement is walked once."""
    if own_id in loops:
        return None, loops[own_id]
    if own_id in depths:
        return depths[own_id], None
    path = []  # ids of the statements being walked, outermost first
    on_path = {}  # id -> its position in path
    stack = []  # [element, its children, deepest child so far, its id or None, reached by include]

    def enter(element, sql_id, included):
        stack.append([element, iter(element), 0, sql_id, included])
        if sql_id is not None:
            on_path[sql_id] = len(path)
            path.append(sql_id)

    def loop(refid):
        # Every statement on the path is caught in the loop, and each gets its own view of it.
        end = len(path)
        if refid in loops:
            routes = [Route(path, k, end, loops[refid]) for k in range(end)]
        else:
            j = on_path[refid]
            closing = Route([refid], 0, 1)
            routes = [Route(path, k, end, Route(path, j, k + 1) if k >= j else closing) for k in range(end)]
        loops.update(zip(path, routes))
        return None, routes[0] if routes else loops[refid]

    enter(statement, own_id, False)
    while True:
        frame = stack[-1]
        child = next(frame[1], None)
        if child is None:
            _, _, deepest, sql_id, included = stack.pop()
            levels = deepest + 1
            if sql_id is not None:
                depths[sql_id] = levels
                del on_path[path.pop()]
            if not stack:
                return levels, None
            stack[-1][2] = max(stack[-1][2], levels + included)
        elif child.tag == "include":
            refid = child.attrib.get("refid")
            if refid in loops or refid in on_path:
                return loop(refid)
            if refid in depths:
                frame[2] = max(frame[2], 1 + depths[refid])
            elif refid in targets:
                enter(targets[refid], refid, True)
            else:
                frame[2] = max(frame[2], 1)
        elif child.tag in mapcheck.element_rules:
            enter(child, None, False)
        else:
            frame[2] = max(frame[2], 1)


def result_type_problem(result_type, resolve):
    """Why a select's resultType cannot be resolved, or None. A dotted name is only imported when
    `resolve` is true: importing runs the module's code."""
    if "." not in result_type or resolve:
        try:
            mapcheck.resolve_result_type(result_type)  # without a dot: builtins only, nothing imported
        except SystemExit as e:
            return f"resultType {result_type!r} cannot be resolved: importing its module called exit({e.code!r})"
        except Exception as e:  # noqa: BLE001 - whatever the import raised
            return f"resultType {result_type!r} cannot be resolved: {e}"
        return None
    if not all(part.isidentifier() for part in result_type.split(".")):
        return f"resultType {result_type!r} cannot be resolved: not a dotted path of Python names"
    return None


def statement_ids(files):
    """namespace -> ids of the statements of the readable files, for includes across files."""
    found = {}
    for path in files:
        try:
            root = et.parse(path).getroot() if unreadable(path) is None else None
        except Exception:  # noqa: BLE001 - file_problems reports what is wrong with the file
            root = None
        mapper = None if root is None else next((e for e in root.iter() if e.tag == "mapper"), None)
        if mapper is not None and "namespace" in mapper.attrib:
            ids = {s.attrib["id"] for s in root if s.tag in sql_id_type_list and "id" in s.attrib}
            found.setdefault(mapper.attrib["namespace"], ids)
    return found


def dialects(statement):
    """The dialects a statement is written for: the names of its `dialect` attribute (none: all)."""
    return [d.strip() for d in statement.attrib.get("dialect", "").split(",") if d.strip()]


def file_problems(path, namespaces, resolve=False, known=None):
    """(statement id, problem) of one mapper file, and its statements. resultType modules are
    imported only when `resolve` is true; `known` (namespace -> ids) are the statements of the files
    checked together."""
    reason = unreadable(path)
    if reason:
        return [(NO_ID, reason)], []
    try:
        root = et.parse(path).getroot()
    except et.ParseError as e:
        return [(NO_ID, f"XML not well formed: {e}")], []
    except OSError as e:
        return [(NO_ID, f"cannot read the file: {e.strerror or e}")], []
    except Exception as e:  # noqa: BLE001 - a file too large or too deep for memory is a finding too
        return [(NO_ID, f"cannot parse the file: {type(e).__name__}: {e}")], []
    problems = []
    mapper = next((e for e in root.iter() if e.tag == "mapper"), None)
    namespace = None if mapper is None else mapper.attrib.get("namespace")
    if namespace is None:
        problems.append((NO_ID, "missing namespace: the <mapper> element needs a namespace attribute"))
    elif namespace in namespaces:
        problems.append((NO_ID, f"duplicate namespace {namespace!r}, already declared by {namespaces[namespace]}"))
    else:
        namespaces[namespace] = path
    statements = [child for child in root if child.tag in sql_id_type_list]
    # As the mapper keeps them: a later statement of the same id replaces the earlier one.
    targets = {s.attrib["id"]: s for s in statements if "id" in s.attrib}
    ids, first, depths, loops, variants = set(targets), {}, {}, {}, {}
    for position, statement in enumerate(statements, 1):
        sql_id = statement.attrib.get("id")
        written_for = dialects(statement)
        if sql_id is None:
            problems.append((NO_ID, f"statement {position} (<{statement.tag}>) has no id"))
            sql_id = NO_ID
        elif written_for:
            # Variants for other dialects are no duplicates; loading refuses one dialect given twice.
            for d in written_for:
                if (sql_id, d) in variants:
                    problems.append((sql_id, f"two variants for dialect {d!r}: statement {position} "
                                             f"(<{statement.tag}>) and statement {variants[sql_id, d]}"))
                variants.setdefault((sql_id, d), position)
        elif sql_id in first:
            earlier, tag = first[sql_id]
            problems.append((sql_id, f"duplicate id: statement {position} (<{statement.tag}>) replaces "
                                     f"statement {earlier} (<{tag}>)"))
        else:
            first[sql_id] = position, statement.tag
        result_type = statement.attrib.get("resultType") if statement.tag == "select" else None
        if result_type is not None and (problem := result_type_problem(result_type, resolve)):
            problems.append((sql_id, problem))
        problems.extend((sql_id, problem) for problem in element_problems(statement, ids, known))
        own_id = statement.attrib.get("id")
        own_id = own_id if targets.get(own_id) is statement else None
        levels, loop = nesting(statement, own_id, targets, depths, loops)
        if loop:
            problems.append((sql_id, f"<include> loop {loop}: the mapper "
                                     "follows it until RecursionError"))
        elif levels > mapcheck.nesting_limit:
            problems.append((sql_id, f"elements nested {levels} levels deep (includes counted), more than the "
                                     f"{mapcheck.nesting_limit} the mapper can assemble"))
    return problems, statements


def shown(text):
    """The text with a backslash escape for each character that is not printable: a line break, an
    escape sequence or a bidirectional override in an id or a file name must neither start a line
    of its own nor move the cursor."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape", "backslashreplace").decode("ascii")
                   for c in text)


def say(line, out):
    """Prints a line, escaped, on a stream that may not encode it: file names need not be valid text,
    and the terminal may be ASCII."""
    line = shown(line)
    try:
        print(line, file=out)
    except UnicodeEncodeError:
        encoding = getattr(out, "encoding", None) or "ascii"
        print(line.encode(encoding, "backslashreplace").decode(encoding), file=out)


def plural(count, word):
    return f"{count} {word}{'s' * (count != 1)}"


def check(paths, out, resolve=False, preparer=None, strict=False):
    """Checks the files; returns the exit status. resultType modules are imported only when `resolve`
    is true; with a preparer, every variant of each statement is prepared by its database. Warnings
    change the status only when `strict` is true."""
    files, seen = [], set()
    for f in (f for path in paths for f in mapper_files(path)):
        # Each file once, however many of the paths name it.
        if os.path.realpath(f) not in seen:
            seen.add(os.path.realpath(f))
            files.append(f)
    namespaces, found, warned, statements, variants, bad_files = {}, 0, 0, 0, 0, 0
    known = statement_ids(files)
    # Only regular files: loading them together must not open a FIFO named among them.
    loaded = branchcheck.Loaded([f for f in files if unreadable(f) is None])
    for path in files:
        problems, elements = file_problems(path, namespaces, resolve, known)
        statements += len(elements)
        flawed = {sql_id for sql_id, _ in problems}
        warnings = []
        if any(e.tag in branchcheck.STATEMENTS and e.attrib.get("id", NO_ID) not in flawed for e in elements):
            namespace = next((ns for ns, where in namespaces.items() if where == path), None)
            findings = branchcheck.check_file(path, namespace, elements, flawed, loaded, preparer)
            problems += findings.problems
            warnings = findings.warnings
            variants += findings.variants
        if strict:
            problems, warnings = problems + warnings, []
        bad_files += bool(problems)
        for sql_id, problem in problems + warnings:
            say(f"{path}: {sql_id}: {problem}", out)
        found += len(problems)
        warned += len(warnings)
    checked = f"{plural(len(files), 'file')}, {plural(statements, 'statement')}"
    if preparer is not None:
        checked += f", {plural(variants, 'variant')} prepared by {preparer.dialect}"
    also = f", {plural(warned, 'warning')}" if warned else ""
    if found:
        say(f"{plural(found, 'problem')} in {bad_files} of {checked}{also}", out)
        return 1
    say(f"checked {checked}: no problems{also}", out)
    return 0


def missing(path):
    """Why a path named on the command line cannot be checked at all, or None."""
    try:
        os.stat(path)
    except OSError as e:
        if e.errno == errno.ELOOP:
            return "a loop of symbolic links"
        if e.errno == errno.ENOENT:
            return "a symbolic link to nothing" if os.path.islink(path) else "no such file or folder"
        return e.strerror or str(e)
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m verdin", description="Tools for verdin mapper files.")
    commands = parser.add_subparsers(dest="command", required=True)
    check_command = commands.add_parser(
        "check", help="check mapper files without a database",
        description="Check mapper files, or every *.xml below a folder, without touching a database. Nothing "
                    "of the files runs: expressions are compiled, never evaluated.")
    check_command.add_argument("paths", nargs="+", metavar="PATH", help="a mapper file or a folder of them")
    check_command.add_argument("--import", dest="resolve", action="store_true",
                               help="import the modules that dotted resultType names name, to resolve them "
                                    "(this runs their code)")
    check_command.add_argument("--db", metavar="URL",
                               help="also have this database (an SQLAlchemy URL) prepare every branch of each "
                                    "statement, without running it, in a transaction that is rolled back")
    check_command.add_argument("--strict", action="store_true", help="count warnings as problems")
    args = parser.parse_args(argv)
    unusable = [(p, reason) for p in args.paths if (reason := missing(p))]
    if unusable:
        for p, reason in unusable:
            say(f"python -m verdin check: {p}: {reason}", sys.stderr)
        return 2
    preparer = None
    if args.db is not None:
        try:
            preparer = open_preparer(args.db)
        except Exception as e:  # noqa: BLE001 - a bad URL, a missing driver, a server that does not answer
            say(f"python -m verdin check: --db: {prepare_message(e)}", sys.stderr)
            return 2
    try:
        return check(args.paths, sys.stdout, args.resolve, preparer, args.strict)
    finally:
        if preparer is not None:
            preparer.close()


if __name__ == "__main__":
    sys.exit(main())

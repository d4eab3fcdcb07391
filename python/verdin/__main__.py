"""python -m verdin check PATH...: find the mistakes in mapper files before a statement runs.

Every problem is one line, "<file>: <statement id>: <what is wrong>", with "-" in place of the id
when the problem belongs to the file rather than to one statement. Exit status: 0 when every file
is clean, 1 when something was found, 2 for a usage error or a path that does not exist. No
database is touched; resultType names are imported, as loading the mapper would.
"""
import argparse
import errno
import os
import stat
import sys
import xml.etree.ElementTree as et

from verdin.mapper import mapcheck
from verdin.mapper.stmtloom import sql_id_type_list

NO_ID = "-"


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


def element_problems(statement, ids):
    """(problem, ...) of the elements inside a statement."""
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
            except (SyntaxError, ValueError) as e:
                reason = e.msg if isinstance(e, SyntaxError) else e
                yield f"the {expression} expression {source!r} of <{element.tag}> does not compile: {reason}"
        if element.tag == "include" and "refid" in element.attrib and element.attrib["refid"] not in ids:
            yield f"<include> refid {element.attrib['refid']!r} names no statement of this file"
        pending.extend(reversed(element))


def nesting(statement, own_id, targets, depths, loops):
    """How deep the mapper recurses to assemble a statement, following its includes: (levels, None),
    or (None, ids) when the includes come back to a statement they are already inside, which the
    mapper follows until RecursionError. own_id is None for a statement no include can reach;
    depths and loops keep, by id, what earlier calls found."""
    if own_id in loops:
        return None, loops[own_id]
    if own_id in depths:
        return depths[own_id], None
    path = []  # ids of the statements being walked, outermost first
    stack = []  # [element, its children, deepest child so far, its id or None, reached by include]

    def enter(element, sql_id, included):
        stack.append([element, iter(element), 0, sql_id, included])
        if sql_id is not None:
            path.append(sql_id)

    def loop(refid):
        # Every statement on the path is caught in the loop, and each gets its own view of it.
        if refid in loops:
            routes = [path[k:] + loops[refid] for k in range(len(path))]
        else:
            j = path.index(refid)
            routes = [path[k:] + (path[j:k + 1] if k >= j else [refid]) for k in range(len(path))]
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
                path.pop()
            if not stack:
                return levels, None
            stack[-1][2] = max(stack[-1][2], levels + included)
        elif child.tag == "include":
            refid = child.attrib.get("refid")
            if refid in loops or refid in path:
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


def file_problems(path, namespaces):
    """(statement id, problem) of one mapper file, and the number of its statements."""
    reason = unreadable(path)
    if reason:
        return [(NO_ID, reason)], 0
    try:
        root = et.parse(path).getroot()
    except et.ParseError as e:
        return [(NO_ID, f"XML not well formed: {e}")], 0
    except OSError as e:
        return [(NO_ID, f"cannot read the file: {e.strerror or e}")], 0
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
    ids, first, depths, loops = set(targets), {}, {}, {}
    for position, statement in enumerate(statements, 1):
        sql_id = statement.attrib.get("id")
        if sql_id is None:
            problems.append((NO_ID, f"statement {position} (<{statement.tag}>) has no id"))
            sql_id = NO_ID
        elif sql_id in first:
            earlier, tag = first[sql_id]
            problems.append((sql_id, f"duplicate id: statement {position} (<{statement.tag}>) replaces "
                                     f"statement {earlier} (<{tag}>)"))
        else:
            first[sql_id] = position, statement.tag
        result_type = statement.attrib.get("resultType") if statement.tag == "select" else None
        if result_type is not None:
            try:
                mapcheck.resolve_result_type(result_type)
            except Exception as e:
                problems.append((sql_id, f"resultType {result_type!r} cannot be resolved: {e}"))
        problems.extend((sql_id, problem) for problem in element_problems(statement, ids))
        own_id = statement.attrib.get("id")
        own_id = own_id if targets.get(own_id) is statement else None
        levels, loop = nesting(statement, own_id, targets, depths, loops)
        if loop:
            problems.append((sql_id, f"<include> loop {' -> '.join(map(repr, loop))}: the mapper "
                                     "follows it until RecursionError"))
        elif levels > mapcheck.nesting_limit:
            problems.append((sql_id, f"elements nested {levels} levels deep (includes counted), more than the "
                                     f"{mapcheck.nesting_limit} the mapper can assemble"))
    return problems, len(statements)


def say(line, out):
    """Prints a line on a stream that may not encode it: file names need not be valid text, and the
    terminal may be ASCII."""
    try:
        print(line, file=out)
    except UnicodeEncodeError:
        encoding = getattr(out, "encoding", None) or "ascii"
        print(line.encode(encoding, "backslashreplace").decode(encoding), file=out)


def check(paths, out):
    """Checks the files; returns the exit status."""
    files, seen = [], set()
    for f in (f for path in paths for f in mapper_files(path)):
        # Each file once, however many of the paths name it.
        if os.path.realpath(f) not in seen:
            seen.add(os.path.realpath(f))
            files.append(f)
    namespaces, found, statements, bad_files = {}, 0, 0, 0
    for path in files:
        problems, count = file_problems(path, namespaces)
        statements += count
        bad_files += bool(problems)
        for sql_id, problem in problems:
            say(f"{path}: {sql_id}: {problem}", out)
        found += len(problems)
    checked = f"{len(files)} file{'s' * (len(files) != 1)}, {statements} statement{'s' * (statements != 1)}"
    if found:
        say(f"{found} problem{'s' * (found != 1)} in {bad_files} of {checked}", out)
        return 1
    say(f"checked {checked}: no problems", out)
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
        description="Check mapper files, or every *.xml below a folder, without touching a database.")
    check_command.add_argument("paths", nargs="+", metavar="PATH", help="a mapper file or a folder of them")
    args = parser.parse_args(argv)
    unusable = [(p, reason) for p in args.paths if (reason := missing(p))]
    if unusable:
        for p, reason in unusable:
            say(f"python -m verdin check: {p}: {reason}", sys.stderr)
        return 2
    return check(args.paths, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())

"""python -m verdin check PATH...: find the mistakes in mapper files before a statement runs.

Every problem is one line, "<file>: <statement id>: <what is wrong>", with "-" in place of the id
when the problem belongs to the file rather than to one statement. Exit status: 0 when every file
is clean, 1 when something was found, 2 for a usage error or a path that does not exist. No
database is touched; resultType names are imported, as loading the mapper would.
"""
import argparse
import os
import sys
import xml.etree.ElementTree as et

from verdin.mapper import mapcheck
from verdin.mapper.stmtloom import sql_id_type_list

NO_ID = "-"


def mapper_files(path):
    """The file itself, or every *.xml below a folder in sorted order (as load_mappers reads them)."""
    if os.path.isdir(path):
        return sorted(os.path.join(folder, name) for folder, _, names in os.walk(path)
                      for name in names if name.endswith(".xml"))
    return [path]


def element_problems(element, ids):
    """(problem, ...) of one element inside a statement and of everything below it."""
    rule = mapcheck.element_rules.get(element.tag)
    if rule is None:
        # The mapper gives up on the whole statement here, so what lies below is never read.
        yield f"unknown element <{element.tag}>"
        return
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
    for child in element:
        yield from element_problems(child, ids)


def file_problems(path, namespaces):
    """(statement id, problem) of one mapper file, and the number of its statements."""
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
    ids = {s.attrib["id"] for s in statements if "id" in s.attrib}
    for position, statement in enumerate(statements, 1):
        sql_id = statement.attrib.get("id")
        if sql_id is None:
            problems.append((NO_ID, f"statement {position} (<{statement.tag}>) has no id"))
            sql_id = NO_ID
        result_type = statement.attrib.get("resultType") if statement.tag == "select" else None
        if result_type is not None:
            try:
                mapcheck.resolve_result_type(result_type)
            except Exception as e:
                problems.append((sql_id, f"resultType {result_type!r} cannot be resolved: {e}"))
        for child in statement:
            problems.extend((sql_id, problem) for problem in element_problems(child, ids))
    return problems, len(statements)


def check(paths, out):
    """Checks the files; returns the exit status."""
    files = [f for path in paths for f in mapper_files(path)]
    namespaces, found, statements, bad_files = {}, 0, 0, 0
    for path in files:
        problems, count = file_problems(path, namespaces)
        statements += count
        bad_files += bool(problems)
        for sql_id, problem in problems:
            print(f"{path}: {sql_id}: {problem}", file=out)
        found += len(problems)
    checked = f"{len(files)} file{'s' * (len(files) != 1)}, {statements} statement{'s' * (statements != 1)}"
    if found:
        print(f"{found} problem{'s' * (found != 1)} in {bad_files} of {checked}", file=out)
        return 1
    print(f"checked {checked}: no problems", file=out)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m verdin", description="Tools for verdin mapper files.")
    commands = parser.add_subparsers(dest="command", required=True)
    check_command = commands.add_parser(
        "check", help="check mapper files without a database",
        description="Check mapper files, or every *.xml below a folder, without touching a database.")
    check_command.add_argument("paths", nargs="+", metavar="PATH", help="a mapper file or a folder of them")
    args = parser.parse_args(argv)
    missing = [p for p in args.paths if not os.path.exists(p)]
    if missing:
        for p in missing:
            print(f"python -m verdin check: {p}: no such file or folder", file=sys.stderr)
        return 2
    return check(args.paths, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())

"""The checks of `python -m verdin check` that assemble every branch of each statement: warnings
that need no database, and, given a database, its verdict on each variant."""
import inspect
import re

from verdin.mapper import branches, lint
from verdin.mapper.stmtloom import ParseMapper, load_mappers, sql_id_type_list

# The statement tags of the mapper, without the <sql> fragments that statements include.
STATEMENTS = tuple(tag for tag in sql_id_type_list if tag != "sql")
EXPRESSIONS = {"if": "test", "when": "test", "bind": "value"}


class Findings:
    """What the branch checks found in one file: problems and warnings as (statement id, text), and
    the number of variants sent to the database."""

    def __init__(self):
        self.problems, self.warnings, self.variants = [], [], 0


def _takes_dialect():
    try:
        return "dialect" in inspect.signature(load_mappers).parameters
    except (TypeError, ValueError):
        return False


TAKES_DIALECT = _takes_dialect()


def dialect_kw(dialect):
    """The keyword that loads mappers for a dialect, where the mapper knows dialects."""
    return {"dialect": dialect} if dialect and TAKES_DIALECT else {}


def load(path, dialect=None):
    """The mapper of a file, loaded without importing any module its resultTypes name; None when
    it does not load (the structural checks have said why)."""
    try:
        with branches.types_unresolved():
            return ParseMapper(path, **dialect_kw(dialect))
    except Exception:  # noqa: BLE001
        return None


class Loaded:
    """The mappers of the checked files, by dialect: loaded together where they load together, so
    that includes across files resolve as they do for the application, else each file alone."""

    def __init__(self, files):
        self.files = files
        self.together = {}  # dialect -> {namespace: mapper}, empty when the files do not load together

    def mapper(self, path, namespace, dialect):
        if dialect not in self.together:
            try:
                with branches.types_unresolved():
                    self.together[dialect] = load_mappers(self.files, **dialect_kw(dialect))
            except Exception:  # noqa: BLE001 - a file the structural checks report
                self.together[dialect] = {}
        found = self.together[dialect].get(namespace)
        return found if found is not None else load(path, dialect)


def dialects(statement):
    """The dialects a statement is written for: the names of its `dialect` attribute (none: any)."""
    return [d.strip() for d in statement.attrib.get("dialect", "").split(",") if d.strip()]


def loop_names(elements):
    """The names loops and binds introduce anywhere in the file: a test may read them inside them."""
    names = set()
    for element in elements:
        if element.tag == "foreach":
            names.update(element.attrib.get(a) for a in ("item", "index") if element.attrib.get(a))
        elif element.tag == "bind" and element.attrib.get("name"):
            names.add(element.attrib["name"])
    return names


def name_warnings(statement, known):
    for element in statement.iter():
        attribute = EXPRESSIONS.get(element.tag)
        source = element.attrib.get(attribute) if attribute else None
        if source is None:
            continue
        for name in lint.unknown_names(source, known):
            yield (f"warning: the {attribute} expression {source!r} of <{element.tag}> reads the name {name!r}, "
                   f"which a test does not see (NameError when it runs): write params.get({name!r})")


def guarded(statement):
    """ids of the foreach elements inside an if or when whose test names their collection: an empty
    list never reaches them."""
    found, pending = set(), [(statement, ())]
    while pending:
        element, tests = pending.pop()
        if element.tag == "foreach":
            collection = element.attrib.get("collection", "")
            first = re.match(r"\s*(\w+)", collection)
            if first and any(re.search(rf"\b{re.escape(first.group(1))}\b", t) for t in tests):
                found.add(id(element))
        test = element.attrib.get("test") if element.tag in ("if", "when") else None
        pending.extend((child, tests + (test,) if test else tests) for child in element)
    return found


def reference_warning(reference):
    if reference.startswith("#"):
        return f"warning: {reference} inside a quoted literal binds nothing: the database reads it as text"
    return f"warning: {reference} inside a quoted literal pastes its value into the literal unquoted"


def offline_warnings(mapper, sql_id, statement, known, foreach_ids, dialect=None):
    """The warnings of one statement that need no database."""
    found = list(name_warnings(statement, known))
    found_set = set(found)

    def add(text):
        if text not in found_set:
            found_set.add(text)
            found.append(text)

    assembled, _ = branches.variants(mapper, sql_id, dialect=dialect, counts=(1, 2, 0))
    skip = guarded(statement)
    for variant in assembled:
        if isinstance(variant.error, RecursionError):
            break  # nested deeper than the checker's own Python frames allow: the mapper may manage
        if variant.error is not None:
            add(f"warning: cannot be assembled [{variant.label()}]: {type(variant.error).__name__}: {variant.error}")
            continue
        for reference in lint.quoted_references(variant.text or ""):
            add(reference_warning(reference))
        empty = [(key, label) for key, outcome, label in variant.branches
                 if outcome == 0 and key in foreach_ids and key not in skip]
        if not empty:
            continue
        left = lint.dangling(variant.clause.text)
        pinned = {key: outcome for key, outcome, _ in variant.branches}
        for key, _label in empty:
            # The same choices with one item: what disappears is what the empty list left.
            pinned_one = dict(pinned)
            pinned_one[key] = 1
            one, _ = branches.variants(mapper, sql_id, dialect=dialect, counts=(1, 2, 0), pinned=pinned_one)
            if one[0].error is not None:
                continue
            for finding in sorted(left - lint.dangling(one[0].clause.text)):
                add(f"warning: <{foreach_ids[key]}> with an empty list leaves {finding}")
    return found


def database_problems(mapper, sql_id, dialect, preparer):
    """(problems as (branches, text), number of variants) of one statement against the database."""
    assembled, cover = branches.variants(mapper, sql_id, dialect=dialect, counts=(1, 2))

    def verdict(variant):
        if isinstance(variant.error, RecursionError):
            return "not checked: nested deeper than the checker can follow"
        if variant.error is not None:
            return f"cannot be assembled: {type(variant.error).__name__}: {variant.error}"
        return preparer.prepare(variant.clause)

    failed = {}  # message -> the variants that failed with it
    for variant in assembled:
        if (reason := verdict(variant)) is not None:
            failed.setdefault(reason, []).append(variant)
    problems = []
    for reason, variants in failed.items():
        problems.append((blame(mapper, sql_id, dialect, cover, reason, variants, len(assembled), verdict), reason))
    if cover.unfinished():
        problems.append(("", f"more branches than {branches.ROUND_LIMIT} variants cover: only those were checked"))
    return problems, len(assembled)


def blame(mapper, sql_id, dialect, cover, reason, variants, total, verdict):
    """The branches that a failure needs, for its problem line: the choices of a failing variant whose
    change alone makes the statement pass, else those all its failing variants share."""
    first = variants[0]
    chosen = {key: outcome for key, outcome, _ in first.branches}
    needed = []
    for key, outcome, label in first.branches:
        others = [o for o in cover.outcomes.get(key, ()) if o != outcome]
        if not others:
            continue
        flipped, _ = branches.variants(mapper, sql_id, dialect=dialect, counts=(1, 2),
                                       pinned={**chosen, key: others[0]})
        if verdict(flipped[0]) is None:
            needed.append(label)
    if not needed:
        if len(variants) == total and total > 1:
            return " [every variant]"
        common = set.intersection(*({(key, outcome) for key, outcome, _ in v.branches} for v in variants))
        needed = [label for key, outcome, label in first.branches if (key, outcome) in common]
    return f" [{'; '.join(needed)}]" if needed else ""


def check_file(path, namespace, statements, problem_ids, loaded, preparer=None):
    """Findings of the statements of a file (its top-level elements, as parsed) that the structural
    checks passed. Offline, a statement written for some dialects is checked as loaded for each of
    them; with a database, the statements loaded for its dialect are."""
    findings = Findings()
    if preparer is not None:
        wanted = [preparer.dialect]
    else:
        wanted = [None, *sorted({d for s in statements for d in dialects(s)})]
    done = set()
    for dialect in wanted:
        mapper = loaded.mapper(path, namespace, dialect)
        if mapper is None:
            continue
        elements = mapper.id_2_element_map
        known = loop_names(e for top in elements.values() for e in top.iter())
        foreach_ids = {id(e): f"foreach collection={e.attrib.get('collection', '')!r}"
                       for top in elements.values() for e in top.iter("foreach")}
        for sql_id, statement in elements.items():
            written_for = dialects(statement)
            key = (sql_id, statement.attrib.get("dialect"))
            if statement.tag not in STATEMENTS or sql_id in problem_ids or key in done:
                continue
            if preparer is None and dialect is not None and dialect not in written_for:
                continue  # checked as loaded without a dialect
            done.add(key)
            shown = sql_id if not written_for else f"{sql_id} ({statement.attrib['dialect']})"
            findings.warnings.extend((shown, w) for w in offline_warnings(mapper, sql_id, statement, known,
                                                                         foreach_ids, dialect))
            if preparer is not None:
                problems, count = database_problems(mapper, sql_id, preparer.dialect, preparer)
                findings.variants += count
                findings.problems.extend((shown + where, reason) for where, reason in problems)
    return findings

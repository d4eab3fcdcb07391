"""The branches of a mapper statement, assembled without running anything of the mapper file.

`variants(mapper, sql_id)` assembles a statement several times, each time taking chosen branches
instead of evaluating the file's expressions: every `if` both ways, every `when` and the
`otherwise` of each `choose`, each `foreach` with one and two placeholder items (and none, when
asked). The choices form a covering set, not every combination: each round prefers an outcome not
yet taken, and once a point has taken all of its outcomes, the one under which some point is still
short of its own. Rounds stop when one takes nothing new, or at `limit`.

A test that reads only the name `dialect` is no branch when the dialect is known: it is decided by
reading the expression (comparisons of `dialect` with string constants, `not`, `and`, `or`), never
by evaluating it.
"""
import ast
import contextlib
import xml.etree.ElementTree as et

from verdin.mapper import stmtloom
from verdin.mapper.stmtloom import ParseMapper

ROUND_LIMIT = 64  # variants of one statement at most


class Cover:
    """The decision points met so far, the outcomes each has taken, and the choices of this round."""

    def __init__(self, dialect=None, counts=(1, 2), pinned=None):
        self.dialect = dialect
        self.pinned = pinned or {}  # id(element) -> the outcome it must take
        self.counts = counts
        self.taken = {}  # id(element) -> outcomes taken in any round
        self.outcomes = {}  # id(element) -> its possible outcomes
        self.inside = {}  # (id(element), outcome) -> ids of the points met under that outcome
        self.within = []  # (id(element), outcome) of the decisions the assembly is inside now
        self.constants = {}  # test text -> True, False or None (not decided by the dialect)
        self.proxies = {}  # id(element) -> the element standing in for it
        self.start_round()

    def start_round(self):
        self.round = {}  # id(element) -> outcome chosen in this round
        self.labels = []  # (id(element), outcome, what it says) in the order first met
        self.new = False  # whether this round took an outcome for the first time

    def choose(self, element, outcomes, label):
        key = id(element)
        if self.within:
            self.inside.setdefault(self.within[-1], set()).add(key)
        if key in self.round:
            return self.round[key]
        if key in self.pinned:
            self.round[key] = self.pinned[key]
            self.labels.append((key, self.pinned[key], label(self.pinned[key])))
            return self.pinned[key]
        self.outcomes[key] = outcomes
        taken = self.taken.setdefault(key, set())
        fresh = [o for o in outcomes if o not in taken]
        if fresh:
            outcome = fresh[0]
            self.new = True
        else:
            outcome = next((o for o in outcomes if self.pending(key, o)), outcomes[0])
        taken.add(outcome)
        self.round[key] = outcome
        self.labels.append((key, outcome, label(outcome)))
        return outcome

    def pending(self, key, outcome):
        """Whether a point met under this outcome has an outcome it never took, however deep."""
        todo, seen = [(key, outcome)], set()
        while todo:
            branch = todo.pop()
            for point in self.inside.get(branch, ()):
                if point in seen:
                    continue
                seen.add(point)
                if len(self.taken[point]) < len(self.outcomes[point]):
                    return True
                todo.extend((point, o) for o in self.outcomes[point])
        return False

    @contextlib.contextmanager
    def under(self, element, outcome):
        self.within.append((id(element), outcome))
        try:
            yield
        finally:
            self.within.pop()

    def unfinished(self):
        return any(len(self.taken[k]) < len(self.outcomes[k]) for k in self.taken)

    def constant(self, test):
        """The value a test has for the known dialect, or None when it needs more than the dialect."""
        if self.dialect is None or test is None:
            return None
        if test not in self.constants:
            try:
                tree = ast.parse(test.lstrip(" \t"), mode="eval").body
                self.constants[test] = dialect_value(tree, self.dialect)
            except (SyntaxError, ValueError, MemoryError, RecursionError):
                self.constants[test] = None
        return self.constants[test]


def dialect_value(node, dialect):
    """True or False for an expression of `dialect` and string constants, else None."""
    if isinstance(node, ast.BoolOp):
        values = [dialect_value(v, dialect) for v in node.values]
        decisive = isinstance(node.op, ast.Or)
        if decisive in values:
            return decisive
        return None if None in values else not decisive
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
        value = dialect_value(node.operand, dialect)
        return None if value is None else not value
    if isinstance(node, ast.Compare) and len(node.ops) == 1:
        left, right = node.left, node.comparators[0]
        if isinstance(right, ast.Name):
            left, right = right, left
        if not (isinstance(left, ast.Name) and left.id == "dialect"):
            return None
        if isinstance(right, ast.Constant) and isinstance(right.value, str):
            names = {right.value}
        elif isinstance(right, (ast.Tuple, ast.List, ast.Set)) and all(
                isinstance(e, ast.Constant) and isinstance(e.value, str) for e in right.elts):
            names = {e.value for e in right.elts}
        else:
            return None
        op = node.ops[0]
        if isinstance(op, (ast.Eq, ast.In)) and (isinstance(op, ast.In) or len(names) == 1):
            return dialect in names
        if isinstance(op, (ast.NotEq, ast.NotIn)) and (isinstance(op, ast.NotIn) or len(names) == 1):
            return dialect not in names
    return None


def shorten(text, limit=40):
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


class Picker(ParseMapper):
    """A mapper that takes the branches its Cover chooses. Set as the class of a loaded mapper, so
    that everything else (fragments, binds, whitespace, comments) is the mapper's own work."""

    assembled = None  # the text of the last statement assembled, before binding

    @staticmethod
    def to_prepared_statement(ret, param):
        Picker.assembled = ret
        return ParseMapper.to_prepared_statement(ret, param)

    def parse_element(self, element, param):
        cover = self._verdin_cover
        tag = element.tag
        if tag == "if":
            test = element.attrib.get("test")
            taken = cover.constant(test)
            if taken is None:
                taken = cover.choose(element, (True, False), lambda o: f"if {shorten(test)}: {str(o).lower()}")
            if not taken:
                return ""
            with cover.under(element, taken):
                return super().parse_element(self._verdin_body(element), param)
        if tag == "choose":
            # The whens in order, as far as one that the dialect makes true; else the first otherwise,
            # which is the one the mapper takes.
            branches, last = [], None
            for child in element:
                if child.tag == "when":
                    value = cover.constant(child.attrib.get("test"))
                    if value is not False:
                        branches.append(child)
                    if value:
                        break
                elif child.tag == "otherwise" and last is None:
                    last = child
            else:
                branches += [last] if last is not None else []
            if not branches:
                return super().parse_element(element, param)
            names = [f"when {shorten(b.attrib.get('test', ''))}" if b.tag == "when" else "otherwise"
                     for b in branches]
            if len(branches) == 1:
                taken = 0
            else:
                taken = cover.choose(element, tuple(range(len(branches))), lambda o: f"choose: {names[o]}")
            with cover.under(element, taken):
                return super().parse_element(self._verdin_body(branches[taken]), param)
        if tag == "foreach":
            collection = shorten(element.attrib.get("collection", ""))
            count = cover.choose(element, cover.counts,
                                 lambda o: f"foreach {collection}: {o} item{'s' * (o != 1)}")
            proxy = cover.proxies.get(id(element))
            if proxy is None:
                attrib = dict(element.attrib, collection=f"verdin_check_{len(cover.proxies)}")
                proxy = cover.proxies[id(element)] = et.Element("foreach", attrib)
                proxy.text = element.text
                proxy.extend(element)
            param["params"][proxy.attrib["collection"]] = [None] * count
            with cover.under(element, count):
                return super().parse_element(proxy, param)
        if tag == "bind":
            return ""  # its value is an expression of the file, never evaluated here: its binds are NULL
        return super().parse_element(element, param)

    def _verdin_body(self, element):
        """An element whose output is the body of `element`: what a taken branch gives."""
        proxies = self._verdin_cover.proxies
        proxy = proxies.get(id(element))
        if proxy is None:
            proxy = proxies[id(element)] = et.Element("sql")
            proxy.text = element.text
            proxy.extend(element)
        return proxy


class Variant:
    """One assembly of a statement: the branches it took as (id(element), outcome, what it says), its
    text before binding, and its SQL clause or the error."""
    __slots__ = ("branches", "text", "clause", "error")

    def __init__(self, branches, text, clause, error):
        self.branches, self.text, self.clause, self.error = branches, text, clause, error

    def label(self):
        return "; ".join(label for _, _, label in self.branches)


def variants(mapper, sql_id, *, dialect=None, counts=(1, 2), limit=ROUND_LIMIT, pinned=None):
    """([Variant, ...], cover) of one statement of a loaded mapper, whose class is Picker meanwhile;
    cover.unfinished() when the limit left an outcome untaken, cover.outcomes by point. With `pinned`
    ({id(element): outcome}), one variant that takes those outcomes and the first of every other
    point."""
    cover = Cover(dialect, counts, pinned)
    original = mapper.__class__
    mapper.__class__ = Picker
    mapper._verdin_cover = cover
    found = []
    try:
        while len(found) < limit:
            cover.start_round()
            Picker.assembled = None
            try:
                clause, error = mapper.get_sql(sql_id, {})[0], None
            except Exception as e:  # noqa: BLE001 - what the mapper raises is the finding
                clause, error = None, e
            found.append(Variant(cover.labels, Picker.assembled, clause, error))
            if pinned is not None or not cover.new or not cover.unfinished():
                break
    finally:
        del mapper._verdin_cover
        mapper.__class__ = original
    return found, cover


@contextlib.contextmanager
def types_unresolved():
    """Loading a mapper without importing what its resultTypes name: every type is dict meanwhile."""
    saved = stmtloom.get_type_from_string, stmtloom.is_container_type_by_str
    stmtloom.get_type_from_string = lambda type_str: dict
    stmtloom.is_container_type_by_str = lambda type_str: False
    try:
        yield
    finally:
        stmtloom.get_type_from_string, stmtloom.is_container_type_by_str = saved

"""Warnings about statements that load and assemble, but fail or mislead when they run: references
inside quoted literals, names a test cannot see, and loops whose empty list leaves broken SQL."""
import ast
import builtins
import re

# What a test expression sees besides the builtins.
TEST_NAMES = {"params", "dialect"}
BUILTIN_NAMES = set(dir(builtins))

REFERENCE = re.compile(r"[#$]\{[^}]*\}")
# Pieces of SQL text: comments, quoted literals and names, words, anything else one character.
TOKEN = re.compile(r"--[^\n]*|/\*.*?(?:\*/|$)|'(?:[^']|'')*'?|\"(?:[^\"]|\"\")*\"?|`[^`]*`?|\w+|\S", re.S)
# Words after which something must follow, and what cannot be that something.
NEEDS_MORE = {"where", "and", "or", "on", "set", "values", "in", "not", "by", "having", "like", "between", "=",
              ",", "into"}
CLAUSE_WORDS = {"order", "group", "limit", "offset", "having", "union", "returning", "where", "and", "or", "from",
                "fetch", "for", "on", "values", "set", "then", "else", "end"}


def unknown_names(source, known=frozenset()):
    """The names an expression reads that are neither what a test sees nor in `known`, in order;
    they raise NameError when the test is evaluated. Names the expression binds itself
    (comprehension targets, lambda parameters, :=) are fine."""
    try:
        tree = ast.parse(source.lstrip(" \t"), mode="eval")
    except (SyntaxError, ValueError, MemoryError, RecursionError):
        return []  # reported as not compiling
    bound, read = set(), []
    for node in ast.walk(tree):
        if isinstance(node, ast.Name):
            if isinstance(node.ctx, ast.Load):
                read.append(node.id)
            else:
                bound.add(node.id)
        elif isinstance(node, ast.arg):
            bound.add(node.arg)
    allowed = TEST_NAMES | BUILTIN_NAMES | bound | set(known)
    return list(dict.fromkeys(name for name in read if name not in allowed))


def quoted_references(text):
    """The #{...} and ${...} references written inside quoted literals or quoted names of a
    statement's text: the database reads them as characters, so nothing is bound there."""
    found = []
    for token in TOKEN.findall(text):
        if token[0] in "'\"`":
            found.extend(REFERENCE.findall(token))
    return found


def dangling(sql):
    """What is left hanging in a statement's final SQL: `in ()`, or a word such as WHERE, AND, IN
    or a comma followed by nothing, by a closing parenthesis or by the next clause."""
    words = [t.lower() for t in TOKEN.findall(sql) if not t.startswith(("--", "/*"))]
    found = set()
    for i, word in enumerate(words):
        if word not in NEEDS_MORE:
            continue
        after = words[i + 1] if i + 1 < len(words) else None
        if word == "in" and after == "(" and i + 2 < len(words) and words[i + 2] == ")":
            found.add("in ()")
        elif after is None or after in (")", ";") or after in CLAUSE_WORDS:
            found.add(f"{word!r} followed by {repr(after) if after else 'nothing'}")
    return found

"""Every Python block of README.md and docs/guide.md runs, so the documentation cannot drift.

How a document is run (write new sections so that they run the same way):

- A fresh temporary folder is the working directory and the first entry of sys.path.
- Blocks marked with a `file` comment are written there first, whatever their position and
  language; a mapper file shown in the text is therefore the one the code loads.
- Then every ```python block runs in document order, all in one namespace per document, so a
  later block may use what an earlier one defined (`db`, `engine`, ...). Each document runs in a
  process of its own; a failure reports the document's own line numbers.
- Blocks in other languages are not run.

An HTML comment right before a block (blank lines between are allowed) changes that block:

    <!-- docs: file mappers/user.xml -->   write the block to that path instead of running it
    <!-- docs: skip -->                    show the block but do not run it (use sparingly)
    <!-- docs: setup
    code the reader need not see, run just before the block (a table, an engine, ...)
    -->
"""
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["README.md", os.path.join("docs", "guide.md")]

FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.S | re.M)
DIRECTIVE = re.compile(r"<!--\s*docs:\s*(file|skip|setup)\b[ \t]*((?:(?!-->).)*)-->\s*\Z", re.S)


def blocks(text):
    """(language, code, first line, directive, argument) of every fenced block, in order."""
    for m in FENCE.finditer(text):
        before = text[:m.start()]
        line = before.count("\n") + 2
        d = DIRECTIVE.search(before[-2000:])
        kind, arg = (d.group(1), d.group(2).strip()) if d else (None, "")
        yield m.group(1), m.group(2), line, kind, arg


def run_document(path, folder):
    with open(path, encoding="utf-8") as f:
        found = list(blocks(f.read()))
    for _, code, _, kind, arg in found:
        if kind == "file":
            target = os.path.join(folder, arg)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as out:
                out.write(code)
    os.chdir(folder)
    sys.path.insert(0, folder)
    namespace = {"__name__": "__docs__"}
    for language, code, line, kind, arg in found:
        if language != "python" or kind in ("file", "skip"):
            continue
        if kind == "setup":
            exec(compile(arg, f"{path} (set-up of the block at line {line})", "exec"), namespace)
        exec(compile("\n" * (line - 1) + code, path, "exec"), namespace)


@pytest.mark.parametrize("doc", DOCS)
def test_document_runs(doc, tmp_path):
    path = os.path.join(ROOT, doc)
    with open(path, encoding="utf-8") as f:
        assert any(language == "python" for language, *_ in blocks(f.read()))
    done = subprocess.run([sys.executable, __file__, path, str(tmp_path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


SIGNATURE = re.compile(r"`(\w+)\(([^`()]*=[^`()]*)\)`")  # `name(a, b=None)`: written with defaults


@pytest.mark.parametrize("doc", DOCS)
def test_written_signatures_use_the_real_parameter_names(doc):
    import inspect

    from verdin.db.querydeck import SqlTemplate
    from verdin.db.txnfront import VerdinSqlSession
    from verdin.mapper.stmtloom import ParseMapper

    real = {name: list(inspect.signature(member).parameters)
            for cls in (ParseMapper, SqlTemplate, VerdinSqlSession) for name, member in vars(cls).items()
            if callable(member)}
    with open(os.path.join(ROOT, doc), encoding="utf-8") as f:
        for name, params in SIGNATURE.findall(f.read()):
            if name in real:
                written = [p.split("=")[0].strip() for p in params.split(",")]
                assert all(p in real[name] for p in written), f"{name}({params}) in {doc}: {real[name]}"


if __name__ == "__main__":
    run_document(*sys.argv[1:])

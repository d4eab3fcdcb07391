"""python -m verdin check: one line per problem, and what it flags is what the mapper refuses."""
import os
import subprocess
import sys

import pytest

from verdin.__main__ import main
from verdin.mapper import mapcheck
from verdin.mapper.stmtloom import ParseMapper


def mapper(tmp_path, body, name="m.xml", namespace='namespace="ns"'):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f'<mapper {namespace}>\n  <sql id="cols">id</sql>\n  {body}\n</mapper>\n')
    return path


def run_check(capsys, *paths):
    status = main(["check", *map(str, paths)])
    out, err = capsys.readouterr()
    return status, out.splitlines(), err


# Each statement fails in the mapper; the checker names the same fault without running it.
def compile_failure(source):
    """How this interpreter's compiler refuses `source`: 3.11 raises a MemoryError without a text."""
    try:
        compile(source, "<test>", "eval")
    except (MemoryError, RecursionError) as e:
        return f"{type(e).__name__}: {e}" if str(e) else type(e).__name__
    raise AssertionError("compiles")


FAULTS = [
    ('<select id="s">select <iff test="1">x</iff></select>', "s: unknown element <iff>", TypeError),
    ('<select id="s"><if>x</if></select>', "s: <if> without the attribute 'test'", KeyError),
    ('<select id="s"><choose><when>x</when><otherwise/></choose></select>',
     "s: <when> without the attribute 'test'", KeyError),
    ('<select id="s"><include/></select>', "s: <include> without the attribute 'refid'", KeyError),
    ('<select id="s"><foreach item="i" open="(" close=")">#{i}</foreach></select>',
     "s: <foreach> without the attribute 'collection'", KeyError),
    ('<select id="s"><if test="params[">x</if></select>',
     "s: the test expression 'params[' of <if> does not compile: '[' was never closed", SyntaxError),
    ('<select id="s"><foreach item="i" collection="a b" open="(" close=")" separator=",">#{i}</foreach></select>',
     "s: the collection expression 'a b' of <foreach> does not compile: invalid syntax. Perhaps you forgot a comma?",
     SyntaxError),
    ('<select id="s">select <include refid="colz"/></select>',
     "s: <include> refid 'colz' names no statement of this file", KeyError),
    # Too complex to compile: reported, never a traceback.
    (f'<select id="s"><if test="{"-" * 100000}1">x</if></select>',
     f"s: the test expression {'-' * 80!r}... (100001 characters) of <if> does not compile: "
     + compile_failure("-" * 100000 + "1"), MemoryError),
    (f'<select id="s"><choose><when test="1{"+1" * 100000}">x</when></choose></select>',
     f"s: the test expression {'1' + '+1' * 39 + '+'!r}... (200001 characters) of <when> does not compile: "
     "RecursionError: maximum recursion depth exceeded during compilation", RecursionError),
]


@pytest.mark.parametrize("body, line, error", FAULTS)
def test_statement_faults_match_the_mapper(tmp_path, capsys, body, line, error):
    path = mapper(tmp_path, body)
    status, out, _ = run_check(capsys, path)
    assert (status, out) == (1, [f"{path}: {line}", "1 problem in 1 of 1 file, 2 statements"])
    with pytest.raises(error):
        ParseMapper(str(path)).get_sql("s", {"ids": [1], "a": 1, "b": 2})


@pytest.mark.parametrize("body, namespace, line, error", [
    ('<select id="s" resultType="nosuch.Model">x</select>', 'namespace="ns"',
     "s: resultType 'nosuch.Model' cannot be resolved: 无法导入类型 nosuch.Model: No module named 'nosuch'", ValueError),
    ('<select id="s" resultType="list">x</select>', 'namespace="ns"',
     "s: resultType 'list' cannot be resolved: please check result_type: can`t set type: list", TypeError),
    ('<select id="s" resultType="Listt">x</select>', 'namespace="ns"',
     "s: resultType 'Listt' cannot be resolved: 未知的类型: Listt", ValueError),
    ('<select id="s" resultType="my-app.Model">x</select>', 'namespace="ns"',
     "s: resultType 'my-app.Model' cannot be resolved: not a dotted path of Python names", ValueError),
    ('<select resultType="int">x</select>', 'namespace="ns"', "-: statement 2 (<select>) has no id", Exception),
    ('<select id="s">x</select', 'namespace="ns"',
     "-: XML not well formed: not well-formed (invalid token): line 4, column 0", SyntaxError),
])
def test_load_faults_match_the_mapper(tmp_path, capsys, body, namespace, line, error):
    path = mapper(tmp_path, body, namespace=namespace)
    # Only a dotted name needs its module imported to be found missing.
    status, out, _ = run_check(capsys, *(["--import"] if "nosuch" in body else []), path)
    assert status == 1 and out[0] == f"{path}: {line}" and len(out) == 2
    with pytest.raises(error):
        ParseMapper(str(path))


def test_folder_namespaces_and_summary(tmp_path, capsys):
    clean = ('<select id="find" resultType="int">select <include refid="cols"/> from t <where>'
             '<if test=" params.get(\'a\')">and a = #{a}</if><choose><when test="1">x</when>'
             '<otherwise>y</otherwise></choose><foreach item="i" collection="ids" open="(" close=")" '
             'separator=",">#{i}</foreach></where></select>')
    a = mapper(tmp_path, clean, "b/a.xml")
    mapper(tmp_path, "", "b/c/other.xml", namespace='namespace="other"')
    (tmp_path / "b" / "notes.txt").write_text("not a mapper")
    assert run_check(capsys, tmp_path / "b")[:2] == (0, ["checked 2 files, 3 statements: no problems"])
    nameless = mapper(tmp_path, "", "d/none.xml", namespace="")
    twin = mapper(tmp_path, "", "d/twin.xml")
    status, out, _ = run_check(capsys, tmp_path / "b", tmp_path / "d")
    assert status == 1 and out == [
        f"{nameless}: -: missing namespace: the <mapper> element needs a namespace attribute",
        f"{twin}: -: duplicate namespace 'ns', already declared by {a}",
        "2 problems in 2 of 4 files, 5 statements",
    ]


@pytest.mark.parametrize("args", [[], ["check"], ["lint", "x"], ["check", "{tmp}/m.xml", "{tmp}/nowhere"]])
def test_usage_errors_exit_2(tmp_path, args):
    mapper(tmp_path, "")
    argv = [a.format(tmp=tmp_path) for a in args]
    done = subprocess.run([sys.executable, "-m", "verdin", *argv], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == ""
    assert ("nowhere: no such file or folder" in done.stderr) == ("check" in args and len(args) > 2)


def check_process(*paths, **env):
    """The checker in its own process: what it must never do may hang or kill the interpreter."""
    return subprocess.run([sys.executable, "-m", "verdin", "check", *map(str, paths)], capture_output=True,
                          env=dict(os.environ, **env), timeout=120)


@pytest.mark.parametrize("named", ["by its folder", "directly"])
def test_a_fifo_is_named_not_read(tmp_path, named):
    clean = mapper(tmp_path, '<select id="s">select 1</select>')
    fifo = tmp_path / "pipe.xml"
    os.mkfifo(fifo)
    done = check_process(*([tmp_path] if named == "by its folder" else [clean, fifo]))
    assert (done.returncode, done.stdout.decode().splitlines()) == (1, [
        f"{fifo}: -: not a regular file (a FIFO), so not read", "1 problem in 1 of 2 files, 2 statements"])


DEEP = 20000


@pytest.mark.parametrize("body, lines", [
    ('<sql id="a"><include refid="b"/></sql><sql id="b"><include refid="a"/></sql>'
     '<select id="s"><include refid="a"/></select>',
     [f"{sql_id}: <include> loop {route}: the mapper follows it until RecursionError" for sql_id, route in [
         ("a", "'a' -> 'b' -> 'a'"), ("b", "'b' -> 'a' -> 'b'"), ("s", "'s' -> 'a' -> 'b' -> 'a'")]]),
    ('<select id="s">' + '<if test="1">' * DEEP + "x" + "</if>" * DEEP + "</select>",
     [f"s: elements nested {DEEP + 1} levels deep (includes counted), more than the {mapcheck.nesting_limit} "
      "the mapper can assemble"]),
])
def test_statements_the_mapper_recurses_on_until_it_fails(tmp_path, capsys, body, lines):
    path = mapper(tmp_path, body)
    nameless = mapper(tmp_path, "<select>x</select>", "z.xml", namespace='namespace="z"')
    status, out, _ = run_check(capsys, path, nameless)
    assert status == 1 and out[:-1] == [f"{path}: {line}" for line in lines] + [
        f"{nameless}: -: statement 2 (<select>) has no id"]
    with pytest.raises(RecursionError):
        ParseMapper(str(path)).get_sql("s", {})


def test_duplicate_ids_files_named_twice_and_symlinks_that_lead_nowhere(tmp_path, capsys, monkeypatch):
    dup = mapper(tmp_path, '<select id="s">select 1</select><update id="s">update x set a = 1</update>', "dup.xml")
    monkeypatch.chdir(tmp_path)
    assert run_check(capsys, ".", "dup.xml")[:2] == (1, [
        "./dup.xml: s: duplicate id: statement 3 (<update>) replaces statement 2 (<select>)",
        "1 problem in 1 of 1 file, 3 statements"])
    assert ParseMapper(str(dup)).sql_type_map["s"] == "update"
    os.symlink("loop", "loop")
    os.symlink("nowhere", "gone")
    assert run_check(capsys, "loop", "gone") == (2, [], "python -m verdin check: loop: a loop of symbolic links\n"
                                                     "python -m verdin check: gone: a symbolic link to nothing\n")


def test_file_names_an_ascii_terminal_cannot_show_are_escaped(tmp_path):
    with open(os.path.join(os.fsencode(tmp_path), b"caf\xc3\xa9\xff.xml"), "w") as f:
        f.write('<mapper><select id="s">x</select></mapper>')
    done = check_process(tmp_path, PYTHONUTF8="1", PYTHONIOENCODING="ascii")
    assert (done.returncode, done.stdout.decode("ascii").splitlines()) == (1, [
        f"{tmp_path}/caf\\xe9\\udcff.xml: -: missing namespace: the <mapper> element needs a namespace attribute",
        "1 problem in 1 of 1 file, 1 statement"])


def test_nothing_of_the_files_runs_unless_imports_are_asked_for(tmp_path):
    (tmp_path / "side.py").write_text("open('imported', 'w').close()\nclass Model:\n    pass\n")
    (tmp_path / "quits.py").write_text("raise SystemExit(3)\n")
    mapper(tmp_path, '<select id="s" resultType="side.Model">select 1</select>'
                     '<select id="t" resultType="quits.Model">select 1</select>'
                     '<select id="u"><if test="open(\'evaluated\', \'w\')">x</if></select>')
    files = ["m.xml", "quits.py", "side.py"]
    for args, status, lines in [
        ([], 0, ["checked 1 file, 4 statements: no problems"]),
        (["--import"], 1, ["m.xml: t: resultType 'quits.Model' cannot be resolved: importing its module called exit(3)",
                           "1 problem in 1 of 1 file, 4 statements"]),
    ]:
        done = subprocess.run([sys.executable, "-m", "verdin", "check", *args, "m.xml"], capture_output=True,
                              text=True, cwd=tmp_path, timeout=120)
        assert (done.returncode, done.stdout.splitlines()) == (status, lines)
        assert sorted(os.listdir(tmp_path)) == sorted(files + ["imported"] * bool(args))
    # Importing this one created a virtual environment for each argument of the command line.
    mapper(tmp_path, '<select id="s" resultType="venv.__main__.X">select 1</select>')
    done = subprocess.run([sys.executable, "-m", "verdin", "check", "m.xml"], capture_output=True, text=True,
                          cwd=tmp_path, timeout=120)
    assert done.returncode == 0 and not os.path.exists(tmp_path / "check")


def test_a_long_include_chain_is_checked_in_one_pass(tmp_path):
    # s0 -> s1 -> ... -> s(N-1) -> s(N/2): every statement reaches the loop in the second half.
    n = 200000
    body = "".join(f'<sql id="s{i}"><include refid="s{i + 1 if i + 1 < n else n // 2}"/></sql>' for i in range(n))
    path = mapper(tmp_path, body)
    done = check_process(path)
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 1 and len(lines) == n + 1 and lines[-1] == f"{n} problems in 1 of 1 file, {n + 1} statements"
    assert lines[0] == (f"{path}: s0: <include> loop 's0' -> 's1' -> 's2' -> 's3' -> 's4' -> 's5' -> 's6' -> 's7' -> "
                        f"... ({n - 8} more) -> 's{n // 2}': the mapper follows it until RecursionError")
    assert lines[n - 1] == (f"{path}: s{n - 1}: <include> loop 's{n - 1}' -> 's{n // 2}' -> 's{n // 2 + 1}' -> "
                            f"'s{n // 2 + 2}' -> 's{n // 2 + 3}' -> 's{n // 2 + 4}' -> 's{n // 2 + 5}' -> "
                            f"'s{n // 2 + 6}' -> ... ({n // 2 - 8} more) -> 's{n - 1}': the mapper follows it until "
                            "RecursionError")


def test_nothing_printed_starts_a_line_or_moves_the_cursor(tmp_path, capsys):
    body = '<select id="a&#10;0 problems in 0 files&#13;\u202e">x</select><select id="a&#10;0 problems in 0 files&#13;\u202e">y</select>'
    path = mapper(tmp_path, body, "m\x1b[2J\u2028.xml")
    status, out, _ = run_check(capsys, path)
    shown = str(path).replace("\x1b", "\\x1b").replace("\u2028", "\\u2028")
    assert status == 1 and out == [
        f"{shown}: a\\n0 problems in 0 files\\r\\u202e: duplicate id: statement 3 (<select>) replaces statement 2 (<select>)",
        "1 problem in 1 of 1 file, 3 statements"]

"""Statements with comments: every database reads verdin's SQL as it reads the mapper text."""
import random
import uuid
import xml.etree.ElementTree as et
from xml.sax.saxutils import escape

import pytest
from hypothesis import given, strategies as st
from sqlalchemy import text

from test_properties import SETTINGS
from verdin.mapper.stmtloom import ParseMapper

# Whitespace inside a literal collapses (as documented): no row holds a run of it.
ROWS = ["-- keep", "-- pinned", "'--", "/*", "it's", "#", "plain", "a -- b", "x\\", "plain"]

# Values written as each database quotes them, and as the others misread them.
LITERALS = ["'plain'", "'it''s'", "'--'", "'#'", "'/*'", "'a -- b'", "'\\'--'", "'x\\\\'", "'a\nb'",
            "$$-- keep$$", "$$it's$$", "$t$# x$t$", "E'\\'--'", '"--"', "`body`", "[body]", "'$$'"]
COMMENTS = ["-- c", "--c", "# c", "/* c */", "/* -- */", "-- it's", "# it's", "-- $$", "/*! and 1 = 1 */",
            "/* a /* b */ -- c */", "-- ok\n", "# ok\n", "--"]


@pytest.fixture
def notes(engine):
    name = "cm_" + uuid.uuid4().hex[:10]
    with engine.begin() as conn:
        conn.execute(text(f"create table {name} (id integer primary key, body varchar(40), owner integer)"))
        conn.execute(text(f"insert into {name} (id, body, owner) values (:id, :body, :owner)"),
                     [{"id": i, "body": b, "owner": i % 2} for i, b in enumerate(ROWS)])
    yield name
    with engine.begin() as conn:
        conn.execute(text(f"drop table if exists {name}"))


def load(tmp_path, statements):
    path = tmp_path / f"m{uuid.uuid4().hex[:6]}.xml"
    path.write_text(f'<mapper namespace="c">{statements}</mapper>', encoding="utf-8")
    return ParseMapper(str(path))


def outcome(conn, clause, binds):
    try:
        return sorted(conn.execute(clause, binds).all())
    except Exception:
        return "error"


def left(engine, table):
    with engine.connect() as conn:
        return [r[0] for r in conn.execute(text(f"select body from {table} order by id"))]


REPRODUCTIONS = {
    "postgresql": ("delete from {t} where body &lt;&gt; $$-- keep$$\n  and body &lt;&gt; $$-- pinned$$",
                   ["-- keep", "-- pinned"]),
    "mysql": ("delete from {t} where body &lt;&gt; '\\'--'\n  and body &lt;&gt; '/*' /* c */", ["'--", "/*"]),
    "sqlite": ("delete from {t} where body &lt;&gt; (select 'plain' as [it's]) -- all but these\n"
               "  and body &lt;&gt; '#'", ["#", "plain", "plain"]),
}


@pytest.mark.parametrize("case", ["quotes", "hash in where", "hash brace", "minus after where", "carriage return"])
def test_deletes_what_the_mapper_shows(engine, notes, tmp_path, case):
    dialect = engine.dialect.name
    if case == "quotes":
        body, kept = REPRODUCTIONS[dialect]
    elif case == "hash brace":
        # "#{" that starts no reference is a comment to MySQL, and an error to the others
        body = "delete from {t} <where>and id &lt;&gt; 1 #{ c\nand id &lt;&gt; 2</where>"
        kept = ROWS[1:3] if dialect == "mysql" else ROWS
    elif case == "minus after where":
        body = "delete from {t} <where>and id = 5 -\n</where>-4 or id = 3"
        kept = ROWS[:3] + ROWS[4:9]
    elif case == "carriage return":
        # a line end to PostgreSQL only
        body = "delete from {t} <where>and id = 1 -- c&#13;or id = 2</where>"
        kept = ROWS[:1] + ROWS[3:] if dialect == "postgresql" else ROWS[:1] + ROWS[2:]
    else:
        body = ("delete from {t}\n  <where>\n    <if test=\"params.get('kind')\">and body = #{kind}   # only this kind\n"
                "    </if>\n    and owner = #{owner}\n  </where>")
        # MySQL reads "#" as a comment; the others fail on it, as they fail on the mapper text
        kept = ROWS[:6] + ROWS[7:] if dialect == "mysql" else ROWS
    m = load(tmp_path, f'<delete id="d">{body.replace("{t}", notes)}</delete>')
    sql, binds, _, _ = m.get_sql("d", {"kind": "plain", "owner": 0})
    try:
        with engine.begin() as conn:
            conn.execute(sql, binds)
    except Exception:
        assert kept == ROWS
    assert sorted(left(engine, notes)) == sorted(kept)


def generated_case(rng, i):
    """(mapper statements, the resolved text, binds): conditions and comments on one line or on
    several, some inside elements, CDATA or a fragment."""
    def piece():
        if rng.random() < 0.4:
            return rng.choice(COMMENTS)
        # no binds here: SQLAlchemy reads them inside comments too, and SQLite then counts them
        return rng.choice([f"and body <> {rng.choice(LITERALS)}", "and id <> 1", "or id = 1"])

    def run(k):
        parts = [piece() for _ in range(k)]
        return "".join(p + rng.choice([" ", "\n", "\n  "]) for p in parts)

    def wrapped(raw):
        """(xml, resolved, fragment xml)"""
        frag = f"f{i}_{rng.randrange(10**9)}"
        shape = rng.choice(["plain", "cdata", "if", "if-false", "include", "foreach", "trim"])
        xml_raw = f"<![CDATA[{raw}]]>" if "]]>" not in raw and rng.random() < 0.5 else escape(raw)
        if shape == "plain":
            return escape(raw), raw, ""
        if shape == "cdata":
            return f"<![CDATA[{raw}]]>", raw, ""
        if shape == "if":
            return f'<if test="True">{xml_raw}</if>', raw, ""
        if shape == "if-false":
            return f'<if test="False">{xml_raw}</if>', "", ""
        if shape == "trim":
            # <trim> drops the leading AND; "1 = 1 and" means the same
            body = "and id <> 1" + rng.choice([" ", "\n"]) + raw
            return (f'<trim prefix="and (" suffix=")" prefixOverrides="and |or ">{escape(body)}</trim>',
                    f"and ( 1 = 1 {body} )", "")
        if shape == "include":
            return f'<include refid="{frag}"/>', raw, f'<sql id="{frag}">{xml_raw}</sql>'
        sep = rng.choice([",", ", "])
        body = rng.choice(["#{x}", "#{x}\n", "#{x} -- each\n", "#{x} /* each */"])
        xml = (f'\n<foreach item="x" collection="ids" open="and id not in (" close=")" separator="{sep}">'
               f"{escape(body)}</foreach>")
        resolved = "\nand id not in (" + sep.join(body.replace("#{x}", f"#{{ids_for_index_{k}}}") for k in range(2)) + ")"
        return xml, resolved, ""

    xml, resolved, frags = "", "", ""
    if rng.random() < 0.5:
        # <where> drops the first AND; "1 = 1 and" means the same
        head = "and id <> #{n}" + rng.choice([" ", "\n"]) + run(rng.randint(0, 3))
        x, r, frags = wrapped(run(rng.randint(0, 2)))
        after = rng.choice([" ", "\n"])
        xml += f"<where>{escape(head)}{x}</where>{after}"
        resolved += f"WHERE 1 = 1 {head}{r}{after}"
    else:
        xml += "where 1 = 1\n"
        resolved += "where 1 = 1\n"
    for _ in range(rng.randint(1, 3)):
        x, r, f = wrapped(run(rng.randint(1, 3)))
        tail = rng.choice([" ", "\n", ""])
        xml, resolved, frags = xml + x + tail, resolved + r + tail, frags + f
    binds = {"n": 1, "ids_for_index_0": 2, "ids_for_index_1": 3}
    reference = "select id, body from {t} " + resolved.replace("#{", ":").replace("}", "")
    return f'<select id="s{i}">select id, body from {{t}} {xml}</select>{frags}', reference, binds


def test_generated_statements_read_as_their_mapper_text(engine, notes, tmp_path):
    rng = random.Random(18)
    cases = [generated_case(rng, i) for i in range(250)]
    m = load(tmp_path, "".join(xml for xml, _, _ in cases).replace("{t}", notes))
    differ = []
    with engine.connect().execution_options(isolation_level="AUTOCOMMIT") as conn:
        for i, (_, reference, binds) in enumerate(cases):
            sql, got_binds, _, _ = m.get_sql(f"s{i}", {"n": 1, "ids": [2, 3]})
            ours = outcome(conn, sql, got_binds)
            theirs = outcome(conn, text(reference.replace("{t}", notes)), binds)
            if ours != theirs:
                differ.append((sql.text, reference, ours, theirs))
    assert not differ, differ[:3]


@pytest.mark.parametrize("body, sql", [
    ("-- Kunden für den Bericht\nselect * from kunde", "select * from kunde"),
    ('select x <foreach item="é" collection="ids" open="(" close=")" separator=",">#{é} and ü = 1</foreach>',
     "select x (:ids_for_index_0 and ü = 1,:ids_for_index_1 and ü = 1)"),
    ('select <foreach item="é" collection="ids" open="(" close=")" separator=",">#{é} + 1</foreach>',
     "select (:ids_for_index_0 + 1,:ids_for_index_1 + 1)"),
])
def test_text_of_any_width(tmp_path, body, sql):
    assert load(tmp_path, f'<select id="s">{body}</select>').get_sql("s", {"ids": [1, 2]})[0].text == sql


NON_ASCII = st.text(alphabet="ab -#\n'/*{}éü名\u3000\U0001f600", max_size=12)


@SETTINGS
@given(NON_ASCII, NON_ASCII, NON_ASCII, st.sampled_from(["é", "x", "名", "\U0001f600"]))
def test_text_of_any_characters_builds_canonical_strings(tmp_path_factory, head, comment, tail, item):
    root = et.Element("mapper", {"namespace": "c"})
    select = et.SubElement(root, "select", {"id": "s"})
    select.text = f"{head}-- {comment}\n{tail} "
    where = et.SubElement(select, "where")
    where.text = f"and {comment} # {head}\n"
    each = et.SubElement(where, "foreach", {"item": item, "collection": "ids", "open": head, "close": tail,
                                            "separator": comment})
    each.text = f"#{{{item}}} {tail}"
    each.tail = tail
    trim = et.SubElement(select, "trim", {"prefix": head, "suffixOverrides": ",|" + comment})
    trim.text = f"{comment}, -- {tail}\n"
    path = tmp_path_factory.mktemp("t") / "m.xml"
    path.write_bytes(et.tostring(root, encoding="utf-8"))
    m = ParseMapper(str(path))
    sql = m.get_sql("s", {"ids": [1, 2]})[0].text
    # a str made with too narrow a kind cannot be built; one too wide equals no canonical str
    assert sql == "".join(list(sql))
    for element in (where, trim):
        out = m.parse_element(element, {"params": {"ids": [1]}})
        assert out == "".join(list(out))


@pytest.mark.parametrize("body, sql", [
    ("select 1 -- c <where>and a = 1\n and b = 2</where>", "select 1 and b = 2"),
    ('update t -- c <set>, a = 1,\n b = 2</set>', "update t b = 2"),
    ('select 1 # c <trim prefix="and" prefixOverrides="or">or a = 1\n or b = 2</trim>', "select 1 # c and a = 1\nor b = 2"),
    ('select 1 # c <if test="1"><where>a\nb</where></if>', "select 1 # c WHERE a\nb"),
])
def test_a_comment_open_before_an_element_ends_at_the_line_break_in_its_body(tmp_path, body, sql):
    assert load(tmp_path, f'<select id="s">{body}</select>').get_sql("s", {})[0].text == sql


PAGED = {"sqlite": "select id from {t} order by id --all", "mysql": "select id from {t} order by id # all",
         "postgresql": "select id from {t} where $$a$$ &lt;&gt; 'b' order by id -- all"}


def test_a_page_of_a_statement_ending_in_a_comment(engine, notes, tmp_path):
    from verdin.db.querydeck import Page
    from verdin.db.txnfront import VerdinSqlSession
    m = load(tmp_path, f'<select id="s">{PAGED[engine.dialect.name].replace("{t}", notes)}</select>')
    page = VerdinSqlSession({"c": m}, data_source=engine).execute_sql("s", "c", {}, page=Page(2, 3))
    assert (page["total"], page["list"]) == (len(ROWS), [{"id": 3}, {"id": 4}, {"id": 5}])


@pytest.mark.parametrize("body, sql", [
    ("note = '-- x,\n-- y'", "note = '-- x,\n-- y' where"),
    ("note = 'x\\', -- y'", "note = 'x\\', -- y' where"),
    ("note = $$x, -- y$$", "note = $$x, -- y$$ where"),
    ("a = 1, -- c\n b = 2, # d\n", "a = 1, b = 2 # d\nwhere"),
])
def test_trim_removes_a_suffix_only_before_comments_every_database_reads(tmp_path, body, sql):
    m = load(tmp_path, f'<update id="s">update t <trim prefix="set" suffixOverrides=",">{body}</trim> where id = 1</update>')
    assert m.get_sql("s", {})[0].text == f"update t set {sql} id = 1"

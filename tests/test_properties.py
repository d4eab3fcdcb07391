"""Property-based tests over generated mapper files and text."""
import re
import tempfile
import threading
import xml.etree.ElementTree as et

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from verdin.mapper.stmtloom import ParseMapper
from verdin.utils import bindnote, cdatakit, clausetrim

SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# Text of statements: letters, digits, SQL punctuation, non-ASCII and Unicode whitespace. No ':'
# (it would read as a bind), no '#', '$', '{', '}' outside the references we place ourselves.
WORDS = st.text(alphabet="ab xyz019_=(),.'*<>é名\u3000\u00a0\u2003\t\n\r\u2028\u0085", max_size=12)
NAMES = ["p0", "p1", "p2", "p3"]
LISTS = ["l0", "l1"]
TESTS = ["params.get('p0')", "True", "False", "params.get('p1') is None", "len(params) > 3",
         "params.get('p2') == 1", "'p3' in params"]
# A reference followed by a word character would merge with it (":p0" + "0" reads as ":p00"), as
# the guide says; generated references end with a space or punctuation.
REFERENCES = st.tuples(st.sampled_from([f"#{{{n}}}" for n in NAMES] + ["${p0}"]), st.sampled_from([" ", ",", ")", "\n"])).map("".join)


def leaf():
    return st.lists(st.one_of(WORDS, REFERENCES), max_size=4).map("".join)


def tail():
    # text after an element starts with a space: where/set/trim strip their own trailing space
    return leaf().map(lambda t: " " + t)


def element(children):
    """(tag, attributes, text, [(child, tail)])"""
    body = st.tuples(leaf(), st.lists(st.tuples(children, tail()), max_size=3))
    return st.one_of(
        st.tuples(st.just("if"), st.builds(lambda t: {"test": t}, st.sampled_from(TESTS)), body),
        st.tuples(st.just("where"), st.just({}), body),
        st.tuples(st.just("set"), st.just({}), body),
        st.tuples(st.just("sql"), st.just({}), body),
        st.tuples(st.just("trim"), st.fixed_dictionaries({}, optional={
            "prefix": st.sampled_from(["WHERE", "(", ""]), "suffix": st.sampled_from([")", ""]),
            "prefixOverrides": st.sampled_from(["AND |OR ", ",", "||", "a|x"]),
            "suffixOverrides": st.sampled_from([",", "AND", "|"])}), body),
        st.tuples(st.just("foreach"), st.builds(
            lambda c, s: {"item": "it", "collection": c, "open": "(", "close": ")", "separator": s},
            st.sampled_from(LISTS), st.sampled_from([",", " or ", ""])),
            st.tuples(leaf().map(lambda t: t + "#{it} "), st.lists(st.tuples(children, tail()), max_size=2))),
        st.tuples(st.just("choose"), st.just({}), st.tuples(st.just(""), st.lists(st.tuples(
            st.tuples(st.just("when"), st.builds(lambda t: {"test": t}, st.sampled_from(TESTS)),
                      st.tuples(leaf(), st.just([]))), st.just("")), max_size=3).map(
            lambda whens: whens + [(("otherwise", {}, ("other", [])), "")]))),
        st.tuples(st.just("include"), st.just({"refid": "frag"}), st.tuples(st.just(""), st.just([]))),
    )


TREES = st.recursive(st.tuples(st.just("if"), st.just({"test": "True"}), st.tuples(leaf(), st.just([]))),
                     element, max_leaves=12)
STATEMENTS = st.tuples(leaf(), st.lists(st.tuples(TREES, tail()), max_size=4))
PARAMS = st.fixed_dictionaries(
    {"l0": st.lists(st.integers(), max_size=5), "l1": st.lists(st.text(max_size=3), max_size=5)},
    optional={n: st.one_of(st.none(), st.integers(0, 2), st.text(max_size=4)) for n in NAMES})


def build(parent, spec):
    tag, attrs, (text, children) = spec
    node = et.SubElement(parent, tag, attrs)
    node.text = text
    for child, tail in children:
        build(node, child).tail = tail
    return node


def mapper_for(statement):
    root = et.Element("mapper", {"namespace": "gen"})
    frag = et.SubElement(root, "sql", {"id": "frag"})
    frag.text = "f #{p1} "
    select = et.SubElement(root, "select", {"id": "s"})
    text, children = statement
    select.text = text
    for child, tail in children:
        build(select, child).tail = tail
    with tempfile.NamedTemporaryFile("wb", suffix=".xml", delete=False) as f:
        f.write(et.tostring(root, encoding="utf-8"))
    return ParseMapper(f.name)


@SETTINGS
@given(STATEMENTS, PARAMS)
def test_generated_statements(statement, params):
    mapper = mapper_for(statement)
    # every call gets its own copy of the parameters
    fresh = lambda: {k: list(v) if isinstance(v, list) else v for k, v in params.items()}  # noqa: E731
    sql, binds, kind, result_type = mapper.get_sql("s", fresh())
    final = sql.text
    assert final == final.strip()
    assert not re.search(r"\s\s", final)
    assert (kind, result_type) == ("select", dict)
    # every bind SQLAlchemy reads from the final text has its value; every value has its :name
    # (SQLAlchemy itself does not read adjacent binds such as ":a:b")
    assert set(sql._bindparams) <= set(binds)
    assert all(":" + name in final for name in binds)
    for name, value in binds.items():
        if "_for_index_" in name:
            collection, index = name.split("_for_index_")
            assert value == params[collection][int(index)]
        else:
            assert value == params.get(name)
    # the same result again, and from 8 threads at once
    assert mapper.get_sql("s", fresh())[0].text == final
    results = []

    def work():
        again = mapper.get_sql("s", fresh())
        results.append((again[0].text, again[1]))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(final, binds)] * 8


@SETTINGS
@given(st.lists(st.integers(), max_size=40), st.text(alphabet="ab ,\n", max_size=5))
def test_foreach_yields_one_bind_per_item(items, noise):
    root = et.Element("mapper", {"namespace": "f"})
    select = et.SubElement(root, "select", {"id": "s"})
    each = et.SubElement(select, "foreach", {"item": "x", "collection": "xs", "open": "in (", "close": ")",
                                             "separator": ","})
    each.text = noise + "#{x}" + noise
    with tempfile.NamedTemporaryFile("wb", suffix=".xml", delete=False) as f:
        f.write(et.tostring(root))
    sql, binds, *_ = ParseMapper(f.name).get_sql("s", {"xs": items})
    assert binds == {f"xs_for_index_{i}": v for i, v in enumerate(items)}


ANY_TEXT = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=60)


@SETTINGS
@given(ANY_TEXT)
def test_format_sql_is_python_split_join(text):
    assert ParseMapper._format_sql(text) == " ".join(text.split())


@SETTINGS
@given(st.text(alphabet="#{}ab_-1 :\n\r\u3000é", max_size=40))
def test_binding_rewrites_like_the_patterns(text):
    from test_stmtloom import python_reference

    clause, binds = ParseMapper.to_prepared_statement(text, {})
    assert clause.text == python_reference(text, {})[0]
    assert binds == dict.fromkeys(re.findall(r"#{([a-zA-Z0-9_\-]+)}", text))


@SETTINGS
@given(st.lists(st.sampled_from(["select", " a", " #{a}", " #{b}", " #{a_b}", ",", " :c", " where", " é"]),
                max_size=8).map("".join))
def test_repeated_statements_give_clauses_like_new_text(source):
    from sqlalchemy import text

    made = [ParseMapper.to_prepared_statement(source, {})[0] for _ in range(3)]
    fresh = text(made[0].text)
    assert len({id(c) for c in made}) == 3
    assert len({id(b) for c in made for b in c.get_children()}) == 3 * len(fresh._bindparams)
    for clause in made:
        assert type(clause) is type(fresh) and clause.text == fresh.text
        assert list(clause._bindparams) == list(fresh._bindparams)
        assert str(clause.compile()) == str(fresh.compile())
        assert clause._generate_cache_key() == fresh._generate_cache_key()
    changed = made[2].bindparams(**dict.fromkeys(fresh._bindparams, 1))
    assert changed._generate_cache_key() == fresh.bindparams(**dict.fromkeys(fresh._bindparams, 1))._generate_cache_key()
    assert ParseMapper.to_prepared_statement(source, {})[0]._generate_cache_key() == fresh._generate_cache_key()


def reference_trim(s, terms, prefix):
    """The documented trimming steps, in Python."""
    ordered = [t for t, _ in sorted(((t, len(t)) for t in terms if t), key=lambda x: x[1], reverse=True)]
    s = " ".join(t.strip() for t in s.split())
    while True:
        for term in ordered:
            if s.startswith(term) if prefix else s.endswith(term):
                s = (s[len(term):] if prefix else s[:-len(term)]).strip()
                break
        else:
            return s.strip()


@SETTINGS
@given(st.text(alphabet="ANDORandor ,()x\u3000", max_size=30),
       st.sets(st.sampled_from(["AND", "OR", ",", "A", "AND (", "", "x"]), max_size=4), st.booleans())
def test_trim_helpers_follow_the_documented_steps(s, terms, prefix):
    helper = ParseMapper._trim_prefix if prefix else ParseMapper._trim_suffix
    assert helper(s, set(terms)) == reference_trim(s, terms, prefix)


@SETTINGS
@given(ANY_TEXT)
def test_escape_then_unescape_round_trips(text):
    assert cdatakit.convert_cdata(cdatakit.convert_cdata(text, True)) == text


@SETTINGS
@given(ANY_TEXT)
def test_sql_string_format_gives_one_literal(value):
    if "\\" in value:
        with pytest.raises(ValueError):
            cdatakit.sql_string_format(value)
        return
    out = cdatakit.sql_string_format(value)
    assert len(out) >= 2 and out[0] == out[-1] == "'"
    inner = out[1:-1]
    assert inner.replace("''", "") .count("'") == 0
    body = value
    if value.startswith("'"):
        body = body[1:]
    if len(value) >= 2 and value.endswith("'"):
        body = body[:-1]
    assert inner.replace("''", "'") == body


@SETTINGS
@given(ANY_TEXT)
def test_text_utilities_never_crash(text):
    cdatakit.replace_cdata(text)
    if "\\" not in text:
        cdatakit.param_str(text)
    clausetrim.replace_sql_first(text, "AND |OR ", "")
    clausetrim.replace_sql_last(text, ",", "")
    try:
        params = bindnote.get_sql_param(text)
    except AttributeError:
        return  # an attribute key without a value ends the scan, as documented
    for p in params:
        assert p.full_name in text


@SETTINGS
@given(st.lists(st.sampled_from(["#{", "${", "$f{", "}", "a", "b(", ")", ",", " sql_type=INT", "\n"]), max_size=20))
def test_parameter_scanner_on_reference_fragments(parts):
    text = "".join(parts)
    try:
        params = bindnote.get_sql_param(text)
    except AttributeError:
        return
    names = [p.full_name for p in params]
    assert len(names) == len(set(names))
    assert all(n in text for n in names)

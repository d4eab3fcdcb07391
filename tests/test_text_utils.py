"""cdatakit, clausetrim and snippets."""
import time

import pytest
import regex

from verdin.utils import cdatakit, clausetrim, snippets


@pytest.mark.parametrize(
    "text, reverse, expected",
    [
        ("a < b & c > d", True, "a &lt; b &amp; c &gt; d"),
        ('say "hi" & \'bye\'', True, "say &quot;hi&quot; &amp; 'bye'"),
        ("&lt;", True, "&amp;lt;"),
        ("x &lt; 1 &amp;&amp; y &gt; 2", False, "x < 1 && y > 2"),
        # decoded exactly once
        ("&amp;lt;", False, "&lt;"),
        ("&amp;quot; &quot;", False, '&quot; "'),
        ("&apos; &#60;", False, "&apos; &#60;"),
        ("", False, ""),
    ],
)
def test_convert_cdata(text, reverse, expected):
    assert cdatakit.convert_cdata(text, reverse) == expected
    assert cdatakit.convert_cdata(string=text, reverse=reverse) == expected


@pytest.mark.parametrize("text", ["a < b & c > d", '&amp;lt; "q" &', "plain", "&&&;;<<>>\"\""])
def test_escape_then_unescape_round_trips(text):
    assert cdatakit.convert_cdata(cdatakit.convert_cdata(text, True)) == text


def test_convert_cdata_duck_typing():
    class Text:
        def __init__(self, s):
            self.s = s

        def replace(self, old, new):
            return Text(self.s.replace(old, new))

    assert cdatakit.convert_cdata(Text("<a>"), reverse=1).s == "&lt;a&gt;"
    assert cdatakit.convert_cdata(b"&amp;".decode()) == "&"
    with pytest.raises(AttributeError):
        cdatakit.convert_cdata(5)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("where a <![CDATA[ < ]]> 1", "where a  &lt;  1"),
        ("<![CDATA[a<b]]> or <![CDATA[a<b]]> or <![CDATA[c>d]]>", "a&lt;b or a&lt;b or <![CDATA[c>d]]>"),
        ("x<![CDATA[]]>y", "xy"),
        ("no section", "no section"),
        ("<![CDATA[line1\n&line2]]>", "line1\n&amp;line2"),
    ],
)
def test_replace_cdata(text, expected):
    assert cdatakit.replace_cdata(text) == expected


def test_replace_cdata_returns_same_object_without_section_and_rejects_non_text():
    s = "no section here"
    assert cdatakit.replace_cdata(s) is s
    with pytest.raises(TypeError):
        cdatakit.replace_cdata(5)


@pytest.mark.parametrize(
    "value, expected",
    [("abc", "'abc'"), ("'abc", "'abc'"), ("abc'", "'abc'"), ("'abc'", "'abc'"), ("it's", "'it''s'"),
     ("", "''"), ("'", "''"), ("''", "''"), ("'''", "''''"), ("a'; drop table t; --", "'a''; drop table t; --'"),
     ("é'ü", "'é''ü'")],
)
def test_sql_string_format_always_gives_one_literal(value, expected):
    assert cdatakit.sql_string_format(value) == expected


@pytest.mark.parametrize(
    "value, expected",
    [(None, "null"), ("", "''"), ("x", "'x'"), ("it's", "'it''s'"), (0, "0"), (0.0, "0.0"), (False, "False"),
     (True, "True"), (7, "7"), ([], "null"), ({}, "null"), ([1], "[1]")],
)
def test_param_str(value, expected):
    assert cdatakit.param_str(value) == expected


def test_param_str_subclasses_and_numbers():
    from decimal import Decimal
    from fractions import Fraction

    class S(str):
        pass

    assert cdatakit.param_str(S("a'b")) == "'a''b'"
    assert cdatakit.param_str(Decimal("0")) == "0"
    assert cdatakit.param_str(Fraction(1, 2)) == "1/2"

    class Bad:
        def __bool__(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError):
        cdatakit.param_str(Bad())


@pytest.mark.parametrize("helper", [cdatakit.sql_string_format, cdatakit.param_str, snippets.like])
@pytest.mark.parametrize("value", ["x\\' or 1=1 -- ", "\\", "'a\\b'"])
def test_literal_helpers_refuse_backslashes(helper, value):
    # MySQL-family servers read a backslash in a literal as an escape: the literal would end early
    with pytest.raises(ValueError, match="backslash .* bind it as a parameter"):
        helper(value)
    assert helper(value.replace("\\", "/")) == cdatakit.sql_string_format(value.replace("\\", "/"))


def test_param_str_reads_sql_string_format_global(monkeypatch):
    monkeypatch.setattr(cdatakit, "sql_string_format", lambda v: f"<{v}>")
    assert cdatakit.param_str("x") == "<x>"


def test_replace_cdata_reads_convert_cdata_global(monkeypatch):
    monkeypatch.setattr(cdatakit, "convert_cdata", lambda s, reverse=False: s.upper())
    assert cdatakit.replace_cdata("<![CDATA[ab]]>") == "AB"


@pytest.mark.parametrize(
    "args, expected",
    [
        (("  and a = 1 and b = 2 ", "AND |OR ", "WHERE "), "WHERE a = 1 and b = 2"),
        (("a = 1 AND b = 2", "AND |OR ", "WHERE "), "a = 1 AND b = 2"),
        (("AND a = 1", "AND", ""), " a = 1"),
        (("ANDROID = 1", "AND", "WHERE "), "WHERE ROID = 1"),
        (("\u3000OR x", "AND |OR ", ""), "x"),
        (("  x  ", "AND", "Y"), "x"),
        (("AND x", "AND", r"\1\1"), "ANDAND x"),
    ],
)
def test_replace_sql_first(args, expected):
    assert clausetrim.replace_sql_first(*args) == expected


@pytest.mark.parametrize(
    "args, expected",
    [
        (("a = 1, b = 2,", ",", ""), "a = 1, b = 2"),
        (("a = 1, -- last column", ",", ""), "a = 1"),
        (("a = 1 -- note", ",", ""), "a = 1 -- note"),
        (("x = 1 AND", "and|or", ";"), "x = 1 ;"),
        (("x = 1 ", ",", ""), "x = 1"),
    ],
)
def test_replace_sql_last(args, expected):
    assert clausetrim.replace_sql_last(*args) == expected


def test_clausetrim_errors(monkeypatch):
    with pytest.raises(regex.error):
        clausetrim.replace_sql_first("x", "(", "")
    with pytest.raises(regex.error):
        clausetrim.replace_sql_first("x", "x", r"\9")
    with pytest.raises(TypeError, match="'replace' has incorrect type"):
        clausetrim.replace_sql_last("x", "x", None)
    calls = []

    class FakeRe:
        IGNORECASE = 99

        @staticmethod
        def sub(pattern, repl, string, count=0, flags=0):
            calls.append((pattern, repl, string, count, flags))
            return "faked"

    monkeypatch.setattr(clausetrim, "re", FakeRe)
    assert clausetrim.replace_sql_last(" a, ", ",", "") == "faked"
    assert calls == [(r"(,)(\s+--.+)?$", "", "a,", 1, 99)]


STRUCT = time.struct_time((2024, 1, 2, 3, 4, 5, 1, 2, -1))


def test_snippets():
    assert snippets.like("abc") == "'abc'"
    assert snippets.like(value="%abc%") == "'%abc%'"
    assert snippets.time_format(STRUCT) == "'2024-01-02 03:04:05'"
    assert snippets.time_format(STRUCT, "%Y") == "'2024'"
    assert snippets.time_format(date_value=STRUCT, format="") == "''"
    assert snippets.time_format(tuple(STRUCT)) == "'2024-01-02 03:04:05'"
    assert snippets.default_fun_dict == {"like": snippets.like, "time_format": snippets.time_format}
    assert list(snippets.default_fun_dict) == ["like", "time_format"]


def test_snippets_errors(arg_type_message):
    with pytest.raises(TypeError) as exc:
        snippets.like(5)
    assert str(exc.value) == arg_type_message("sql_str_value", "str", "int")
    with pytest.raises(TypeError) as exc:
        snippets.time_format(STRUCT, None)
    assert str(exc.value) == arg_type_message("format", "str", "NoneType")
    with pytest.raises(TypeError):
        snippets.time_format("2024-01-02")


def test_snippets_read_globals_at_call_time(monkeypatch):
    monkeypatch.setattr(snippets, "sql_string_format", lambda v: f"[{v}]")
    assert snippets.like("a") == "[a]"

    class FakeTime:
        @staticmethod
        def strftime(fmt, value):
            return f"{fmt}|{value}"

    monkeypatch.setattr(snippets, "time", FakeTime)
    assert snippets.time_format("v", "f") == "[f|v]"

import xml.etree.ElementTree as et

import pytest
import regex

from verdin.utils import bindnote

regex_value = vars(bindnote)["__get_regex_value"]


def describe(params):
    return [(p.full_name, getattr(p, "name", "<none>"), p.param_name, p.sql_type, p.python_type, p.type_handler)
            for p in params]


def test_module_constants():
    assert list(bindnote.type_mapping) == ["NUM", "BOOLEAN", "DATE", "STRING", "BINARY", "OTHER"]
    assert bindnote.type_mapping["NUM"][-1] == "NUMERIC" and "REAL" in bindnote.type_mapping["OTHER"]
    assert bindnote.param_function_regex.pattern == r".+?\(.+?\)"
    assert isinstance(bindnote.param_function_regex, regex.Pattern)
    assert [(r.regex.pattern, r.prefix) for r in bindnote.sql_regex_list] == [
        (r"\#\{.+?\}", "#"), (r"\$\{.+?\}", "$"), (r"\$f\{.+?\}", "$f")]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("select * from t where id = #{id} and name = #{name, sql_type=VARCHAR, python_type=str} and id = #{id}",
         [("#{id}", "id", "id", None, None, None),
          ("#{name, sql_type=VARCHAR, python_type=str}", "name", "name", "VARCHAR", "str", None)]),
        ("${b} #{a}", [("#{a}", "a", "a", None, None, None), ("${b}", "b", "b", None, None, None)]),
        ("#{now()}", [("#{now()}", "now()", "now()", None, None, None)]),
        ("#{}", []),
        ("#{a}}", [("#{a}", "a", "a", None, None, None)]),
        ("#{ id }", [("#{ id }", " id ", " id ", None, None, None)]),
        ("#{id} #{ id}", [("#{id}", "id", "id", None, None, None), ("#{ id}", " id", " id", None, None, None)]),
        ("#{d, python_type=datetime.date}", [("#{d, python_type=datetime.date}", "d", "d", None, "datetime", None)]),
        ("#{x, type_handler = Json , my_sql_type=INT}", [
            ("#{x, type_handler = Json , my_sql_type=INT}", "x", "x", "INT", None, "Json")]),
        ("#{a\n}", []),
        ("", []),
        ("select 1", []),
        ("$f{f(x)} ${f(x)} #{名字}", [("#{名字}", "名字", "名字", None, None, None),
                                   ("${f(x)}", "<none>", None, None, None, None),
                                   ("$f{f(x)}", "<none>", None, None, None, None)]),
    ],
)
def test_get_sql_param(text, expected):
    assert describe(bindnote.get_sql_param(text)) == expected


def test_function_reference():
    [p] = bindnote.get_sql_param("$f{concat(a, b)}")
    assert p.full_name == "$f{concat(a, b)}"
    assert p.sql_param.is_function is True
    assert p.sql_param.function_expression == "concat(a, b)"
    assert p.sql_param.function_name == "concat"
    assert p.param_name is None and not hasattr(p, "name")
    assert (p.sql_type, p.python_type, p.type_handler) == (None, None, None)
    [p] = bindnote.get_sql_param("$f{ now(1) , sql_type=INT}")
    assert p.sql_param.function_name == " now" and p.sql_type is None


@pytest.mark.parametrize("text", ["#{a, python_type=}", "#{a, sql_type='x'}", "#{a, sql_type=}"])
def test_attribute_without_value_fails_the_whole_scan(text):
    with pytest.raises(AttributeError):
        bindnote.get_sql_param("#{ok} " + text)


def test_get_sql_param_non_string():
    with pytest.raises(TypeError):
        bindnote.get_sql_param(5)


def test_get_params_scans_own_text_and_tail_only():
    root = et.fromstring("<select>#{a} <if test='x'>#{inner}</if> #{b}</select>")
    [child] = list(root)
    assert describe(bindnote.get_params(root)) == [("#{a}", "a", "a", None, None, None)]
    assert [p.full_name for p in bindnote.get_params(child)] == ["#{inner}", "#{b}"]
    ws = et.fromstring("<c>  \n </c>")
    ws.tail = "#{x}"
    assert [p.full_name for p in bindnote.get_params(ws)] == ["#{x}"]
    ws.text, ws.tail = "#{y}", "\u3000"
    assert [p.full_name for p in bindnote.get_params(ws)] == ["#{y}"]


def test_get_params_errors():
    with pytest.raises(AttributeError):
        bindnote.get_params(object())

    class Odd:
        text = 5
        tail = None

    with pytest.raises(TypeError):
        bindnote.get_params(Odd())


def test_descriptor_classes():
    sp = bindnote.SqlParam("id")
    assert str(sp) == "is_function:False ,param_name:id,function_expression:None,function_name:None"
    mp = bindnote.MapperParam(sp, "#{id}")
    assert str(mp) == ("sql_param:is_function:False ,param_name:id,function_expression:None,function_name:None"
                       " ,full_name:#{id},sql_type:None,python_type:None,type_handler:None,param_name:id")
    mp.name = "other"
    assert str(mp).endswith(",param_name:id")
    assert bindnote.SqlParam(None, None, 1, None).is_function is True
    assert list(vars(mp)) == ["sql_param", "full_name", "sql_type", "python_type", "type_handler", "param_name",
                              "name"]
    with pytest.raises(AttributeError):
        bindnote.MapperParam(object())
    with pytest.raises(TypeError, match="expected str, got int"):
        bindnote.SqlParam(param_name=5)
    assert sp != bindnote.SqlParam("id")


def test_sql_param_regex():
    r = bindnote.SqlParamRegex(r"@\{.+?\}", "@")
    assert r.regex.pattern == r"@\{.+?\}" and r.prefix == "@"
    assert r.resolve_param("@{ x, sql_type=INT }").param_name == " x"
    with pytest.raises(regex.error):
        bindnote.SqlParamRegex("(", "#")
    with pytest.raises(TypeError, match="'prefix'"):
        bindnote.SqlParamRegex("x", None)


def test_regex_value():
    assert regex_value(r"(a=\s*)(?P<v>\w+)?", "x a= 12 ", "v") == "12"
    assert regex_value("zzz", "abc", "v") is None
    with pytest.raises(AttributeError):
        regex_value(r"(a=)(?P<v>\w+)?", "a=", "v")


def test_globals_are_read_at_call_time(monkeypatch):
    extra = bindnote.SqlParamRegex(r"@\{.+?\}", "@")
    monkeypatch.setattr(bindnote, "sql_regex_list", [extra])
    assert [p.full_name for p in bindnote.get_sql_param("#{a} @{b}")] == ["@{b}"]
    monkeypatch.undo()

    class Tagged(bindnote.MapperParam):
        pass

    monkeypatch.setattr(bindnote, "MapperParam", Tagged)
    monkeypatch.setitem(vars(bindnote), "__get_regex_value", lambda regex, param, group: group.upper())
    [p] = bindnote.get_sql_param("#{a}")
    assert type(p) is Tagged and (p.sql_type, p.python_type, p.type_handler) == ("SQL_TYPE", "PYTHON_TYPE",
                                                                                  "TYPE_HANDLER")
    monkeypatch.setattr(bindnote, "param_function_regex", regex.compile("a"))
    [p] = bindnote.get_sql_param("#{abc}")
    assert p.sql_param.is_function is True and p.sql_param.function_name == "abc"


def test_resolve_param_override_in_subclass(monkeypatch):
    class Upper(bindnote.SqlParamRegex):
        def resolve_param(self, param):
            return bindnote.SqlParam(param_name=param.upper())

    monkeypatch.setattr(bindnote, "sql_regex_list", [Upper(r"\#\{.+?\}", "#")])
    assert [p.name for p in bindnote.get_sql_param("#{ab}")] == ["#{AB}"]


def test_scan_holds_each_reference_across_resolve_param(child):
    out = child("""
        import gc, types
        from verdin.utils import bindnote

        class Name(str):  # tracked by the collector, so reachable through gc.get_referrers
            pass

        class Pattern:
            def findall(self, text):
                return [Name("#{a}"), Name("#{b}")]

        class Dropping(bindnote.SqlParamRegex):
            def resolve_param(self, param):
                for holder in gc.get_referrers(param):
                    if type(holder) in (list, dict):
                        holder.clear()
                return bindnote.SqlParam(function_expression="f(x)", is_function=True, function_name="f")

        entry = Dropping("x", "#")
        entry.regex = Pattern()
        bindnote.sql_regex_list = [entry]
        bindnote.MapperParam = lambda sql_param, full_name: types.SimpleNamespace(full_name=full_name)
        print([str(p.full_name) for p in bindnote.get_sql_param("text")])
    """)
    assert out == ["['#{a}']"]

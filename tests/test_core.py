"""The native function object and plain classes, seen through the utility modules."""
import inspect
import pickle

import pytest

from verdin.utils import bindnote, cdatakit, clausetrim, kindprobe, snippets

MODULES = [bindnote, cdatakit, clausetrim, kindprobe, snippets]


def public_functions():
    for mod in MODULES:
        for name, obj in vars(mod).items():
            if callable(obj) and getattr(obj, "__module__", None) == mod.__name__ and not isinstance(obj, type):
                yield pytest.param(mod, name, obj, id=f"{mod.__name__.rsplit('.', 1)[1]}.{name}")


@pytest.mark.parametrize("mod, name, func", list(public_functions()))
def test_function_introspection(mod, name, func):
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == mod.__name__
    assert isinstance(func.__annotations__, dict)
    assert all(isinstance(v, str) for v in func.__annotations__.values())
    sig = inspect.signature(func)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert func.__text_signature__ == "(" + ", ".join(
        p.name if p.default is p.empty else f"{p.name}={p.default!r}" for p in sig.parameters.values()
    ) + ")"
    assert repr(func).startswith(f"<function {name} at 0x")


@pytest.mark.parametrize(
    "func, text, annotations",
    [
        (kindprobe.is_container_type_by_str, "(type_str: 'str') -> 'bool'", {"type_str": "str", "return": "bool"}),
        (kindprobe.get_type_from_string, "(type_str: 'str')", {"type_str": "str"}),
        (kindprobe.is_container_type, "(type_obj) -> 'bool'", {"return": "bool"}),
        (kindprobe.get_base_type, "(generic_type)", {}),
        (kindprobe.is_result_class, "(data_type)", {}),
        (bindnote.get_params, "(child)", {}),
        (bindnote.get_sql_param, "(param_text)", {}),
        (vars(bindnote)["__get_regex_value"], "(regex: 'str', param: 'str', group: 'str')",
         {"regex": "str", "param": "str", "group": "str"}),
        (cdatakit.replace_cdata, "(raw_text)", {}),
        (cdatakit.convert_cdata, "(string, reverse=False)", {}),
        (cdatakit.sql_string_format, "(sql_str_value: 'str')", {"sql_str_value": "str"}),
        (cdatakit.param_str, "(param_value)", {}),
        (clausetrim.replace_sql_first, "(string: 'str', prefix_overrides: 'str', replace: 'str')",
         dict.fromkeys(["string", "prefix_overrides", "replace"], "str")),
        (clausetrim.replace_sql_last, "(string: 'str', suffix_overrides: 'str', replace: 'str')",
         dict.fromkeys(["string", "suffix_overrides", "replace"], "str")),
        (snippets.like, "(value)", {}),
        (snippets.time_format, "(date_value, format: 'str' = '%Y-%m-%d %H:%M:%S')", {"format": "str"}),
        (bindnote.SqlParam, "(param_name: 'str' = None, function_expression: 'str' = None, "
         "is_function: 'bool' = False, function_name: 'str' = None)", None),
        (bindnote.MapperParam, "(sql_param: 'SqlParam', full_name: 'str' = None, sql_type: 'str' = None, "
         "python_type: 'str' = None, type_handler: 'str' = None)", None),
        (bindnote.SqlParamRegex, "(regex: 'str', prefix: 'str')", None),
    ],
)
def test_documented_signatures(func, text, annotations):
    assert str(inspect.signature(func)) == text
    if annotations is not None:
        assert func.__annotations__ == annotations


def test_defaults_and_kwdefaults():
    assert cdatakit.convert_cdata.__defaults__ == (False,)
    assert snippets.time_format.__defaults__ == ("%Y-%m-%d %H:%M:%S",)
    assert cdatakit.param_str.__defaults__ is None
    assert cdatakit.param_str.__kwdefaults__ is None
    assert bindnote.SqlParam.__init__.__defaults__ == (None, None, False, None)


@pytest.mark.parametrize("cls", [bindnote.SqlParamRegex, bindnote.SqlParam, bindnote.MapperParam])
def test_plain_classes(cls):
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "verdin.utils.bindnote"
    assert cls.__init__.__qualname__ == f"{cls.__name__}.__init__"
    assert "__init__" in vars(cls)


def test_instances_have_dict_and_subclasses_work():
    p = bindnote.SqlParam("id")
    assert vars(p) == {"is_function": False, "param_name": "id", "function_expression": None,
                       "function_name": None}
    p.extra = 1
    assert p.extra == 1

    class Loud(bindnote.SqlParam):
        def __str__(self):
            return super().__str__().upper()

    assert str(Loud("id")) == "IS_FUNCTION:FALSE ,PARAM_NAME:ID,FUNCTION_EXPRESSION:NONE,FUNCTION_NAME:NONE"
    assert pickle.loads(pickle.dumps(bindnote.SqlParam("x"))).param_name == "x"


def test_methods_bind_like_python_functions():
    p = bindnote.SqlParam("id")
    bound = p.__str__
    assert bound.__self__ is p and bound.__func__ is bindnote.SqlParam.__str__
    assert bindnote.SqlParam.__str__(p) == str(p)
    assert str(inspect.signature(bound)) == "()"
    assert str(inspect.signature(bindnote.SqlParam.__init__)).startswith("(self, param_name: 'str' = None")
    # keyword call of the bound-self parameter, as for a Python function
    assert bindnote.SqlParam.__str__(self=p) == str(p)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cdatakit.param_str(), "param_str() missing 1 required positional argument: 'param_value'"),
        (lambda: cdatakit.param_str(1, 2), "param_str() takes 1 positional argument but 2 were given"),
        (lambda: cdatakit.convert_cdata("a", 1, 2),
         "convert_cdata() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: cdatakit.convert_cdata("a", string="b"), "convert_cdata() got multiple values for argument 'string'"),
        (lambda: cdatakit.convert_cdata("a", nope=1), "convert_cdata() got an unexpected keyword argument 'nope'"),
        (lambda: cdatakit.convert_cdata("a", 1, 2, nope=1),
         "convert_cdata() got an unexpected keyword argument 'nope'"),
        (lambda: clausetrim.replace_sql_first(),
         "replace_sql_first() missing 3 required positional arguments: 'string', 'prefix_overrides', and 'replace'"),
        (lambda: clausetrim.replace_sql_first("a"),
         "replace_sql_first() missing 2 required positional arguments: 'prefix_overrides' and 'replace'"),
        (lambda: bindnote.SqlParam(1, 2, 3, 4, 5),
         "SqlParam.__init__() takes from 1 to 5 positional arguments but 6 were given"),
        (lambda: bindnote.MapperParam(), "MapperParam.__init__() missing 1 required positional argument: 'sql_param'"),
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_keyword_names_compared_by_value():
    # a keyword built at run time is not the interned name object
    key = "".join(["type", "_", "str"])
    assert kindprobe.is_container_type_by_str(**{key: "list"}) is True


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda: cdatakit.sql_string_format(None), "sql_str_value", "str", "NoneType"),
        (lambda: cdatakit.sql_string_format(StrSub("a")), "sql_str_value", "str", "StrSub"),
        (lambda: clausetrim.replace_sql_last("a", b",", ""), "suffix_overrides", "str", "bytes"),
        (lambda: kindprobe.get_type_from_string(1), "type_str", "str", "int"),
        (lambda: bindnote.SqlParam(function_name=[]), "function_name", "str", "list"),
    ],
)
def test_exact_type_checks(call, name, expected, got, arg_type_message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == arg_type_message(name, expected, got)


def test_none_accepted_only_where_default_is_none():
    assert bindnote.SqlParam(None, None).param_name is None
    with pytest.raises(TypeError):
        bindnote.SqlParamRegex(None, "#")


def test_bool_parameters_take_truth_value():
    class Falsy:
        def __bool__(self):
            return False

    assert bindnote.SqlParam(is_function=[1]).is_function is True
    assert bindnote.SqlParam(is_function=Falsy()).is_function is False

    class Broken:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        bindnote.SqlParam(is_function=Broken())


def test_module_globals_in_declared_order():
    names = [k for k in vars(kindprobe) if not k.startswith("__")]
    assert names == ["Container", "Iterable", "builtins", "is_dataclass", "import_module", "get_origin",
                     "List", "BaseModel", "DeclarativeBase", "is_container_type_by_str",
                     "get_type_from_string", "is_container_type", "get_base_type", "is_result_class"]
    names = [k for k in vars(bindnote) if not k.startswith("__") or k == "__get_regex_value"]
    assert names == ["re", "type_mapping", "param_function_regex", "SqlParamRegex", "SqlParam", "MapperParam",
                     "sql_regex_list", "get_params", "get_sql_param", "__get_regex_value"]
    assert [k for k in vars(snippets) if not k.startswith("_")] == [
        "time", "re", "replace_cdata", "convert_cdata", "sql_string_format", "param_str",
        "like", "time_format", "default_fun_dict"]
    import regex

    for mod in (bindnote, cdatakit, clausetrim, snippets):
        assert mod.re is regex
    assert snippets.param_str is cdatakit.param_str


def test_errors_inside_calls_do_not_leak_references():
    import gc

    def run():
        for _ in range(2000):
            try:
                cdatakit.sql_string_format(None)
            except TypeError:
                pass
            try:
                kindprobe.get_type_from_string("nosuchpkg_xyz.Thing")
            except ValueError:
                pass
            cdatakit.param_str("x'y")

    run()
    gc.collect()
    before = len(gc.get_objects())
    run()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


def everything_callable():
    from verdin.db import querydeck, txnfront
    from verdin.mapper import stmtloom

    def native(obj):
        obj = obj.__func__ if isinstance(obj, staticmethod) else obj
        return type(obj).__name__ == "native_function" and obj.__module__ == mod.__name__

    for mod in [*MODULES, stmtloom, querydeck, txnfront]:
        for obj in vars(mod).values():
            if isinstance(obj, type) and obj.__module__ == mod.__name__:
                # a private (mangled) name is not found by its qualified name, as in Python
                private = "_" + obj.__name__ + "__"
                yield from (getattr(obj, k) for k, v in vars(obj).items() if native(v) and not k.startswith(private))
            elif native(obj):
                yield obj


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_functions_pickle_and_copy_by_reference(protocol):
    import copy

    functions = list(everything_callable())
    assert len(functions) > 40
    assert pickle.loads(pickle.dumps(functions, protocol)) == functions
    assert all(a is b for a, b in zip(copy.deepcopy(functions), functions))
    registry = copy.deepcopy(snippets.default_fun_dict)
    assert registry == snippets.default_fun_dict and registry is not snippets.default_fun_dict


def test_functions_reach_a_process_pool():
    import multiprocessing

    with multiprocessing.get_context("spawn").Pool(1) as pool:
        assert pool.map(cdatakit.sql_string_format, ["it's"]) == ["'it''s'"]

import collections
import dataclasses
import datetime
import typing

import pydantic
import pytest
from sqlalchemy.orm import DeclarativeBase

from verdin.utils import kindprobe


class Model(pydantic.BaseModel):
    a: int = 0


@dataclasses.dataclass
class Data:
    a: int = 0


class Base(DeclarativeBase):
    pass


class MyList(list):
    pass


@pytest.mark.parametrize(
    "name, expected",
    [("list", True), ("tuple", True), ("dict", True), ("set", True), ("frozenset", False), ("str", False),
     ("int", False), ("", False), ("Container", False), ("List", False), ("list[dict]", False),
     ("None", False), ("False", False), ("BaseModel", False), ("no such", False)],
)
def test_is_container_type_by_str(name, expected):
    assert kindprobe.is_container_type_by_str(name) is expected


def test_is_container_type_by_str_sees_module_globals(monkeypatch):
    monkeypatch.setattr(kindprobe, "Bag", MyList, raising=False)
    assert kindprobe.is_container_type_by_str("Bag") is True


@pytest.mark.parametrize(
    "name, expected",
    [("int", int), ("dict", dict), ("BaseModel", pydantic.BaseModel), ("DeclarativeBase", DeclarativeBase),
     ("Container", collections.abc.Container), ("datetime.date", datetime.date),
     ("collections.OrderedDict", collections.OrderedDict)],
)
def test_get_type_from_string(name, expected):
    assert kindprobe.get_type_from_string(name) is expected


@pytest.mark.parametrize("name", ["List", "typing.List", "os.path", "list[dict]", "json.dumps", "", "nothing"])
def test_get_type_from_string_unknown(name):
    with pytest.raises(ValueError) as exc:
        kindprobe.get_type_from_string(name)
    assert str(exc.value) == "未知的类型: " + name


@pytest.mark.parametrize(
    "name, cause",
    [("nosuchpkg.Thing", ModuleNotFoundError), ("json.Missing", AttributeError)],
)
def test_get_type_from_string_import_failure(name, cause):
    with pytest.raises(ValueError) as exc:
        kindprobe.get_type_from_string(name)
    context = exc.value.__context__
    assert type(context) is cause
    assert exc.value.__cause__ is None and not exc.value.__suppress_context__
    assert str(exc.value) == f"无法导入类型 {name}: {context}"


def test_get_type_from_string_other_errors_propagate():
    with pytest.raises(ValueError, match="Empty module name"):
        kindprobe.get_type_from_string(".X")
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        kindprobe.get_type_from_string(None)


def test_get_type_from_string_uses_import_module_global(monkeypatch):
    seen = []

    def fake(path):
        seen.append(path)
        return datetime

    monkeypatch.setattr(kindprobe, "import_module", fake)
    assert kindprobe.get_type_from_string("anything.date") is datetime.date
    assert seen == ["anything"]


@pytest.mark.parametrize(
    "obj, expected",
    [(list[dict], True), (typing.List[int], True), (typing.Dict[str, int], True), (dict, True), (MyList, True),
     (Data, False), (frozenset, False), (str, False)],
)
def test_is_container_type(obj, expected):
    assert kindprobe.is_container_type(obj) is expected


@pytest.mark.parametrize("obj", ["dict", None, typing.Optional[int]])
def test_is_container_type_refuses_non_classes(obj):
    with pytest.raises(TypeError):
        kindprobe.is_container_type(obj)


@pytest.mark.parametrize(
    "obj, expected",
    [(list[dict], list), (typing.List[int], list), (dict, dict), (None, None), (typing.Optional[int], typing.Union),
     ("x", "x"), (5, 5)],
)
def test_get_base_type(obj, expected):
    assert kindprobe.get_base_type(obj) == expected


@pytest.mark.parametrize(
    "obj, expected",
    [(Model, True), (Data, True), (Base, True), (pydantic.BaseModel, True), (DeclarativeBase, True),
     (dict, False), (int, False)],
)
def test_is_result_class(obj, expected):
    assert kindprobe.is_result_class(obj) is expected


@pytest.mark.parametrize("obj", [Data(), "Model", None])
def test_is_result_class_refuses_non_classes(obj):
    with pytest.raises(TypeError):
        kindprobe.is_result_class(obj)


def test_is_result_class_follows_issubclass_for_generic_aliases():
    # issubclass() let a types.GenericAlias through before 3.13 and refuses it since
    try:
        expected = issubclass(list[dict], pydantic.BaseModel)
    except TypeError:
        with pytest.raises(TypeError):
            kindprobe.is_result_class(list[dict])
    else:
        assert kindprobe.is_result_class(list[dict]) is expected


def test_is_result_class_reads_globals_at_call_time(monkeypatch):
    monkeypatch.setattr(kindprobe, "is_dataclass", lambda t: t is int)
    assert kindprobe.is_result_class(int) is True
    assert kindprobe.is_result_class(Data) is False

import dataclasses
import typing

import pydantic
import pytest

from verdin.db import txnfront
from verdin.db.txnfront import results_handle


class M(pydantic.BaseModel):
    n: int
    s: str = ""


@dataclasses.dataclass
class D:
    n: int
    s: str = ""


ROWS = [{"n": 5, "s": "a"}, {"n": 7, "s": "b"}]


@pytest.mark.parametrize("return_type", [None, list])
def test_list_of_rows_is_the_same_object(return_type):
    rows = [dict(r) for r in ROWS]
    assert results_handle(rows, dict, return_type) is rows


@pytest.mark.parametrize("cls", [M, D])
@pytest.mark.parametrize("return_type", [None, list, "generic", "typing"])
def test_list_of_objects(cls, return_type):
    rt = {"generic": list[cls], "typing": typing.List[cls]}.get(return_type, return_type)
    out = results_handle(ROWS, cls, rt)
    assert out == [cls(n=5, s="a"), cls(n=7, s="b")]


def test_values_and_single_results():
    assert results_handle(ROWS, int, None) == [5, 7]
    assert results_handle(ROWS, int, int) == 5
    assert results_handle(ROWS, dict, dict) is ROWS[0]
    assert results_handle(ROWS, dict, typing.Dict) is ROWS[0]
    assert results_handle(ROWS, M, dict) == 5
    assert results_handle(ROWS, M, M) == M(n=5, s="a")
    assert results_handle(ROWS, dict, tuple) is ROWS[0]
    assert results_handle(ROWS, int, tuple) == 5


def test_empty_results_skip_every_check():
    rows = []
    assert results_handle(rows, dict, M) is rows
    assert results_handle(rows, list, None) is rows
    t = ()
    assert results_handle(t, None, "anything") is t


@pytest.mark.parametrize("result_type, return_type, message", [
    (dict, list[int], "please check return_result_type: <class 'int'>, resultType: <class 'dict'>"),
    (dict, list[M], f"please check return_result_type: {M}, resultType: <class 'dict'>"),
    (list, dict, "please check return_type: <class 'dict'>, resultType: <class 'list'>"),
    (int, dict, "please check return_type: <class 'dict'>, resultType: <class 'int'>"),
    (dict, M, f"please check return_type: {M}, resultType: <class 'dict'>"),
    (list, None, "please check result type"),
    (typing.List, list, "please check result type"),
    (D, M, f"please check return_type: {M}, resultType: {D}"),
    (set, typing.Dict, "please check return_type: <class 'dict'>, resultType: <class 'set'>"),
])
def test_refused_combinations(result_type, return_type, message):
    with pytest.raises(TypeError) as exc:
        results_handle(ROWS, result_type, return_type)
    assert str(exc.value) == message


def test_errors_from_classification_and_construction():
    with pytest.raises(TypeError, match="issubclass"):
        results_handle(ROWS, dict, "dict")
    with pytest.raises(TypeError):
        results_handle(ROWS, None, dict)
    with pytest.raises(pydantic.ValidationError):
        results_handle([{"n": "not a number"}], M, None)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        results_handle([{"n": 1, "x": 2}], D, None)
    with pytest.raises(TypeError, match=r"argument after \*\* must be a mapping, not NoneType"):
        results_handle([None], D, None)
    with pytest.raises(StopIteration):
        results_handle([{}], int, int)
    with pytest.raises(TypeError):
        results_handle(iter(ROWS), dict, None)


def test_rows_are_copied_and_other_mappings_accepted():
    seen = []

    @dataclasses.dataclass(init=False)
    class Keep:
        def __init__(self, **kw):
            kw["mutated"] = True
            seen.append(kw)

    rows = [{"a": 1}]
    results_handle(rows, Keep, None)
    assert rows == [{"a": 1}] and seen == [{"a": 1, "mutated": True}]
    from types import MappingProxyType

    assert results_handle([MappingProxyType({"n": 3})], D, D) == D(n=3)
    assert results_handle((MappingProxyType({"n": 3, "s": "x"}),), int, None) == [3]


def test_globals_read_at_call_time(monkeypatch):
    monkeypatch.setattr(txnfront, "is_result_class", lambda t: True)
    assert results_handle([{"a": 1}], dict, dict) == {"a": 1}
    assert results_handle([{"n": 2}], D, None) == [D(n=2)]
    monkeypatch.setattr(txnfront, "get_base_type", lambda t: list)
    assert results_handle(ROWS, dict, "whatever") is ROWS


class _AliasClass(type):
    # A metaclass that makes its classes pass for typing's aliases: isinstance() reads __class__.
    @property
    def __class__(cls):
        return typing._GenericAlias


class _AliasMeta(type, typing._GenericAlias, _root=True):
    pass


@pytest.mark.parametrize("meta", [_AliasClass, _AliasMeta], ids=["__class__", "subclass"])
@pytest.mark.parametrize("origin", [list, dict])
@pytest.mark.parametrize("result_type", [M, int, dict])
def test_classes_typing_takes_for_aliases_are_read_as_typing_reads_them(monkeypatch, meta, origin, result_type):
    # Classes skip typing's introspection only where it could say nothing of them; these ones it
    # reads an origin and arguments from, so the answer must be the one typing's functions give.
    from verdin.utils import kindprobe

    alias = meta("Alias", (), {})
    alias.__origin__, alias.__args__ = origin, (M,)

    def handled():
        try:
            return kindprobe.get_base_type(alias), kindprobe.is_container_type(alias), \
                results_handle(ROWS, result_type, alias)
        except (TypeError, ValueError) as exc:
            return type(exc), str(exc)

    fast = handled()
    # through wrappers, which the module does not recognise as typing's own
    monkeypatch.setattr(kindprobe, "get_origin", lambda t: typing.get_origin(t))
    monkeypatch.setattr(txnfront, "get_args", lambda t: typing.get_args(t))
    assert fast == handled()

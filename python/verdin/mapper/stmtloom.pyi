import os
import re as re
import xml.etree.ElementTree as et
from collections.abc import Callable, Iterable, KeysView, Mapping
from typing import Any

from sqlalchemy import TextClause as TextClause, text as text

from verdin.utils.kindprobe import (
    get_type_from_string as get_type_from_string,
    is_container_type_by_str as is_container_type_by_str,
)

sql_id_type_list: list[str]
param_pattern: re.Pattern[str]
replace_pattern: re.Pattern[str]
# What the facade's execute_many calls: a set's finished text, and the clause of a finished text.
__bulk__: tuple[Callable[..., Any], Callable[..., Any]]

class ParseMapper:
    id_2_element_map: dict[str, et.Element]
    result_type_map: dict[str, type]
    sql_type_map: dict[str, str]
    namespace: str
    def __init__(self, xml_path: str | None = None, *, dialect: str | None = None, strict: bool = False) -> None: ...
    def get_sql(
        self, sql_id: str, params: dict[str, Any] | None = None
    ) -> tuple[TextClause, dict[str, Any], str, type]: ...
    def list_statement(self) -> KeysView[str]: ...
    @staticmethod
    def _trim_prefix(s: str, prefixes: set[str]) -> str: ...
    @staticmethod
    def _trim_suffix(s: str, suffixes: set[str]) -> str: ...
    def parse_element(self, element: et.Element, param: dict[str, Any]) -> str | None: ...
    @staticmethod
    def _format_sql(sql: str) -> str: ...
    @staticmethod
    def to_prepared_statement(ret: str, param: Mapping[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    @staticmethod
    def to_replace(ret: str, param: Mapping[str, str]) -> str: ...
    def select(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def update(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def delete(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def insert(
        self, id: str, params: dict[str, Any], primary_key: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]: ...

def load_mappers(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    dialect: str | None = None,
    strict: bool = False,
) -> dict[str, ParseMapper]: ...

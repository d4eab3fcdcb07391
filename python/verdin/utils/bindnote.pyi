from typing import Any

import regex as re

type_mapping: dict[str, list[str]]
param_function_regex: re.Pattern[str]

class SqlParamRegex:
    regex: re.Pattern[str]
    prefix: str
    def __init__(self, regex: str, prefix: str) -> None: ...
    def resolve_param(self, param: str) -> SqlParam: ...

class SqlParam:
    is_function: bool
    param_name: str | None
    function_expression: str | None
    function_name: str | None
    def __init__(
        self,
        param_name: str | None = None,
        function_expression: str | None = None,
        is_function: object = False,
        function_name: str | None = None,
    ) -> None: ...

class MapperParam:
    sql_param: Any
    full_name: str | None
    sql_type: str | None
    python_type: str | None
    type_handler: str | None
    param_name: str | None
    name: str | None
    def __init__(
        self,
        sql_param: Any,
        full_name: str | None = None,
        sql_type: str | None = None,
        python_type: str | None = None,
        type_handler: str | None = None,
    ) -> None: ...

sql_regex_list: list[SqlParamRegex]

def get_params(child: Any) -> list[MapperParam]: ...
def get_sql_param(param_text: str) -> list[MapperParam]: ...
def __get_regex_value(regex: str, param: str, group: str) -> str | None: ...

import time as time
from typing import Callable

import regex as re

from verdin.utils.cdatakit import (
    convert_cdata as convert_cdata,
    param_str as param_str,
    replace_cdata as replace_cdata,
    sql_string_format as sql_string_format,
)

def like(value: str) -> str: ...
def time_format(date_value: time.struct_time | tuple[int, ...], format: str = "%Y-%m-%d %H:%M:%S") -> str: ...

default_fun_dict: dict[str, Callable[..., str]]

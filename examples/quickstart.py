"""A first look at verdin's text utilities."""
import time

from verdin.utils.bindnote import get_sql_param
from verdin.utils.cdatakit import convert_cdata, param_str, replace_cdata
from verdin.utils.clausetrim import replace_sql_first
from verdin.utils.kindprobe import get_type_from_string
from verdin.utils.snippets import default_fun_dict

sql = "select * from t where id = #{id, sql_type=INTEGER} and day = #{day, python_type=date}"
for p in get_sql_param(sql):
    print(p.name, p.sql_type, p.python_type)

print(replace_cdata("where a <![CDATA[ < ]]> 1"))
print(convert_cdata("a &lt; b"))
print(param_str("it's"), param_str(None), param_str(42))
print(replace_sql_first("and a = 1", "AND |OR ", "WHERE "))
print(get_type_from_string("datetime.date"))
print(default_fun_dict["time_format"](time.localtime(0), "%Y"))

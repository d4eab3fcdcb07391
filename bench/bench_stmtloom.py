"""Statement assembly: ParseMapper.get_sql against sqlalchemy.text() on the final SQL alone.

get_sql returns a new TextClause on every call; for a text it has produced before, that clause is
a copy of the one parsed the first time, so a repeated statement costs less than text() itself.

Run: python bench/bench_stmtloom.py
"""
import os
import tempfile

from sqlalchemy import text

from _common import best_pair
from verdin.mapper.stmtloom import ParseMapper

IFS = "\n".join(f'<if test="params.get(\'p{i}\') is not None">and c{i} = #{{p{i}}}</if>' for i in range(10))

MAPPER = f"""<mapper namespace="bench">
  <select id="static">select id, name, email from users where status = 'active' order by id</select>
  <select id="find">
    select * from user
    <where>
      <if test="params.get('name') is not None">
        and name = #{{name}}
      </if>
      <if test="params.get('ids')">
        <foreach item="i" collection="ids" open="and id in (" close=")" separator=",">#{{i}}</foreach>
      </if>
    </where>
  </select>
  <select id="ifs">select * from t <where>{IFS}</where></select>
  <select id="foreach">select * from t where id in
    <foreach item="i" collection="ids" open="(" close=")" separator=",">#{{i}}</foreach>
  </select>
  <select id="choose">select * from t where
    <choose>
      <when test="params.get('a') == 1">a = #{{a}}</when>
      <when test="params.get('b') == 2">b = #{{b}}</when>
      <otherwise>1 = 1</otherwise>
    </choose>
  </select>
  <update id="set">update t
    <set>
      <if test="params.get('name')">, name = #{{name}}</if>
      <if test="params.get('age')">, age = #{{age}}</if>
    </set>
    where id = #{{id}}
  </update>
  <select id="trim">select * from t
    <trim prefix="WHERE" prefixOverrides="AND |OR ">
      <if test="params.get('a')">AND a = #{{a}}</if>
      <if test="params.get('b')">OR b = #{{b}}</if>
    </trim>
  </select>
  <sql id="cols">id, name, email, status</sql>
  <select id="include">select <include refid="cols"/> from users where id = #{{id}}</select>
</mapper>
"""

CASES = [
    ("static", "static", {}),
    ("find", "find", {"name": "bob", "ids": [1, 2]}),
    ("10 if tests", "ifs", {f"p{i}": i for i in range(10)}),
    ("foreach 100", "foreach", {"ids": list(range(100))}),
    ("foreach 1000", "foreach", {"ids": list(range(1000))}),
    ("choose", "choose", {"b": 2}),
    ("set", "set", {"name": "n", "age": 3, "id": 1}),
    ("trim", "trim", {"a": 1, "b": 2}),
    ("include", "include", {"id": 7}),
]




def main():
    with tempfile.NamedTemporaryFile("w", suffix=".xml", delete=False) as f:
        f.write(MAPPER)
    try:
        mapper = ParseMapper(f.name)
    finally:
        os.unlink(f.name)
    print(f"{'statement':<14}{'get_sql µs':>12}{'text() µs':>12}{'ratio':>8}")
    for label, sql_id, params in CASES:
        final = mapper.get_sql(sql_id, params)[0].text
        number = 200 if "1000" in label else 2000
        ours, floor = best_pair(lambda: mapper.get_sql(sql_id, params), lambda: text(final), number)
        print(f"{label:<14}{ours * 1e6:>12.2f}{floor * 1e6:>12.2f}{ours / floor:>8.2f}")


if __name__ == "__main__":
    main()

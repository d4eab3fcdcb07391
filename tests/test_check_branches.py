"""python -m verdin check over every branch: warnings without a database, and --db, where the
database prepares each variant of each statement without running it."""

from verdin.__main__ import main

FAULTY = """<mapper namespace="n">
<sql id="cols">id, name</sql>
<select id="find">select <include refid="cols"/> from {t}
  <where>
    <if test="params.get('name')">and nmae = #{{name}}</if>
    <if test="params.get('ids')">and id in <foreach item="i" collection="ids" open="(" close=")" separator=",">#{{i}}</foreach></if>
  </where>
  <choose><when test="params.get('order') == 'n'">order by n</when><otherwise>order by idd</otherwise></choose>
</select>
<delete id="purge">delete from {t} <where><if test="params.get('n')">and n = #{{n}}</if> <if test="params.get('old')">and agee &gt; 1</if></where></delete>
<update id="fix">update {t} <set><if test="'name' in params">, name = #{{name}}</if>, n = #{{n}}</set> where id = #{{id}}</update>
<insert id="add">insert into {t} (name, n) values <foreach item="r" collection="rows" open="" close="" separator=",">(#{{r}}, 1)</foreach></insert>
</mapper>
"""


def run_check(capsys, *args):
    status = main(["check", *map(str, args)])
    return status, capsys.readouterr().out.splitlines()


def test_every_branch_is_prepared_by_the_database_and_nothing_is_written(tmp_path, capsys, db_url, engine, table, fresh):
    with engine.begin() as conn:
        conn.exec_driver_sql(f"insert into {table} (name, n) values ('a', 1), ('b', 2)")
    path = tmp_path / "m.xml"
    path.write_text(FAULTY.format(t=table))
    status, out = run_check(capsys, "--db", db_url, path)
    # Each fault sits in a branch that a call with no parameters never takes.
    assert status == 1 and [line.split("]: ")[0] for line in out[:3]] == [
        f"{path}: find [if params.get('name'): true", f"{path}: find [choose: otherwise",
        f"{path}: purge [if params.get('old'): true"]
    assert [column in line for column, line in zip(["nmae", "idd", "agee"], out)] == [True] * 3
    warning = f"{path}: add: warning: <foreach collection='rows'> with an empty list leaves 'values' followed by nothing"
    name = engine.dialect.name
    assert out[3:] == [warning, f"3 problems in 1 of 1 file, 5 statements, 9 variants prepared by {name}, 1 warning"]
    assert fresh(f"select name, n from {table} order by id") == [("a", 1), ("b", 2)]
    path.write_text(FAULTY.format(t=table).replace("nmae", "name").replace("idd", "id").replace("agee", "n"))
    assert run_check(capsys, "--db", db_url, path) == (
        0, [warning, f"checked 1 file, 5 statements, 9 variants prepared by {name}: no problems, 1 warning"])
    assert fresh(f"select name, n from {table} order by id") == [("a", 1), ("b", 2)]


def test_a_bind_inside_quotes_fails_where_the_database_says_so(tmp_path, capsys, db_url, table):
    path = tmp_path / "m.xml"
    path.write_text(f'<mapper namespace="n"><select id="s">select id from {table} where name like \'%#{{q}}%\''
                    '</select></mapper>')
    status, out = run_check(capsys, "--db", db_url, path)
    # MariaDB's driver pastes the value in, and the adjacent literals run as one: only a warning there.
    assert out[-2] == f"{path}: s: warning: #{{q}} inside a quoted literal binds nothing: the database reads it as text"
    assert status == (0 if "mysql" in db_url else 1)


WARNED = """<mapper namespace="w">
<select id="names">select * from t <where>
  <if test="status != None and all(x > 0 for x in params['ids'])">and status = #{status}</if>
  <foreach item="r" collection="rows" open="and (" close=")" separator=" or "><if test="r and (lambda v: v)(n)">a = #{r}</if></foreach>
  <if test="params.get('ids')">and id in <foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}</foreach></if>
  and kind in <foreach item="k" collection="kinds" open="(" close=")" separator=",">#{k}</foreach>
</where></select>
<select id="like">select * from t where a like '%#{q}%' or b = '${b}' -- '#{c}'
  and c = "#{d}"</select>
<delete id="purge">delete from t where <foreach item="i" collection="ids" open="" close="" separator=" or ">id = #{i}</foreach></delete>
<select id="clean">select * from t where id = #{id}</select>
</mapper>
"""


def test_warnings_need_no_database_and_fail_only_when_strict(tmp_path, capsys):
    path = tmp_path / "w.xml"
    path.write_text(WARNED)
    lines = [f"{path}: {line}" for line in [
        "names: warning: the test expression \"status != None and all(x > 0 for x in params['ids'])\" of <if> reads "
        "the name 'status', which a test does not see (NameError when it runs): write params.get('status')",
        "names: warning: the test expression 'r and (lambda v: v)(n)' of <if> reads the name 'n', which a test does "
        "not see (NameError when it runs): write params.get('n')",
        "names: warning: <foreach collection='kinds'> with an empty list leaves in ()",
        "like: warning: #{q} inside a quoted literal binds nothing: the database reads it as text",
        "like: warning: ${b} inside a quoted literal pastes its value into the literal unquoted",
        "like: warning: #{d} inside a quoted literal binds nothing: the database reads it as text",
        "purge: warning: <foreach collection='ids'> with an empty list leaves 'where' followed by nothing",
    ]]
    assert run_check(capsys, path) == (0, lines + ["checked 1 file, 4 statements: no problems, 7 warnings"])
    assert run_check(capsys, "--strict", path) == (1, lines + ["7 problems in 1 of 1 file, 4 statements"])


DIALECTS = """<mapper namespace="d">
<select id="s">select id from {t} <if test="dialect == 'postgresql'">where id::text = '1'</if>
  <if test="not dialect in ('postgresql',)">where id = 1</if> <if test="params.get('n')">and n = #{{n}}</if></select>
<select id="v" dialect="postgresql">select id::text from {t}</select>
<select id="v">select id from {t}</select>
</mapper>
"""


def test_branches_of_the_dialect_only(tmp_path, capsys, db_url, engine, table):
    path = tmp_path / "d.xml"
    path.write_text(DIALECTS.format(t=table))
    # A test of `dialect` alone is decided for the database; PostgreSQL's casts never reach the others.
    assert run_check(capsys, "--db", db_url, path) == (
        0, [f"checked 1 file, 3 statements, 3 variants prepared by {engine.dialect.name}: no problems"])

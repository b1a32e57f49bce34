#!/usr/bin/env bash
# The live SQL Server suite: slotsync against a real server, in scratch
# databases that it creates, seeds with the application's tables, and drops
# again at the end. See tests/live/README.md.
#
#   SLOTSYNC_TEST_SERVER=db01 SLOTSYNC_TEST_USER=sa SLOTSYNC_TEST_PASSWORD=... \
#     scripts/test-live.sh
#
# Without those three variables it does nothing and says so. It runs every
# check once per SQL Server driver installed: Microsoft's ODBC Driver 18 (or
# 17) and FreeTDS, when both are there. SLOTSYNC_ODBC_DRIVER names the one
# driver to use instead. SLOTSYNC_BUILD_DIR chooses the build directory
# (default build/live); the two programs it needs are built there first.
set -Eeuo pipefail

missing=()
for variable in SLOTSYNC_TEST_SERVER SLOTSYNC_TEST_USER SLOTSYNC_TEST_PASSWORD; do
  [[ -n "${!variable:-}" ]] || missing+=("$variable")
done
if ((${#missing[@]})); then
  echo "skipped: the live SQL Server suite needs SLOTSYNC_TEST_SERVER, SLOTSYNC_TEST_USER" \
    "and SLOTSYNC_TEST_PASSWORD (not set: ${missing[*]})"
  exit 0
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SLOTSYNC_BUILD_DIR:-$root/build/live}
server=$SLOTSYNC_TEST_SERVER
user=$SLOTSYNC_TEST_USER
# Both programs read the password from here; it never appears on a command line.
export SLOTSYNC_PASSWORD=$SLOTSYNC_TEST_PASSWORD
# slotsync prints in the terminal's code set; the checks compare UTF-8.
export LC_ALL=C.UTF-8
slotsync=$build/cli/slotsync
live_sql=$build/tests/live/live_sql

# The first call builds, picks the drivers and calls itself once for each,
# with SLOTSYNC_LIVE_DRIVER_PASS set; each of those runs every check.
if [[ -z "${SLOTSYNC_LIVE_DRIVER_PASS:-}" ]]; then
  echo "== building slotsync and live_sql in $build"
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSLOTSYNC_BUILD_BENCHMARKS=OFF >/dev/null
  fi
  cmake --build "$build" --target slotsync_cmd live_sql -j"$(nproc)" >/dev/null

  drivers=()
  if [[ -n "${SLOTSYNC_ODBC_DRIVER:-}" ]]; then
    drivers=("$SLOTSYNC_ODBC_DRIVER")
  else
    installed=$("$live_sql" --drivers)
    for candidate in "ODBC Driver 18 for SQL Server" "ODBC Driver 17 for SQL Server"; do
      if grep -qixF -- "$candidate" <<<"$installed"; then
        drivers+=("$candidate")
        break
      fi
    done
    if grep -qixF -- FreeTDS <<<"$installed"; then drivers+=(FreeTDS); fi
  fi
  if ((${#drivers[@]} == 0)); then
    echo "FAILED: no SQL Server ODBC driver is installed (Debian's tdsodbc for FreeTDS, or" \
      "Microsoft's ODBC Driver 18 for SQL Server); SLOTSYNC_ODBC_DRIVER names another"
    exit 1
  fi
  results=()
  status=0
  for driver in "${drivers[@]}"; do
    echo
    echo "=== driver: $driver"
    if SLOTSYNC_LIVE_DRIVER_PASS=1 SLOTSYNC_ODBC_DRIVER=$driver bash "${BASH_SOURCE[0]}"; then
      results+=("passed with $driver")
    else
      results+=("FAILED with $driver")
      status=1
    fi
  done
  echo
  printf 'live suite: %s\n' "${results[@]}"
  exit "$status"
fi

stamp="$(date +%Y%m%d%H%M%S)_$$"
databases=() # the scratch databases this pass created, dropped at the end
logins=()    # the scratch logins this pass created, dropped at the end
db=""        # the one the checks work on
holder=""    # a second session holding a lock, while it runs
work=$(mktemp -d)
failures=0

# Runs the batches on standard input (separated by GO lines) in database $1;
# --keep-going as $2 goes on after a failing batch.
sql() {
  "$live_sql" --server "$server" --database "$1" --user "$user" ${2:+"$2"}
}

cleanup() {
  if [[ -n "$holder" ]]; then
    kill "$holder" 2>/dev/null || true
    wait "$holder" 2>/dev/null || true
  fi
  local name
  for name in "${databases[@]}"; do
    echo "== dropping $name"
    printf '%s\nGO\n%s\n' \
      "ALTER DATABASE [$name] SET SINGLE_USER WITH ROLLBACK IMMEDIATE" \
      "DROP DATABASE [$name]" | sql master ||
      echo "warning: could not drop the scratch database $name; drop it by hand" >&2
  done
  for name in "${logins[@]}"; do
    echo "DROP LOGIN [$name]" | sql master ||
      echo "warning: could not drop the scratch login $name; drop it by hand" >&2
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "live suite: the command at line $LINENO failed" >&2; trap - ERR' ERR

# check NAME EXPECTED ACTUAL
check() {
  if [[ "$2" == "$3" ]]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /' || true
    failures=$((failures + 1))
  fi
}

# check_contains NAME NEEDLE HAYSTACK
check_contains() {
  if [[ "$3" == *"$2"* ]]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: no \"$2\" in:"
    printf '%s\n' "$3" | sed 's/^/    /'
    failures=$((failures + 1))
  fi
}

# fail NAME WHY: a check whose premise did not hold.
fail() {
  echo "FAILED: $1: $2"
  failures=$((failures + 1))
}

# Runs slotsync on the scratch database; sets run_out, run_err, run_exit.
run_slotsync() {
  run_exit=0
  "$slotsync" --server "$server" --database "$db" --user "$user" --yes "$@" \
    >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
  run_out=$(cat "$work/out")
  run_err=$(cat "$work/err")
}

# A column list as one line: "A,B,C".
columns_of() {
  sql "$db" <<SQL
SELECT ISNULL(STUFF((SELECT ',' + name FROM sys.columns WHERE object_id = OBJECT_ID('$1')
  ORDER BY column_id FOR XML PATH('')), 1, 1, ''), '(no table)')
SQL
}

# Everything a run may change, for comparing before and after: every table
# with its columns, its indexes, its row count and a checksum of its rows; the
# detail rows, the flags and the trigger procedure's calls. The names the
# server makes up for an unnamed primary key differ from one database to the
# next and are left out, so that two databases compare too.
snapshot() {
  sql "$db" <<'SQL'
SELECT t.name, ISNULL(STUFF((SELECT ',' + c.name FROM sys.columns c
  WHERE c.object_id = t.object_id ORDER BY c.column_id FOR XML PATH('')), 1, 1, ''), '')
FROM sys.tables t ORDER BY t.name
GO
SELECT OBJECT_NAME(i.object_id), CASE WHEN i.name LIKE 'PK[_][_]%' THEN 'PK__' ELSE i.name END,
  i.type_desc, i.is_primary_key,
  ISNULL(STUFF((SELECT ',' + c.name FROM sys.index_columns k JOIN sys.columns c
    ON c.object_id = k.object_id AND c.column_id = k.column_id
    WHERE k.object_id = i.object_id AND k.index_id = i.index_id AND k.key_ordinal > 0
    ORDER BY k.key_ordinal FOR XML PATH('')), 1, 1, ''), '')
FROM sys.indexes i JOIN sys.tables t ON t.object_id = i.object_id
WHERE i.name IS NOT NULL ORDER BY 1, 2
GO
SET NOCOUNT ON
DECLARE @counts TABLE (TableName sysname NOT NULL, RowsHeld int NOT NULL, RowsChecksum int NULL)
DECLARE @name sysname, @id int, @columns nvarchar(max), @statement nvarchar(max)
DECLARE tables_ CURSOR LOCAL FAST_FORWARD FOR SELECT name, object_id FROM sys.tables
OPEN tables_
FETCH NEXT FROM tables_ INTO @name, @id
WHILE @@FETCH_STATUS = 0
BEGIN
  -- Identity values are used up by a rolled-back insert too: left out.
  SET @columns = STUFF((SELECT ',' + QUOTENAME(name) FROM sys.columns
    WHERE object_id = @id AND is_identity = 0 ORDER BY column_id FOR XML PATH('')), 1, 1, '')
  SET @statement = N'SELECT ' + QUOTENAME(@name, '''') + N', COUNT(*), '
    + N'CHECKSUM_AGG(BINARY_CHECKSUM(' + ISNULL(@columns, N'0') + N')) FROM dbo.'
    + QUOTENAME(@name)
  INSERT INTO @counts EXEC (@statement)
  FETCH NEXT FROM tables_ INTO @name, @id
END
CLOSE tables_
DEALLOCATE tables_
SELECT TableName, RowsHeld, RowsChecksum FROM @counts ORDER BY TableName
GO
SELECT DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, COL_LENGTH('StockDetail', 'x_4'),
  CONVERT(varchar(20), Price), CONVERT(varchar(20), Amount), Memo, SizeIndex, SizeStr
FROM StockDetail ORDER BY DetailID
GO
SELECT TableTag, Modified, FixedField, FixedFieldKind FROM S_Modify ORDER BY TableTag
GO
SELECT TableTag FROM TriggerCalls ORDER BY CallNo
SQL
}

# Seeds the application's tables in the current database.
seed() {
  sql "$db" <<'SQL'
CREATE TABLE SizeGroup (SizeGroupID int NOT NULL PRIMARY KEY, GroupName varchar(20) NULL)
GO
CREATE TABLE SizeGroupSize (SizeGroupID int NOT NULL, SizeIndex int NOT NULL,
  SizeName varchar(10) NULL, PRIMARY KEY (SizeGroupID, SizeIndex))
GO
CREATE TABLE Size (SizeID int NOT NULL PRIMARY KEY, SizeName varchar(10) NULL)
GO
-- Two groups of 3 and 4 sizes: N = 4. A size of group 9, which has no
-- SizeGroup row, does not count.
INSERT INTO SizeGroup VALUES (1, 'Shoes'), (2, 'Shirts')
INSERT INTO SizeGroupSize VALUES (1, 1, '38'), (1, 2, '39'), (1, 3, '40'),
  (2, 1, 'S'), (2, 2, 'M'), (2, 3, 'L'), (2, 4, 'XL'),
  (9, 1, 'a'), (9, 2, 'b'), (9, 3, 'c'), (9, 4, 'd'), (9, 5, 'e'), (9, 6, 'f')
INSERT INTO Size VALUES (1, 'S')
GO
-- The reference table has 3 slot columns, so the run has work to do.
CREATE TABLE StockDetailTemp (ID int NULL, x_1 int NULL, x_2 int NULL, x_3 int NULL)
GO
CREATE TABLE Parameter (ID int NULL, VersionNo varchar(20) NULL)
INSERT INTO Parameter VALUES (1, '9.1')
GO
CREATE TABLE TriggerCalls (CallNo int IDENTITY(1,1) NOT NULL, TableTag int NOT NULL)
GO
CREATE PROCEDURE CreateInvoiceDetailTrigger @TableTag int AS
  INSERT INTO TriggerCalls (TableTag) VALUES (@TableTag)
GO
CREATE TABLE S_Modify (TableTag int NOT NULL PRIMARY KEY, TableName varchar(50) NULL,
  KeyField varchar(100) NULL, CreateField varchar(500) NULL, FieldKind varchar(500) NULL,
  FixedField varchar(500) NULL, FixedFieldKind varchar(500) NULL, FieldFrom int NULL,
  CanCreateFlag int NULL, Modified int NULL)
GO
INSERT INTO S_Modify VALUES
  (10, 'StockDetail', 'DetailID', 'Price;Amount;', 'Money;Money;', NULL, NULL, 2, 1, 1),
  (20, 'OtherDetail', 'OtherID', 'Price;', 'Money;', NULL, NULL, 0, 0, 1),
  (101, 'TermCount', NULL, 'Amount;', 'Money;', 'GoodsCode;Qty;', 'Varchar(20);Int;', NULL, 1, 1),
  (600, 'TermReport', NULL, 'Amount;', 'Money;', 'GoodsCode;', 'Varchar(20);', NULL, 1, 1)
GO
CREATE TABLE DataDictionary (TableID int NOT NULL PRIMARY KEY, TableTag int NOT NULL,
  TableName varchar(50) NULL, FieldName varchar(50) NULL)
INSERT INTO DataDictionary VALUES (1, 10, 'StockBill', NULL), (2, 20, 'OtherBill', NULL),
  (3, 101, 'TermCount', 'ID'), (4, 600, 'TermReport', 'ReportID')
GO
CREATE TABLE DataDictReportContent (ID int NOT NULL PRIMARY KEY, TableID int NOT NULL,
  Type varchar(20) NULL)
INSERT INTO DataDictReportContent VALUES (1, 4, 'T1'), (2, 4, 'T2')
GO
-- The bill table whose first two columns the detail table carries over.
CREATE TABLE StockBill (BillID varchar(20) NULL, StoreCode varchar(20) NULL,
  ClerkCode varchar(20) NULL)
GO
-- The detail table, with its rows and their size texts of 3 parts.
CREATE TABLE StockDetail (DetailID varchar(40) NOT NULL PRIMARY KEY, IndexNo int NULL,
  BillID varchar(20) NULL, StoreCode varchar(20) NULL, x_1 int NULL, x_2 int NULL,
  x_3 int NULL, Price money NULL, Amount money NULL, Memo varchar(30) NULL,
  SizeIndex int NULL, SizeStr varchar(100) NULL)
INSERT INTO StockDetail VALUES
  ('D1', 1, 'B1', 'S1', 1, 2, 3, 10.5, 63, N'备注一', 1, '1.2.3'),
  ('D2', 2, 'B1', 'S1', NULL, 5, 0, 8, 40, NULL, 2, '0.5.0'),
  ('D3', 3, 'B2', 'S2', 4, NULL, NULL, NULL, NULL, 'plain', NULL, NULL)
GO
-- A companion with a row of the old shape: it must come back empty.
CREATE TABLE StockDetail_U (DetailID varchar(40) NOT NULL PRIMARY KEY, x_1 int NULL)
INSERT INTO StockDetail_U VALUES ('U1', 1)
GO
-- A per-terminal table with a row: it must come back empty.
CREATE TABLE TermCount (ID int IDENTITY(1,1) NOT NULL, TerminalName varchar(40) NULL,
  GoodsCode varchar(20) NULL, Qty int NULL, x_1 int NULL, x_2 int NULL, x_3 int NULL,
  Amount money NULL)
INSERT INTO TermCount (TerminalName, GoodsCode, Qty) VALUES ('POS1', 'G1', 2)
GO
-- Rebuildable but not flagged (CanCreateFlag 0): left alone.
CREATE TABLE OtherDetail (OtherID varchar(40) NOT NULL, x_1 int NULL, x_2 int NULL,
  x_3 int NULL)
INSERT INTO OtherDetail VALUES ('O1', 1, 1, 1)
SQL
}

# new_database NAME [COLLATION]: creates a scratch database, seeds it, and
# makes it the one the checks work on.
new_database() {
  local collation=${2:-Chinese_PRC_CI_AS}
  db="slotsync_live_${stamp}_$1"
  echo "== creating $db on $server ($collation)"
  printf 'CREATE DATABASE [%s] COLLATE %s\n' "$db" "$collation" | sql master
  databases+=("$db")
  seed
}

# hold_lock SECONDS [STATEMENT]: a second session takes an exclusive lock on
# StockDetail, runs STATEMENT under it, keeps it for SECONDS and commits.
# Returns once the server shows the lock granted; fails when it never does.
hold_lock() {
  sql "$db" >"$work/holder" 2>&1 <<SQL &
SET NOCOUNT ON
BEGIN TRANSACTION
DECLARE @rows int
SELECT @rows = COUNT(*) FROM StockDetail WITH (TABLOCKX, HOLDLOCK)
${2:-}
WAITFOR DELAY '00:00:$(printf %02d "$1")'
COMMIT
SQL
  holder=$!
  local tries granted
  for ((tries = 0; tries < 100; tries++)); do
    granted=$(sql "$db" <<'SQL' || true
SELECT COUNT(*) FROM sys.dm_tran_locks WHERE resource_database_id = DB_ID()
  AND resource_type = 'OBJECT' AND resource_associated_entity_id = OBJECT_ID('StockDetail')
  AND request_mode = 'X' AND request_status = 'GRANT' AND request_session_id <> @@SPID
SQL
)
    if [[ "$granted" =~ ^[1-9] ]]; then return 0; fi
    # The session may have failed before it got the lock.
    if ! kill -0 "$holder" 2>/dev/null; then return 1; fi
    sleep 0.2
  done
  return 1
}

# Waits for the session of hold_lock to end; sets holder_exit.
release_lock() {
  holder_exit=0
  wait "$holder" || holder_exit=$?
  holder=""
}

new_database main
# The precondition read asks the session whether its connection is
# encrypted; slotsync's default asks every driver to encrypt, and the server
# must answer TRUE (NULL would leave the run's check judging nothing).
check "CONNECTIONPROPERTY('encrypt_option') of slotsync's connection" "TRUE" \
  "$(printf "%s\n" "Select Convert(NVarchar(40),CONNECTIONPROPERTY('encrypt_option'))" | sql "$db")"
echo "== 1. a plan reads what a run would do, and changes nothing"
before=$(snapshot)
run_slotsync --plan
check "plan exit code" 0 "$run_exit"
check_contains "plan summary" \
  "plan: N=4, StockDetailTemp has 3 slot columns; 3 of 3 flagged tables would be rebuilt" \
  "$run_out"
check "the plan leaves every table and flag as before" "$before" "$(snapshot)"
# What the plan reads of the server and says before any lock: its version,
# the room from the catalog, the log held while the run is open, the change
# rows the rebuild empties, the other sessions and the database's DDL
# triggers.
check_contains "the plan states the server's version" "note: server: " "$run_out"
check_contains "the plan counts the room from the catalog" "note: space: the run will log about" \
  "$run_out"
check_contains "the plan says the log is held while the run is open" "the log now waits for" \
  "$run_out"
check_contains "the plan names the change rows it empties" \
  "the rebuild empties StockDetail_U (1 row)" "$run_out"
printf '%s\n' "CREATE TRIGGER slotsync_live_ddl ON DATABASE FOR DROP_TABLE AS PRINT 'dropped'" |
  sql "$db"
printf '%s\n' "WAITFOR DELAY '00:00:08'" | sql "$db" >/dev/null 2>&1 &
waiter=$!
sleep 2
run_slotsync --plan
wait "$waiter" || true
printf '%s\n' "DROP TRIGGER slotsync_live_ddl ON DATABASE" | sql "$db"
check_contains "the plan names the database's DDL triggers" \
  "database DDL triggers fire on the run's statements: slotsync_live_ddl" "$run_out"
check_contains "the plan counts the other sessions in the database" \
  "connected to the database now (" "$run_out"
run_slotsync --plan --json
check "plan --json exit code" 0 "$run_exit"
# outcome, exit code and the tables' TableTags, read by a JSON parser.
if command -v python3 >/dev/null; then
  parsed=$(python3 -c 'import json, sys
d = json.load(sys.stdin)
print(d["outcome"], d["exitCode"], ",".join(str(t) for t in sorted(x["tableTag"] for x in d["tables"])))' \
    <<<"$run_out" 2>&1) || true
  check "plan --json parses: planned, exit 0, the 3 flagged tables" "planned 0 10,101,600" "$parsed"
elif command -v jq >/dev/null; then
  parsed=$(jq -r '"\(.outcome) \(.exitCode) \([.tables[].tableTag] | sort | map(tostring) | join(","))"' \
    <<<"$run_out" 2>&1) || true
  check "plan --json parses: planned, exit 0, the 3 flagged tables" "planned 0 10,101,600" "$parsed"
else
  echo "skipped: parsing the plan's JSON (neither python3 nor jq is installed)"
fi
rm -f "$work/plan.sql"
run_slotsync --plan --script "$work/plan.sql"
check "plan --script exit code" 0 "$run_exit"
script_text=$(cat "$work/plan.sql" 2>/dev/null || true)
check_contains "the script opens a transaction" "BEGIN TRANSACTION" "$script_text"
check_contains "the script rebuilds the detail table" "Insert into dbo.Tmp_StockDetail(" "$script_text"
check_contains "the script calls the trigger procedure" "Exec CreateInvoiceDetailTrigger 10" \
  "$script_text"
check_contains "the script commits" "COMMIT" "$script_text"
check "the plan with a script leaves every table and flag as before" "$before" "$(snapshot)"

echo "== 2. a dry run changes nothing"
before=$(snapshot)
run_slotsync --dry-run
check "dry run exit code" 0 "$run_exit"
check_contains "dry run summary" \
  "dry run: N=4, StockDetailTemp has 3 slot columns; 3 of 3 flagged tables would be rebuilt" \
  "$run_out"
check "dry run leaves every table and flag as before" "$before" "$(snapshot)"

echo "== 3. a run rebuilds the flagged tables and commits"
run_slotsync
check "exit code" 0 "$run_exit"
check "summary" \
  "committed: N=4, StockDetailTemp still has 3 slot columns (it was not flagged); 3 of 3 flagged tables rebuilt" "$run_out"
check "detail table columns: the new slot x_4 among them" \
  "DetailID,IndexNo,BillID,StoreCode,x_1,x_2,x_3,x_4,Price,Amount,Memo,SizeIndex,SizeStr" \
  "$(columns_of StockDetail)"
check "detail rows copied with their values, x_4 NULL, size texts extended" \
  "$(printf '%s\t' D1 1 B1 S1 1 2 3 NULL 10.50 63.00 备注一 1)1.2.3.0
$(printf '%s\t' D2 2 B1 S1 NULL 5 0 NULL 8.00 40.00 NULL 2)0.5.0.0
$(printf '%s\t' D3 3 B2 S2 4 NULL NULL NULL NULL NULL plain NULL)NULL" \
  "$(sql "$db" <<'SQL'
SELECT DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, x_4, CONVERT(varchar(20), Price),
  CONVERT(varchar(20), Amount), Memo, SizeIndex, SizeStr FROM StockDetail ORDER BY DetailID
SQL
)"
check "detail table keyed on DetailID, new rows get a NewID()" "DetailID	1" \
  "$(sql "$db" <<'SQL'
SELECT INDEX_COL('StockDetail', i.index_id, 1),
  CASE WHEN EXISTS (SELECT * FROM sys.default_constraints d
    WHERE d.parent_object_id = OBJECT_ID('StockDetail')
      AND d.definition LIKE '%newid%') THEN 1 ELSE 0 END
FROM sys.indexes i WHERE i.object_id = OBJECT_ID('StockDetail') AND i.is_primary_key = 1
SQL
)"
for companion in StockDetail_U StockDetail_I StockDetail_D; do
  check "$companion empty, keyed on DetailID, with x_4" "0	DetailID	1" \
    "$(sql "$db" <<SQL
SELECT (SELECT COUNT(*) FROM $companion), INDEX_COL('$companion', i.index_id, 1),
  CASE WHEN COL_LENGTH('$companion', 'x_4') IS NULL THEN 0 ELSE 1 END
FROM sys.indexes i WHERE i.object_id = OBJECT_ID('$companion') AND i.is_primary_key = 1
SQL
)"
done
check "no work copy left behind" "NULL" \
  "$(echo "SELECT OBJECT_ID('dbo.Tmp_StockDetail')" | sql "$db")"
check "per-terminal table columns" "ID,TerminalName,GoodsCode,Qty,x_1,x_2,x_3,x_4,Amount" \
  "$(columns_of TermCount)"
check "per-terminal table empty, identity key PK_TermCount, IX_TermCount_Terminal" \
  "0	1	PK_TermCount	NONCLUSTERED	ID	IX_TermCount_Terminal	TerminalName" \
  "$(sql "$db" <<'SQL'
SELECT (SELECT COUNT(*) FROM TermCount), COLUMNPROPERTY(OBJECT_ID('TermCount'), 'ID', 'IsIdentity'),
  p.name, p.type_desc, INDEX_COL('TermCount', p.index_id, 1), x.name, INDEX_COL('TermCount', x.index_id, 1)
FROM sys.indexes p, sys.indexes x
WHERE p.object_id = OBJECT_ID('TermCount') AND p.is_primary_key = 1
  AND x.object_id = OBJECT_ID('TermCount') AND x.name = 'IX_TermCount_Terminal'
SQL
)"
check "per-terminal table with report types: one group per type" \
  "ReportID,TerminalName,GoodsCode,T1_x_1,T1_x_2,T1_x_3,T1_x_4,T1_Amount,T2_x_1,T2_x_2,T2_x_3,T2_x_4,T2_Amount" \
  "$(columns_of TermReport)"
check "Modified cleared for the rebuilt tables only" "$(printf '10\t0\n20\t1\n101\t0\n600\t0')" \
  "$(echo "SELECT TableTag, Modified FROM S_Modify ORDER BY TableTag" | sql "$db")"
check "trigger procedure called for the detail table" "10" \
  "$(echo "SELECT TableTag FROM TriggerCalls ORDER BY CallNo" | sql "$db")"
check "the table that was not flagged keeps its 3 slots" "OtherID,x_1,x_2,x_3" \
  "$(columns_of OtherDetail)"

echo "== 4. the plan's script, run by sqlcmd on a fresh copy, rebuilds the same"
sqlcmd=$(command -v sqlcmd || true)
for candidate in /opt/mssql-tools18/bin/sqlcmd /opt/mssql-tools/bin/sqlcmd; do
  if [[ -z "$sqlcmd" && -x "$candidate" ]]; then sqlcmd=$candidate; fi
done
if [[ -z "$sqlcmd" ]]; then
  echo "skipped: running the plan's script (sqlcmd is not installed)"
else
  ran=$(snapshot)
  main_db=$db
  # run_script FILE [sqlcmd options]: runs a plan's script in $db; sets
  # script_exit and script_out.
  run_script() {
    local file=$1
    shift
    script_exit=0
    # -C: the server's own certificate, as slotsync's default trusts it.
    SQLCMDPASSWORD=$SLOTSYNC_TEST_PASSWORD "$sqlcmd" -S "$server" -d "$db" -U "$user" -C \
      -f 65001 -i "$file" "$@" >"$work/sqlcmd" 2>&1 || script_exit=$?
    script_out=$(cat "$work/sqlcmd")
  }
  # The script checks it runs in the database planned: each copy gets its own.
  new_database script
  run_slotsync --plan --script "$work/copy.sql"
  check "the plan of the copy" 0 "$run_exit"
  run_script "$work/copy.sql" -b
  check "sqlcmd runs the script" 0 "$script_exit"
  if ((script_exit)); then printf '%s\n' "$script_out" | sed 's/^/    /'; fi
  check "the script leaves the tables, rows and flags the run left" "$ran" "$(snapshot)"
  check "the script gives the application lock back" "0" \
    "$(echo "SELECT COUNT(*) FROM sys.dm_tran_locks WHERE resource_type = 'APPLICATION'" | sql "$db")"

  echo "== 4b. run a second time, the script says it was already applied and changes nothing"
  run_script "$work/copy.sql" -b
  check "a second run is no failure" 0 "$script_exit"
  check_contains "it says so" "already applied: S_Modify no longer flags TableTag 10" "$script_out"
  check "a second run changes nothing" "$ran" "$(snapshot)"

  echo "== 4c. a slot column changed since the plan: the script stops before any change"
  new_database script_changed
  run_slotsync --plan --lock-timeout 3 --script "$work/changed.sql"
  check "the plan of the copy" 0 "$run_exit"
  echo "ALTER TABLE StockDetail ADD x_4 int NULL" | sql "$db"
  before=$(snapshot)
  run_script "$work/changed.sql" -b
  check "exit code" 1 "$script_exit"
  check_contains "why" "the columns of StockDetail are no longer those the plan saw" "$script_out"
  check_contains "when the plan was written" "the database changed since the plan (written 20" \
    "$script_out"
  check "nothing changed" "$before" "$(snapshot)"
  # Outside SQLCMD mode, in a client that goes on after every error, nothing runs.
  sql "$db" --keep-going <"$work/changed.sql" >"$work/keep-going" 2>&1 || true
  check_contains "outside SQLCMD mode it says what to do" "runs only in SQLCMD mode" \
    "$(cat "$work/keep-going")"
  check "outside SQLCMD mode nothing changed" "$before" "$(snapshot)"
  echo "ALTER TABLE StockDetail DROP COLUMN x_4" | sql "$db"

  echo "== 4d. another run holds the database: the script waits its lock timeout, then stops"
  before=$(snapshot)
  printf '%s\n' "EXEC sp_getapplock @Resource=N'slotsync:$db', @LockMode='Exclusive', @LockOwner='Session'" \
    "WAITFOR DELAY '00:00:10'" | sql "$db" >/dev/null 2>&1 &
  holder=$!
  sleep 3
  run_script "$work/changed.sql" -b
  check "exit code" 1 "$script_exit"
  check_contains "why" "another run or script holds the database $db" "$script_out"
  check "nothing changed" "$before" "$(snapshot)"
  wait "$holder" || true
  holder=""

  echo "== 4e. a table held past the lock timeout, in a client that goes on after errors"
  # Without ":on error exit" sqlcmd carries on: the lock wait runs out, the
  # server rolls back, and the check before the first write stops the rest.
  grep -v '^:on error exit' "$work/changed.sql" >"$work/no-exit.sql"
  if hold_lock 10; then
    run_script "$work/no-exit.sql"
    check_contains "the lock wait ran out" "Lock request time out period exceeded" "$script_out"
    check_contains "the next check stops it" "the server rolled the whole transaction back" \
      "$script_out"
    release_lock
    check "nothing changed" "$before" "$(snapshot)"
  else
    fail "a table held past the lock timeout" "the second session never got its lock"
  fi
  db=$main_db
fi

echo "== 5. a run that fails in its last table leaves everything as before"
sql "$db" <<'SQL'
INSERT INTO SizeGroupSize VALUES (2, 5, 'XXL')
UPDATE S_Modify SET Modified = 1 WHERE TableTag IN (10, 101, 600)
UPDATE S_Modify SET FixedField = 'GoodsCode;Broken;', FixedFieldKind = 'Varchar(20);NoSuchType;'
  WHERE TableTag = 600
SQL
before=$(snapshot)
run_slotsync
check "exit code" 1 "$run_exit"
check_contains "summary" \
  "rolled back: N=5, StockDetailTemp has 3 slot columns; nothing was changed" "$run_err"
check_contains "the failure names the table" "slotsync: TableTag 600: " "$run_err"
check "every table and flag as before" "$before" "$(snapshot)"

echo "== 6. a fallen size count with quantities in the dropped slot is refused before any change"
sql "$db" <<'SQL'
DELETE FROM SizeGroupSize WHERE SizeGroupID = 2 AND SizeIndex IN (4, 5)
UPDATE S_Modify SET FixedField = 'GoodsCode;', FixedFieldKind = 'Varchar(20);' WHERE TableTag = 600
UPDATE S_Modify SET Modified = 0 WHERE TableTag IN (101, 600)
UPDATE StockDetail SET x_4 = 7 WHERE DetailID = 'D1'
GO
-- StockDetailTemp now has 4 slots and the groups need 3.
ALTER TABLE StockDetailTemp ADD x_4 int NULL
SQL
before=$(snapshot)
run_slotsync
check "exit code" 2 "$run_exit"
check_contains "the size-decrease notice" "尺码组包含尺码数量变少" "$run_err"
check_contains "the refusal, before the transaction" \
  "slotsync:   - TableTag 10: StockDetail: 1 rows hold quantities in x_4, above the 3 size slots" \
  "$run_err"
check "nothing lost: every table and flag as before" "$before" "$(snapshot)"
check "the quantity in x_4 is still there" "7" \
  "$(echo "SELECT x_4 FROM StockDetail WHERE DetailID = 'D1'" | sql "$db")"

echo "== 7. a second session holds a lock on a flagged table while a run starts"
new_database lock
wait_option=()
# A command that bounds its lock waits is locked out and changes nothing.
if "$slotsync" --help 2>&1 | grep -q -- '--lock-timeout'; then
  wait_option=(--lock-timeout 60)
  before=$(snapshot)
  if hold_lock 10; then
    run_slotsync --lock-timeout 2
    release_lock
    check "locked out: exit code" 5 "$run_exit"
    check_contains "locked out: the held table is named" "StockDetail" "$run_err"
    check "locked out: the other session kept its lock and committed" 0 "$holder_exit"
    check "locked out: every table, row and flag as before" "$before" "$(snapshot)"
  else
    release_lock
    fail "locked out" "the second session never held its lock: $(cat "$work/holder")"
  fi
else
  echo "skipped: a run locked out by a bounded lock wait (slotsync has no --lock-timeout)"
fi
# Otherwise (or given long enough) the run waits for the lock, then takes in
# what the other session committed meanwhile.
if hold_lock 8 "INSERT INTO StockDetail (DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, SizeStr)
  VALUES ('L1', 4, 'B3', 'S3', 9, 0, 0, '9.0.0')"; then
  started=$SECONDS
  run_slotsync "${wait_option[@]}"
  elapsed=$((SECONDS - started))
  release_lock
  check "the other session kept its lock and committed" 0 "$holder_exit"
  check "exit code" 0 "$run_exit"
  check "summary" \
    "committed: N=4, StockDetailTemp still has 3 slot columns (it was not flagged); 3 of 3 flagged tables rebuilt" "$run_out"
  if ((elapsed >= 4)); then
    echo "ok: the run waited for the lock (${elapsed} s)"
  else
    fail "the run waited for the lock" "it ended after ${elapsed} s, the lock was held for 8 s"
  fi
  check "the row the other session committed meanwhile was copied, extended" \
    "$(printf '%s\t' 4 L1 9 NULL)9.0.0.0" \
    "$(sql "$db" <<'SQL'
SELECT (SELECT COUNT(*) FROM StockDetail), DetailID, x_1, x_4, SizeStr
FROM StockDetail WHERE DetailID = 'L1'
SQL
)"
else
  release_lock
  fail "a run waits for a lock" "the second session never held its lock: $(cat "$work/holder")"
fi

echo "== 8. a trigger procedure that fails half way rolls the run back"
new_database trigger
sql "$db" <<'SQL'
-- It records the call, fails (severity 16 does not end the batch), and goes
-- on: only the error in the diagnostics tells.
ALTER PROCEDURE CreateInvoiceDetailTrigger @TableTag int AS
  INSERT INTO TriggerCalls (TableTag) VALUES (@TableTag)
  RAISERROR (N'明细表触发器生成失败：表标记 %d', 16, 1, @TableTag)
  INSERT INTO TriggerCalls (TableTag) VALUES (-@TableTag)
SQL
before=$(snapshot)
run_slotsync
check "exit code" 1 "$run_exit"
check_contains "summary" \
  "rolled back: N=4, StockDetailTemp has 3 slot columns; nothing was changed" "$run_err"
check_contains "the server's Chinese message reaches standard error" \
  "明细表触发器生成失败：表标记 10" "$run_err"
check "every table, row and flag as before; the procedure's own rows gone" "$before" "$(snapshot)"

echo "== 9. an ignored drop whose failure ends the transaction: nothing is committed"
new_database droptrigger
sql "$db" <<'SQL'
-- Rolls back the transaction that drops TermCount: once it is dropped, the
-- transaction no longer finds it. A run lets a failed drop of a table pass,
-- but not the loss of its transaction.
CREATE TRIGGER KeepTermCount ON DATABASE FOR DROP_TABLE AS
  IF OBJECT_ID('dbo.TermCount') IS NULL ROLLBACK
SQL
before=$(snapshot)
run_slotsync
check "exit code" 1 "$run_exit"
check_contains "summary" \
  "rolled back: N=4, StockDetailTemp has 3 slot columns; nothing was changed" "$run_err"
check_contains "the run names the drop and the transaction the server ended" \
  "the server ended the transaction when 'Drop Table TermCount' failed" "$run_err"
check "every table, row and flag as before" "$before" "$(snapshot)"

echo "== 10. Chinese dictionary texts, table and column names"
new_database chinese
sql "$db" <<'SQL'
CREATE TABLE 库存单 (单号 varchar(20) NULL, 仓库 varchar(20) NULL, 经手人 varchar(20) NULL)
GO
CREATE TABLE 库存明细 (明细号 varchar(40) NOT NULL PRIMARY KEY, IndexNo int NULL,
  单号 varchar(20) NULL, 仓库 varchar(20) NULL, x_1 int NULL, x_2 int NULL, x_3 int NULL,
  单价 money NULL, 金额 money NULL, Memo varchar(30) NULL, SizeIndex int NULL,
  SizeStr varchar(100) NULL)
INSERT INTO 库存明细 VALUES
  (N'明一', 1, N'单号一', N'总仓', 1, 2, 3, 12.5, 75, N'红色，加长', 1, '1.2.3'),
  (N'明二', 2, N'单号一', N'门店', NULL, 4, NULL, NULL, NULL, NULL, NULL, NULL)
GO
INSERT INTO S_Modify VALUES
  (11, N'库存明细', N'明细号', N'单价;金额;', 'Money;Money;', NULL, NULL, 2, 1, 1)
INSERT INTO DataDictionary VALUES (5, 11, N'库存单', NULL)
UPDATE S_Modify SET FixedField = N'货号;数量;', FixedFieldKind = 'Varchar(20);Int;'
  WHERE TableTag = 101
UPDATE DataDictReportContent SET Type = N'零售' WHERE ID = 1
UPDATE DataDictReportContent SET Type = N'批发' WHERE ID = 2
SQL
run_slotsync
check "exit code" 0 "$run_exit"
check "summary" \
  "committed: N=4, StockDetailTemp still has 3 slot columns (it was not flagged); 4 of 4 flagged tables rebuilt" "$run_out"
check "Chinese detail table: its columns, the new slot x_4 among them" \
  "明细号,IndexNo,单号,仓库,x_1,x_2,x_3,x_4,单价,金额,Memo,SizeIndex,SizeStr" \
  "$(columns_of 库存明细)"
check "Chinese detail table: rows and Chinese values copied, size texts extended" \
  "$(printf '%s\t' 明一 1 单号一 总仓 1 2 3 NULL 12.50 75.00 红色，加长 1)1.2.3.0
$(printf '%s\t' 明二 2 单号一 门店 NULL 4 NULL NULL NULL NULL NULL NULL)NULL" \
  "$(sql "$db" <<'SQL'
SELECT 明细号, IndexNo, 单号, 仓库, x_1, x_2, x_3, x_4, CONVERT(varchar(20), 单价),
  CONVERT(varchar(20), 金额), Memo, SizeIndex, SizeStr FROM 库存明细 ORDER BY IndexNo
SQL
)"
check "Chinese fixed columns of the per-terminal table" \
  "ID,TerminalName,货号,数量,x_1,x_2,x_3,x_4,Amount" "$(columns_of TermCount)"
check "Chinese report types: one group per type" \
  "ReportID,TerminalName,GoodsCode,零售_x_1,零售_x_2,零售_x_3,零售_x_4,零售_Amount,批发_x_1,批发_x_2,批发_x_3,批发_x_4,批发_Amount" \
  "$(columns_of TermReport)"
check "Modified cleared for the rebuilt tables, the Chinese one among them" \
  "$(printf '10\t0\n11\t0\n20\t1\n101\t0\n600\t0')" \
  "$(echo "SELECT TableTag, Modified FROM S_Modify ORDER BY TableTag" | sql "$db")"
check "trigger procedure called for both detail tables" "$(printf '10\n11')" \
  "$(echo "SELECT TableTag FROM TriggerCalls ORDER BY TableTag" | sql "$db")"

echo "== 11. a realistic old table: every row and value survives, then the database is in step"
new_database realistic
sql "$db" <<'SQL'
DROP TABLE StockDetail
GO
-- Memo is wider than the new table's 30 bytes, so the run measures what it
-- holds; every value fits.
CREATE TABLE StockDetail (DetailID varchar(40) NOT NULL PRIMARY KEY, IndexNo int NULL,
  BillID varchar(20) NULL, StoreCode varchar(20) NULL, x_1 int NULL, x_2 int NULL,
  x_3 int NULL, Price money NULL, Amount money NULL, Memo varchar(60) NULL, SizeIndex int NULL,
  SizeStr varchar(100) NULL)
CREATE INDEX IX_StockDetail_Bill ON StockDetail (BillID, StoreCode)
CREATE UNIQUE INDEX UX_StockDetail_Line ON StockDetail (StoreCode DESC, IndexNo) INCLUDE (Amount)
  WHERE Price > 0
GO
-- What the dictionary does not describe and the rebuild must carry: grants
-- and a deny to a role, a column grant, a DBA's trigger, a description.
CREATE ROLE ShopRole
GRANT SELECT ON StockDetail TO ShopRole
DENY DELETE ON StockDetail TO ShopRole
GRANT UPDATE (Price) ON StockDetail TO ShopRole
GRANT SELECT ON StockDetail_U TO ShopRole
GO
CREATE TRIGGER trg_StockDetail_Audit ON StockDetail AFTER DELETE AS SET NOCOUNT ON
GO
EXEC sp_addextendedproperty N'MS_Description', N'库存明细', N'SCHEMA', N'dbo', N'TABLE', N'StockDetail'
GO
SET NOCOUNT ON
;WITH Numbers AS (SELECT TOP (3000) ROW_NUMBER() OVER (ORDER BY (SELECT NULL)) AS i
  FROM sys.all_columns a CROSS JOIN sys.all_columns b)
INSERT INTO StockDetail
SELECT RIGHT(REPLICATE('D', 40) + CONVERT(varchar(10), i), 40), i,
  CASE WHEN i % 7 = 0 THEN NULL ELSE RIGHT(REPLICATE('B', 20) + CONVERT(varchar(10), i % 250), 20) END,
  CASE i % 3 WHEN 0 THEN NULL WHEN 1 THEN REPLICATE(N'仓', 10) ELSE 'S' + CONVERT(varchar(10), i % 9) END,
  CASE WHEN i % 5 = 0 THEN NULL ELSE i % 13 END,
  CASE WHEN i % 6 = 0 THEN NULL ELSE -(i % 4) END,
  CASE WHEN i % 8 = 0 THEN NULL ELSE 2147483647 - i END,
  CASE WHEN i % 11 = 0 THEN NULL ELSE CONVERT(money, i) / 7 END,
  CASE WHEN i % 11 = 0 THEN NULL ELSE CONVERT(money, i) * 1000.1234 END,
  CASE i % 4 WHEN 0 THEN NULL WHEN 1 THEN REPLICATE(N'货', 15) WHEN 2 THEN REPLICATE('m', 30)
    ELSE '' END,
  CASE WHEN i % 10 = 0 THEN NULL ELSE i % 4 + 1 END,
  -- 98 bytes: 100 once the run has added ".0", the column's length.
  CASE WHEN i % 9 = 0 THEN NULL WHEN i % 9 = 1 THEN ''
    WHEN i % 9 = 2 THEN REPLICATE('9', 32) + '.' + REPLICATE('9', 32) + '.' + REPLICATE('9', 32)
    ELSE CONVERT(varchar(10), i % 10) + '.' + CONVERT(varchar(10), i % 3) + '.'
      + CONVERT(varchar(10), i % 4) END
FROM Numbers
GO
SELECT * INTO ExpectedDetail FROM StockDetail
SQL
run_slotsync
check "exit code" 0 "$run_exit"
check "summary" \
  "committed: N=4, StockDetailTemp still has 3 slot columns (it was not flagged); 3 of 3 flagged tables rebuilt" "$run_out"
check "all 3000 rows copied, the new slot x_4 empty" "$(printf '3000\t0')" \
  "$(echo "SELECT COUNT(*), COUNT(x_4) FROM StockDetail" | sql "$db")"
# Both ways round, byte for byte; NULLs compare equal in EXCEPT.
check "every value as it was, byte for byte; the size texts extended by .0" "$(printf '0\t0')" \
  "$(sql "$db" <<'SQL'
SELECT
  (SELECT COUNT(*) FROM (
    SELECT CONVERT(varbinary(40), DetailID) d, IndexNo, CONVERT(varbinary(20), BillID) b,
      CONVERT(varbinary(20), StoreCode) s, x_1, x_2, x_3, Price, Amount,
      CONVERT(varbinary(60), Memo) m, SizeIndex,
      CONVERT(varbinary(110), CASE WHEN SizeStr <> '' THEN SizeStr + '.0' ELSE SizeStr END) t
    FROM ExpectedDetail
    EXCEPT
    SELECT CONVERT(varbinary(40), DetailID), IndexNo, CONVERT(varbinary(20), BillID),
      CONVERT(varbinary(20), StoreCode), x_1, x_2, x_3, Price, Amount,
      CONVERT(varbinary(60), Memo), SizeIndex, CONVERT(varbinary(110), SizeStr)
    FROM StockDetail) missing_),
  (SELECT COUNT(*) FROM (
    SELECT CONVERT(varbinary(40), DetailID) d, IndexNo, CONVERT(varbinary(20), BillID) b,
      CONVERT(varbinary(20), StoreCode) s, x_1, x_2, x_3, Price, Amount,
      CONVERT(varbinary(60), Memo) m, SizeIndex, CONVERT(varbinary(110), SizeStr) t
    FROM StockDetail
    EXCEPT
    SELECT CONVERT(varbinary(40), DetailID), IndexNo, CONVERT(varbinary(20), BillID),
      CONVERT(varbinary(20), StoreCode), x_1, x_2, x_3, Price, Amount,
      CONVERT(varbinary(60), Memo), SizeIndex,
      CONVERT(varbinary(110), CASE WHEN SizeStr <> '' THEN SizeStr + '.0' ELSE SizeStr END)
    FROM ExpectedDetail) added_)
SQL
)"
check "the longest size text fills its column" "100" \
  "$(echo "SELECT MAX(DATALENGTH(SizeStr)) FROM StockDetail" | sql "$db")"
check "the table keyed on DetailID" "DetailID" \
  "$(sql "$db" <<'SQL'
SELECT INDEX_COL('StockDetail', index_id, 1) FROM sys.indexes
WHERE object_id = OBJECT_ID('StockDetail') AND is_primary_key = 1
SQL
)"
check "the secondary indexes carried with their keys, order, uniqueness and filter" \
  "$(printf 'IX_StockDetail_Bill\tBillID,StoreCode\t0\t\nUX_StockDetail_Line\tStoreCode-,IndexNo,+Amount\t1\t([Price]>(0))')" \
  "$(sql "$db" <<'SQL'
SELECT i.name, STUFF((SELECT ',' + CASE WHEN ic.is_included_column = 1 THEN '+' ELSE '' END
    + c.name + CASE WHEN ic.is_descending_key = 1 THEN '-' ELSE '' END
  FROM sys.index_columns ic JOIN sys.columns c
    ON c.object_id = ic.object_id AND c.column_id = ic.column_id
  WHERE ic.object_id = i.object_id AND ic.index_id = i.index_id
  ORDER BY ic.is_included_column, ic.key_ordinal, ic.index_column_id FOR XML PATH('')), 1, 1, ''),
  i.is_unique, ISNULL(i.filter_definition, '')
FROM sys.indexes i
WHERE i.object_id = OBJECT_ID('StockDetail') AND i.is_primary_key = 0 AND i.type > 0
ORDER BY i.name
SQL
)"
check "the permissions carried, on the table, a column and a companion" \
  "$(printf 'DENY DELETE StockDetail\nGRANT SELECT StockDetail\nGRANT SELECT StockDetail_U\nGRANT UPDATE(Price) StockDetail')" \
  "$(sql "$db" <<'SQL'
SELECT dp.state_desc + ' ' + dp.permission_name + ISNULL('(' + c.name + ')', '') + ' '
  + OBJECT_NAME(dp.major_id)
FROM sys.database_permissions dp LEFT JOIN sys.columns c
  ON c.object_id = dp.major_id AND c.column_id = dp.minor_id
WHERE dp.grantee_principal_id = DATABASE_PRINCIPAL_ID('ShopRole') AND dp.class = 1
ORDER BY 1
SQL
)"
check "the DBA's trigger and the description carried" "$(printf 'trg_StockDetail_Audit\t库存明细')" \
  "$(sql "$db" <<'SQL'
SELECT (SELECT name FROM sys.triggers WHERE parent_id = OBJECT_ID('StockDetail')),
  (SELECT CONVERT(nvarchar(100), value) FROM sys.extended_properties
   WHERE major_id = OBJECT_ID('StockDetail') AND minor_id = 0 AND name = 'MS_Description')
SQL
)"
check_contains "the table line says what was carried" \
  "rebuilt; 2 indexes, 4 permissions, 1 trigger, 1 description carried" "$run_err"
# Nothing is flagged any more: a second run changes nothing. StockDetailTemp
# still has 3 slots, so it says the database stays out of step.
before=$(snapshot)
run_slotsync
check "second run: exit code" 0 "$run_exit"
check_contains "second run: nothing flagged" "S_Modify flags no table" "$run_err"
check "second run: every table, row and flag as before" "$before" "$(snapshot)"
# With StockDetailTemp at 4 slots, as the size groups need, it is in step.
echo "ALTER TABLE StockDetailTemp ADD x_4 int NULL" | sql "$db"
before=$(snapshot)
run_slotsync
check "in step: exit code" 0 "$run_exit"
check "in step: summary" "in step: N=4, StockDetailTemp has 4 slot columns; nothing to do" \
  "$run_out"
check "in step: every table, row and flag as before" "$before" "$(snapshot)"

echo "== 12. a case-sensitive database is refused before any change"
for collation in Chinese_PRC_CS_AS Chinese_PRC_BIN; do
  new_database "$(tr '[:upper:]' '[:lower:]' <<<"$collation")" "$collation"
  before=$(snapshot)
  run_slotsync
  check "$collation: exit code" 2 "$run_exit"
  check_contains "$collation: the refusal names the collation" \
    "the database's collation $collation tells names apart by case" "$run_err"
  check "$collation: every table, row and flag as before" "$before" "$(snapshot)"
done

echo "== 13. a busy database: the audit log of a locked-out run, another run holding the database"
new_database busy
before=$(snapshot)
# A second session keeps StockDetail locked for a while.
printf '%s\n' "BEGIN TRANSACTION" "SELECT COUNT(*) FROM StockDetail WITH (TABLOCKX, HOLDLOCK)" \
  "WAITFOR DELAY '00:00:15'" "ROLLBACK" | sql "$db" >/dev/null 2>&1 &
holder=$!
sleep 3
run_slotsync --lock-timeout 2 --log "$work/audit.jsonl"
check "exit code when a table is held" 5 "$run_exit"
check_contains "the holder is named" "is held by session" "$run_err"
check "nothing changed" "$before" "$(snapshot)"
check_contains "the audit line" '"outcome":"locked out"' "$(cat "$work/audit.jsonl")"
if grep -q -- "$SLOTSYNC_TEST_PASSWORD" "$work/audit.jsonl"; then
  check "no password in the audit log" "absent" "present"
fi
wait "$holder" || true
# Another run's application lock, held by a session of its own; the run
# names the database in upper case and still meets it.
printf '%s\n' "EXEC sp_getapplock @Resource=N'slotsync:database', @LockMode='Exclusive', @LockOwner='Session'" \
  "WAITFOR DELAY '00:00:15'" | sql "$db" >/dev/null 2>&1 &
holder=$!
sleep 3
spelled=$db
db=${spelled^^}
run_slotsync --lock-timeout 2
db=$spelled
check "exit code when another run holds the database, named in another case" 5 "$run_exit"
check_contains "whose run it waited for" "another run holds the database (session" "$run_err"
wait "$holder" || true
run_slotsync
check "once free, the run goes through" 0 "$run_exit"
check "the application lock is given back" "0" \
  "$(echo "SELECT COUNT(*) FROM sys.dm_tran_locks WHERE resource_type = 'APPLICATION'" | sql "$db")"

echo "== 14. a companion table held by another session: locked out at its drop"
new_database companion
# Taken first: the snapshot reads every table and would wait for the holder.
before=$(snapshot)
printf '%s\n' "BEGIN TRANSACTION" "SELECT COUNT(*) FROM StockDetail_U WITH (TABLOCKX, HOLDLOCK)" \
  "WAITFOR DELAY '00:00:15'" "ROLLBACK" | sql "$db" >/dev/null 2>&1 &
holder=$!
sleep 3
run_slotsync --lock-timeout 2
check "exit code" 5 "$run_exit"
check_contains "the companion's holder is named" "table StockDetail_U is held by session" "$run_err"
check "every table, row and flag as before" "$before" "$(snapshot)"
wait "$holder" || true
holder=""

echo "== 15. a deadlock with a shop's session: the run gives way, exit 5"
new_database deadlock
before=$(snapshot)
# The other session holds TermCount, which the run drops after StockDetail,
# and then asks for StockDetail, which the run holds by then.
printf '%s\n' "SET DEADLOCK_PRIORITY NORMAL" "BEGIN TRANSACTION" \
  "SELECT COUNT(*) FROM TermCount WITH (TABLOCKX, HOLDLOCK)" "WAITFOR DELAY '00:00:06'" \
  "SELECT COUNT(*) FROM StockDetail WITH (TABLOCKX, HOLDLOCK)" "WAITFOR DELAY '00:00:02'" \
  "COMMIT" | sql "$db" >"$work/deadlocker" 2>&1 &
holder=$!
sleep 2
run_slotsync --lock-timeout 60
check "exit code" 5 "$run_exit"
check_contains "chosen as a deadlock victim" "chosen as a deadlock victim" "$run_err"
release_lock
check "the shop's session went on and committed" 0 "$holder_exit"
check "every table, row and flag as before" "$before" "$(snapshot)"

echo "== 16. a login without SELECT on the detail table: refused before any lock"
new_database rights
login="slotsync_live_${stamp}"
login_password="Slotsync-Live-$$-x"
printf '%s\n' "CREATE LOGIN [$login] WITH PASSWORD = N'$login_password', CHECK_POLICY = OFF, DEFAULT_DATABASE = [$db]" |
  sql master
logins+=("$login")
sql "$db" <<SQL
CREATE USER [$login] FOR LOGIN [$login] WITH DEFAULT_SCHEMA = dbo
GO
ALTER ROLE db_owner ADD MEMBER [$login]
GO
DENY SELECT ON dbo.StockDetail TO [$login]
SQL
before=$(snapshot)
run_exit=0
SLOTSYNC_PASSWORD="$login_password" "$slotsync" --server "$server" --database "$db" \
  --user "$login" --yes >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
run_err=$(cat "$work/err")
check "exit code" 2 "$run_exit"
check_contains "the missing right is named" "the login may not SELECT from StockDetail" "$run_err"
check "every table, row and flag as before" "$before" "$(snapshot)"

echo "== 17. a transaction log too small for the copy: refused before any lock"
new_database smalllog
sql "$db" <<'SQL'
;WITH Numbers AS (SELECT TOP (60000) ROW_NUMBER() OVER (ORDER BY (SELECT NULL)) AS i
  FROM sys.all_objects a CROSS JOIN sys.all_objects b)
INSERT INTO StockDetail
SELECT 'L' + CONVERT(varchar(10), i), i, REPLICATE('B', 20), REPLICATE('S', 20), i % 5, i % 7,
  i % 3, 1, 2, REPLICATE('m', 30), 1, '1.2.3'
FROM Numbers
GO
-- The log grew for the rows; shrink it back, then fix its size.
CHECKPOINT
DECLARE @name sysname, @mb int, @sql nvarchar(400), @id int
SELECT @id = file_id FROM sys.database_files WHERE type = 1
SET @sql = N'DBCC SHRINKFILE (' + CONVERT(nvarchar(10), @id) + N', 1) WITH NO_INFOMSGS'
EXEC (@sql)
SELECT @name = name, @mb = (size * 8 + 1023) / 1024 FROM sys.database_files WHERE type = 1
SET @sql = N'ALTER DATABASE ' + QUOTENAME(DB_NAME()) + N' MODIFY FILE (NAME = ' + QUOTENAME(@name)
  + N', MAXSIZE = ' + CONVERT(nvarchar(10), @mb) + N'MB, FILEGROWTH = 0)'
EXEC (@sql)
SQL
before=$(snapshot)
run_slotsync --plan
check_contains "the plan shows what the run will log" "the run will log about" "$run_out$run_err"
run_slotsync
check "exit code" 2 "$run_exit"
check_contains "the log is named" "the transaction log cannot take what the run needs" "$run_err"
check "every table, row and flag as before" "$before" "$(snapshot)"

echo "== 18. what a rebuild cannot carry is refused before any change"
new_database uncarried
sql "$db" <<'SQL'
CREATE TABLE PickList (ID int PRIMARY KEY, DetailID varchar(40) REFERENCES StockDetail (DetailID))
GO
CREATE VIEW dbo.vTerm WITH SCHEMABINDING AS SELECT TerminalName FROM dbo.TermCount
GO
SQL
before=$(snapshot)
run_slotsync
check "exit code" 2 "$run_exit"
check_contains "the incoming foreign key is named" "StockDetail is referenced by the foreign key" \
  "$run_err"
check_contains "the schema-bound view is named" "TermCount is bound to the schema of dbo.vTerm" \
  "$run_err"
check "every table, row and flag as before" "$before" "$(snapshot)"

echo "== 19. catalog names and texts that would end their quoting early"
# 乚 is 0x81 0x5D in GBK: its trail byte has the value of "]". Each name
# ends in what would run if its brackets closed after 乚; the trigger and the
# description hold lines sqlcmd would act on. Nothing may be created but
# what the rebuild carries, and no shell command may run.
hostile_seed() {
  sql "$db" <<'SQL'
CREATE NONCLUSTERED INDEX [乚 On dbo.StockDetail(BillID);Create Table dbo.Injected(x int);--]
  ON StockDetail (BillID)
GO
CREATE ROLE [乚;Create Table dbo.InjectedRole(x int);--]
GO
GRANT SELECT ON StockDetail TO [乚;Create Table dbo.InjectedRole(x int);--]
GO
-- The lines go in through NCHAR(10): this helper, like sqlcmd, splits at GO.
DECLARE @nl nchar(1) = NCHAR(10), @lines nvarchar(200)
SET @lines = @nl + N'GO' + @nl + N'!! touch /tmp/slotsync-live-injected' + @nl + N':r nothing.sql'
  + @nl + NCHAR(36) + N'(SQLCMDPASSWORD) ' + NCHAR(92)
EXEC (N'CREATE TRIGGER [乚 On dbo.StockDetail;Create Table dbo.InjectedTrigger(x int);--] '
  + N'ON StockDetail AFTER DELETE AS SET NOCOUNT ON SELECT ''x' + @lines + N''''''' FROM deleted WHERE 1 = 0')
EXEC sp_addextendedproperty N'MS_Description', @lines, N'SCHEMA', N'dbo', N'TABLE', N'StockDetail'
GO
SQL
}
hostile_names() {
  echo "SELECT (SELECT name FROM sys.indexes WHERE object_id = OBJECT_ID('StockDetail') AND name LIKE N'乚%')
    + '|' + (SELECT name FROM sys.triggers WHERE parent_id = OBJECT_ID('StockDetail'))
    + '|' + (SELECT pr.name FROM sys.database_permissions dp JOIN sys.database_principals pr
      ON pr.principal_id = dp.grantee_principal_id WHERE dp.major_id = OBJECT_ID('StockDetail')
      AND pr.name LIKE N'乚%')
    + '|' + CONVERT(varchar(42), HASHBYTES('SHA1', (SELECT CONVERT(nvarchar(max), value)
      FROM sys.extended_properties WHERE major_id = OBJECT_ID('StockDetail') AND minor_id = 0)), 1)
    + '|' + CONVERT(varchar(42), HASHBYTES('SHA1', (SELECT definition FROM sys.sql_modules
      WHERE object_id = (SELECT object_id FROM sys.triggers
      WHERE parent_id = OBJECT_ID('StockDetail')))), 1)
    + '|' + CONVERT(varchar(10), (SELECT COUNT(*) FROM sys.tables WHERE name LIKE 'Injected%'))" |
    sql "$db"
}
rm -f /tmp/slotsync-live-injected
new_database hostile
hostile_seed
names_before=$(hostile_names)
run_slotsync --plan --script "$work/hostile.sql"
check "the plan of the hostile names" 0 "$run_exit"
run_slotsync --yes
check "the run with hostile names commits" 0 "$run_exit"
check "the hostile names, trigger and description carried as they were, nothing injected" \
  "$names_before" "$(hostile_names)"
trigger_settings() {
  echo "SELECT CONVERT(varchar(1), m.uses_ansi_nulls) + CONVERT(varchar(1), m.uses_quoted_identifier)
    FROM sys.triggers t JOIN sys.sql_modules m ON m.object_id = t.object_id
    WHERE t.parent_id = OBJECT_ID('StockDetail')" | sql "$db"
}
check "the carried trigger keeps ANSI_NULLS and QUOTED_IDENTIFIER on" "11" "$(trigger_settings)"
if [[ -n "$sqlcmd" ]]; then
  new_database hostile_script
  hostile_seed
  run_slotsync --plan --script "$work/hostile.sql"
  # Without -I: the script says QUOTED_IDENTIFIER ON itself.
  run_script "$work/hostile.sql" -b
  check "sqlcmd runs the hostile script" 0 "$script_exit"
  check "the script's trigger keeps ANSI_NULLS and QUOTED_IDENTIFIER on, without -I" "11" \
    "$(trigger_settings)"
  check "the script carries them as the run does" "$names_before" "$(hostile_names)"
  check "no shell command ran" "no" "$([[ -e /tmp/slotsync-live-injected ]] && echo yes || echo no)"
fi
echo "== 20. identities stay: a trigger's EXECUTE AS, a grant's grantor, a check calling a function"
new_database identity
sql "$db" <<'SQL'
CREATE USER Auditor WITHOUT LOGIN
CREATE USER Clerk WITHOUT LOGIN
CREATE USER Packer WITHOUT LOGIN
GO
CREATE FUNCTION dbo.fnPriceOk (@Price money) RETURNS int AS
BEGIN RETURN CASE WHEN @Price IS NULL OR @Price >= 0 THEN 1 ELSE 0 END END
GO
ALTER TABLE StockDetail ADD CONSTRAINT CK_StockDetail_Price CHECK (dbo.fnPriceOk(Price) = 1)
GO
-- Clerk may give SELECT, and gives it to Packer: the grantor is Clerk.
GRANT SELECT ON StockDetail TO Clerk WITH GRANT OPTION
GO
EXECUTE AS USER = 'Clerk'
GRANT SELECT ON StockDetail TO Packer
REVERT
GO
CREATE TRIGGER trg_StockDetail_Stamp ON StockDetail WITH EXECUTE AS 'Auditor' AFTER INSERT AS
SET NOCOUNT ON
GO
SQL
run_slotsync --plan
check "plan: exit code" 0 "$run_exit"
check_contains "plan: the check calling a function is carried With NoCheck, and said so" \
  "the trust of check constraint CK_StockDetail_Price on StockDetail (it calls a function" \
  "$run_out"
run_slotsync
check "exit code" 0 "$run_exit"
check "Packer's SELECT given again in Clerk's name, Clerk's with its grant option" \
  "$(printf 'Clerk\tGRANT_WITH_GRANT_OPTION\tdbo\nPacker\tGRANT\tClerk')" \
  "$(sql "$db" <<'SQL'
SELECT USER_NAME(grantee_principal_id), state_desc, USER_NAME(grantor_principal_id)
FROM sys.database_permissions
WHERE class = 1 AND major_id = OBJECT_ID('StockDetail') AND permission_name = 'SELECT'
  AND USER_NAME(grantee_principal_id) IN ('Clerk', 'Packer')
ORDER BY 1
SQL
)"
check "the trigger runs as Auditor, the check is carried untrusted" \
  "$(printf 'Auditor\t1')" \
  "$(sql "$db" <<'SQL'
SELECT USER_NAME(m.execute_as_principal_id),
  (SELECT is_not_trusted FROM sys.check_constraints WHERE name = 'CK_StockDetail_Price')
FROM sys.triggers t JOIN sys.sql_modules m ON m.object_id = t.object_id
WHERE t.parent_id = OBJECT_ID('StockDetail')
SQL
)"
check "Clerk's REVOKE ... CASCADE still reaches Packer" "0" \
  "$(sql "$db" <<'SQL'
REVOKE SELECT ON StockDetail FROM Clerk CASCADE
GO
SELECT COUNT(*) FROM sys.database_permissions
WHERE class = 1 AND major_id = OBJECT_ID('StockDetail') AND grantee_principal_id = USER_ID('Packer')
SQL
)"
# A trigger that Clerk made WITH EXECUTE AS SELF runs as Clerk; made again by
# the run's login, SELF would be that login.
new_database executeasself
sql "$db" <<'SQL'
CREATE USER Clerk WITHOUT LOGIN
GO
GRANT ALTER ON StockDetail TO Clerk
GO
EXECUTE AS USER = 'Clerk'
EXEC (N'CREATE TRIGGER dbo.trg_StockDetail_Self ON dbo.StockDetail WITH EXECUTE AS SELF AFTER INSERT AS SET NOCOUNT ON')
REVERT
GO
SQL
check "the trigger made by Clerk WITH EXECUTE AS SELF runs as Clerk" "Clerk" \
  "$(echo "SELECT USER_NAME(execute_as_principal_id) FROM sys.sql_modules WHERE object_id = OBJECT_ID('trg_StockDetail_Self')" | sql "$db")"
before=$(snapshot)
run_slotsync
check "EXECUTE AS SELF: exit code" 2 "$run_exit"
check_contains "the trigger, its user and what to do are named" \
  "the trigger trg_StockDetail_Self runs as Clerk without naming that user (EXECUTE AS SELF)" \
  "$run_err"
check "EXECUTE AS SELF: every table, row and flag as before" "$before" "$(snapshot)"

# A copy that would round values is refused before any lock, naming the
# column and both definitions.
new_database decimalint
sql "$db" <<'SQL'
ALTER TABLE StockDetail ALTER COLUMN Price decimal(12,2) NULL
GO
UPDATE S_Modify SET FieldKind = 'Int;Money;' WHERE TableTag = 10
SQL
before=$(snapshot)
run_slotsync
check "a decimal into an Int: exit code" 2 "$run_exit"
check_contains "the column and both definitions are named" \
  "StockDetail.Price is decimal(12,2) Null and its new definition is Int Null: their fractions would be rounded away" \
  "$run_err"
check "a decimal into an Int: every table, row and flag as before" "$before" "$(snapshot)"

# An identity column is copied with its values; its identity is named as
# lost, with its seed, increment and last value.
new_database identitycopy
sql "$db" <<'SQL'
ALTER TABLE StockDetail DROP COLUMN IndexNo
GO
ALTER TABLE StockDetail ADD IndexNo int IDENTITY(100,5) NOT NULL
SQL
identities() {
  sql "$db" <<'SQL'
SELECT STUFF((SELECT ',' + DetailID + ':' + CONVERT(varchar(12), IndexNo) FROM StockDetail
  ORDER BY DetailID FOR XML PATH('')), 1, 1, '')
SQL
}
before=$(identities)
run_slotsync --json
check "an identity column copied: exit code" 0 "$run_exit"
check "the identity column's values are copied" "$before" "$(identities)"
check_contains "its identity is named as lost" \
  "the identity of StockDetail.IndexNo (seed 100, increment 5, last value 110)" "$run_out"

echo "== 21. a login that cannot see every grant is refused; readers refreshed, options carried"
new_database hiddengrants
ddl_login="slotsync_ddl_${stamp}"
printf '%s\n' "CREATE LOGIN [$ddl_login] WITH PASSWORD = N'$login_password', CHECK_POLICY = OFF, DEFAULT_DATABASE = [$db]" |
  sql master
logins+=("$ddl_login")
sql "$db" <<SQL
CREATE USER [$ddl_login] FOR LOGIN [$ddl_login] WITH DEFAULT_SCHEMA = dbo
GO
ALTER ROLE db_ddladmin ADD MEMBER [$ddl_login]
ALTER ROLE db_datareader ADD MEMBER [$ddl_login]
ALTER ROLE db_datawriter ADD MEMBER [$ddl_login]
GRANT EXECUTE ON CreateInvoiceDetailTrigger TO [$ddl_login]
GO
-- The tills' user: the login above does not see its grant.
CREATE USER Till WITHOUT LOGIN
GRANT SELECT, INSERT ON StockDetail TO Till
SQL
check "the login does not see the tills' grant" "0" \
  "$(printf '%s\n' "EXECUTE AS LOGIN = N'$ddl_login'" \
    "SELECT COUNT(*) FROM sys.database_permissions WHERE major_id = OBJECT_ID('StockDetail') AND grantee_principal_id = USER_ID('Till')" \
    "REVERT" | sql "$db")"
before=$(snapshot)
run_exit=0
SLOTSYNC_PASSWORD="$login_password" "$slotsync" --server "$server" --database "$db" \
  --user "$ddl_login" --yes >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
run_err=$(cat "$work/err")
check "hidden grants: exit code" 2 "$run_exit"
check_contains "the right to give is named" \
  "StockDetail: the login cannot see every permission on it" "$run_err"
check "hidden grants: every table, row and flag as before" "$before" "$(snapshot)"

new_database readers
sql "$db" <<'SQL'
CREATE VIEW dbo.vStock AS SELECT * FROM dbo.StockDetail
GO
CREATE FUNCTION dbo.fnStock () RETURNS TABLE AS RETURN SELECT * FROM dbo.StockDetail
GO
CREATE INDEX IX_StockDetail_Bill ON StockDetail (BillID)
  WITH (STATISTICS_NORECOMPUTE = ON, ALLOW_ROW_LOCKS = OFF, ALLOW_PAGE_LOCKS = OFF)
ALTER TABLE StockDetail WITH NOCHECK ADD CONSTRAINT CK_StockDetail_Price
  CHECK NOT FOR REPLICATION (Price >= 0)
ALTER TABLE StockDetail SET (LOCK_ESCALATION = AUTO)
ALTER TABLE StockDetail REBUILD WITH (DATA_COMPRESSION = ROW)
GO
CREATE TRIGGER trg_StockDetail_A ON StockDetail AFTER INSERT AS SET NOCOUNT ON
GO
CREATE TRIGGER trg_StockDetail_B ON StockDetail AFTER INSERT AS SET NOCOUNT ON
GO
EXEC sp_settriggerorder N'dbo.trg_StockDetail_A', 'Last', 'INSERT'
GO
SQL
run_slotsync --plan
check_contains "plan: the readers to refresh are named" \
  "StockDetail is read by dbo.vStock, dbo.fnStock, which are refreshed after the rebuild" \
  "$run_out$run_err"
run_slotsync
check "readers: exit code" 0 "$run_exit"
check "the view and the function see the new slot x_4" "$(printf '1\t1')" \
  "$(sql "$db" <<'SQL'
SELECT (SELECT COUNT(*) FROM sys.columns WHERE object_id = OBJECT_ID('dbo.vStock') AND name = 'x_4'),
  (SELECT COUNT(*) FROM sys.columns WHERE object_id = OBJECT_ID('dbo.fnStock') AND name = 'x_4')
SQL
)"
check "index options, the check's NOT FOR REPLICATION, the table's options, the trigger order" \
  "$(printf '0\t0\t1\t1\tAUTO\tROW\ttrg_StockDetail_A')" \
  "$(sql "$db" <<'SQL'
SELECT i.allow_row_locks, i.allow_page_locks,
  (SELECT s.no_recompute FROM sys.stats s WHERE s.object_id = i.object_id AND s.stats_id = i.index_id),
  (SELECT is_not_for_replication FROM sys.check_constraints WHERE name = 'CK_StockDetail_Price'),
  (SELECT lock_escalation_desc FROM sys.tables WHERE object_id = i.object_id),
  (SELECT MAX(data_compression_desc) FROM sys.partitions
   WHERE object_id = i.object_id AND index_id IN (0, 1)),
  (SELECT t.name FROM sys.trigger_events te JOIN sys.triggers t ON t.object_id = te.object_id
   WHERE t.parent_id = i.object_id AND te.is_last = 1)
FROM sys.indexes i WHERE i.object_id = OBJECT_ID('StockDetail') AND i.name = 'IX_StockDetail_Bill'
SQL
)"

echo "== 22. a foreign key's referenced table stays readable throughout a run"
new_database fkeys
sql "$db" <<'SQL'
CREATE TABLE StockBill (BillID varchar(20) NOT NULL PRIMARY KEY)
GO
INSERT INTO StockBill SELECT DISTINCT BillID FROM StockDetail WHERE BillID IS NOT NULL
ALTER TABLE StockDetail ADD CONSTRAINT FK_StockDetail_Bill FOREIGN KEY (BillID)
  REFERENCES StockBill (BillID)
SQL
run_slotsync --plan
check_contains "plan: the key is moved around the transaction" \
  "the foreign key FK_StockDetail_Bill of StockDetail is taken off before the run's transaction" \
  "$run_out$run_err"
# A till reads the goods master every 100 ms for 12 s and gives up after
# 2 s; a wait that runs out fails its batch.
printf '%s\n' "SET NOCOUNT ON" "SET LOCK_TIMEOUT 2000" \
  "DECLARE @until datetime = DATEADD(second, 12, GETDATE()), @n int" \
  "WHILE GETDATE() < @until BEGIN SELECT @n = COUNT(*) FROM StockBill; WAITFOR DELAY '00:00:00.100' END" |
  sql "$db" >"$work/reader" 2>&1 &
reader=$!
# TermCount, which the run drops after StockDetail, is held for 5 s: the run
# waits for it inside its transaction, StockDetail already dropped.
printf '%s\n' "BEGIN TRANSACTION" "SELECT COUNT(*) FROM TermCount WITH (TABLOCKX, HOLDLOCK)" \
  "WAITFOR DELAY '00:00:05'" "COMMIT" | sql "$db" >"$work/holder" 2>&1 &
holder=$!
sleep 1
run_slotsync --lock-timeout 30
check "foreign key: exit code" 0 "$run_exit"
reader_exit=0
wait "$reader" || reader_exit=$?
check "the goods master's reader never waited 2 s" 0 "$reader_exit"
release_lock
check "the key is on the new table again, trusted" "$(printf '1\t0')" "$(sql "$db" <<'SQL'
SELECT COUNT(*), MAX(CONVERT(int, is_not_trusted)) FROM sys.foreign_keys
WHERE parent_object_id = OBJECT_ID('StockDetail') AND name = 'FK_StockDetail_Bill'
SQL
)"
# A key the server does not trust (a row without its bill) comes back as it
# was: made With NoCheck, no check tried, and the run commits.
new_database fkeys_orphan
sql "$db" <<'SQL'
CREATE TABLE StockBill (BillID varchar(20) NOT NULL PRIMARY KEY)
GO
INSERT INTO StockBill SELECT DISTINCT BillID FROM StockDetail WHERE BillID IS NOT NULL
ALTER TABLE StockDetail WITH NOCHECK ADD CONSTRAINT FK_StockDetail_Bill FOREIGN KEY (BillID)
  REFERENCES StockBill (BillID)
ALTER TABLE StockDetail NOCHECK CONSTRAINT FK_StockDetail_Bill
INSERT INTO StockDetail (DetailID, BillID) VALUES ('orphan', 'NO-SUCH-BILL')
ALTER TABLE StockDetail CHECK CONSTRAINT FK_StockDetail_Bill
SQL
run_slotsync --lock-timeout 30
check "an untrusted key: exit code" 0 "$run_exit"
check "an untrusted key stays untrusted, and no check is tried" "$(printf '1\t1')" "$(sql "$db" <<'SQL'
SELECT COUNT(*), MAX(CONVERT(int, is_not_trusted)) FROM sys.foreign_keys
WHERE parent_object_id = OBJECT_ID('StockDetail') AND name = 'FK_StockDetail_Bill'
SQL
)"

echo "== 15. several databases at once"
new_database many1
first=$db
new_database many2
second=$db
run_exit=0
"$slotsync" --server "$server" --all-databases --user "$user" --plan --yes \
  >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
check_contains "the catalog read takes the first scratch database" "$first" "$(cat "$work/out")"
check_contains "the catalog read takes the second scratch database" "$second" "$(cat "$work/out")"
new_database many_readonly
readonly_db=$db
echo "ALTER DATABASE [$readonly_db] SET READ_ONLY WITH ROLLBACK IMMEDIATE" | sql master
run_exit=0
"$slotsync" --server "$server" --all-databases --user "$user" --plan --yes \
  >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
check_contains "a read-only database is left out with its reason" \
  "left out $readonly_db: read-only" "$(cat "$work/err")"
echo "ALTER DATABASE [$readonly_db] SET READ_WRITE WITH ROLLBACK IMMEDIATE" | sql master
run_exit=0
"$slotsync" --server "$server" --database "$first,$second" --user "$user" -j 2 --json --yes \
  >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
check "exit code of two databases at once" 0 "$run_exit"
check_contains "both committed" '"committed":2' "$(cat "$work/out")"
db=$first
check "the first database's application lock is given back" "0" \
  "$(echo "SELECT COUNT(*) FROM sys.dm_tran_locks WHERE resource_type = 'APPLICATION'" | sql "$db")"

echo "== 25. logins as sqlcmd makes them: a data source, sqlcmd's variables, Windows authentication"
# A user data source of this pass's driver and server; -S is not given.
printf '[slotsync_live]\nDriver=%s\nServer=%s\n' "$SLOTSYNC_ODBC_DRIVER" "$server" >"$work/odbc.ini"
run_exit=0
ODBCINI=$work/odbc.ini "$slotsync" --dsn slotsync_live --database "$first" --user "$user" --plan \
  --yes >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
check "exit code of a plan through a data source" 0 "$run_exit"
# sqlcmd's variables in place of -S, -d, -U and the password.
run_exit=0
env -u SLOTSYNC_PASSWORD SQLCMDSERVER="$server" SQLCMDDBNAME="$first" SQLCMDUSER="$user" \
  SQLCMDPASSWORD="$SLOTSYNC_TEST_PASSWORD" "$slotsync" --plan --yes \
  >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
check "exit code of a plan from sqlcmd's variables" 0 "$run_exit"
# Windows authentication needs a Kerberos ticket (kinit) for a login the
# server knows; only where the suite is told there is one.
if [[ "${SLOTSYNC_TEST_TRUSTED:-}" == 1 ]]; then
  run_exit=0
  env -u SLOTSYNC_PASSWORD "$slotsync" --server "$server" --database "$first" -E --plan --yes \
    >"$work/out" 2>"$work/err" </dev/null || run_exit=$?
  check "exit code of a plan with Windows authentication" 0 "$run_exit"
fi

echo "== 23. online: a writer sells throughout a run over 200,000 rows"
new_database online
# 200,000 more rows, R0..R199999, with quantities and size texts of 3 parts.
sql "$db" <<'SQL'
;WITH n AS (SELECT TOP 200000 ROW_NUMBER() OVER (ORDER BY (SELECT NULL)) - 1 AS i
  FROM sys.all_columns a CROSS JOIN sys.all_columns b)
INSERT INTO StockDetail (DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, SizeStr)
SELECT 'R' + CONVERT(varchar(10), i), i, 'B', 'S', i % 7, i % 5, 1, '1.2.3' FROM n
GO
CREATE TABLE WriterStop (Stop int NULL)
CREATE TABLE WriterStats (Inserts int, Updates int, Failures int, MaxWaitMs int)
GO
-- Made on the empty copy under names of the run's own, renamed in the cut-over.
ALTER TABLE StockDetail ADD CONSTRAINT UQ_Line UNIQUE NONCLUSTERED (DetailID, IndexNo)
ALTER TABLE StockDetail ADD CONSTRAINT CK_Qty CHECK (x_1 >= 0)
ALTER TABLE StockDetail WITH NOCHECK ADD CONSTRAINT CK_Old CHECK (x_3 < 5)
SQL
before_x2=$(echo "SELECT SUM(CONVERT(bigint, x_2)) FROM StockDetail" | sql "$db")
# A till: inserts a row and adds 1 to a random row's x_2, each statement
# timed, until told to stop (at most 10 minutes); a failed statement is
# counted, never retried.
sql "$db" >"$work/writer" 2>&1 <<'SQL' &
SET NOCOUNT ON
DECLARE @inserts int = 0, @updates int = 0, @failures int = 0, @maxWait int = 0,
  @t datetime2, @ms int, @stop datetime2 = DATEADD(minute, 10, SYSDATETIME())
WHILE NOT EXISTS (SELECT * FROM WriterStop) AND SYSDATETIME() < @stop
BEGIN
  SET @t = SYSDATETIME()
  BEGIN TRY
    INSERT INTO StockDetail (DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, SizeStr)
    VALUES (CONVERT(varchar(40), NEWID()), 0, 'W', 'W', 1, 1, 1, '1.1.1')
    SET @inserts += 1
  END TRY BEGIN CATCH SET @failures += 1 END CATCH
  SET @ms = DATEDIFF(millisecond, @t, SYSDATETIME())
  IF @ms > @maxWait SET @maxWait = @ms
  SET @t = SYSDATETIME()
  BEGIN TRY
    UPDATE StockDetail SET x_2 = ISNULL(x_2, 0) + 1
    WHERE DetailID = 'R' + CONVERT(varchar(10), ABS(CHECKSUM(NEWID())) % 200000)
    SET @updates += @@ROWCOUNT
  END TRY BEGIN CATCH SET @failures += 1 END CATCH
  SET @ms = DATEDIFF(millisecond, @t, SYSDATETIME())
  IF @ms > @maxWait SET @maxWait = @ms
  WAITFOR DELAY '00:00:00.005'
END
INSERT INTO WriterStats VALUES (@inserts, @updates, @failures, @maxWait)
SQL
writer=$!
sleep 2
run_slotsync --online --cutover-timeout 2 --retry 3
check "online run exit code" 0 "$run_exit"
check_contains "the online run says how far its copy has come" "rows copied" "$run_err"
sleep 2
echo "INSERT INTO WriterStop VALUES (1)" | sql "$db"
wait "$writer" || true
stats=$(echo "SELECT CONCAT(Inserts, ' ', Updates, ' ', Failures, ' ', MaxWaitMs) FROM WriterStats" |
  sql "$db")
read -r inserts updates writer_failures max_wait <<<"$stats"
echo "   writer: $inserts inserts, $updates updates, $writer_failures failures, longest wait $max_wait ms"
check "no statement of the writer failed" 0 "$writer_failures"
if ((max_wait > 2000)); then
  fail "the writer never waited longer than the cut-over timeout" "it waited $max_wait ms"
else
  echo "ok: the writer never waited longer than the cut-over timeout ($max_wait ms)"
fi
check "every row the writer left is in the new table" "$((200003 + inserts))" \
  "$(echo "SELECT COUNT(*) FROM StockDetail" | sql "$db")"
check "every quantity the writer left is in the new table" "$((before_x2 + updates))" \
  "$(echo "SELECT SUM(CONVERT(bigint, x_2)) FROM StockDetail" | sql "$db")"
check "the new table has the new slot" "1" \
  "$(echo "SELECT COUNT(*) FROM sys.columns WHERE object_id = OBJECT_ID('StockDetail') AND name = 'x_4'" | sql "$db")"
# The writer's own rows keep its 3 parts once they land in the new table.
check "size texts grew in the copy and the capture alike" "0" \
  "$(echo "SELECT COUNT(*) FROM StockDetail WHERE BillID <> 'W' AND SizeStr NOT LIKE '%.0'" | sql "$db")"
check "no capture and no new table left behind" "0 0" "$(sql "$db" <<'SQL'
SELECT CONCAT((SELECT COUNT(*) FROM sys.triggers WHERE name LIKE 'slotsync[_]online[_]%'), ' ',
  (SELECT COUNT(*) FROM sys.tables WHERE name LIKE 'Tmp[_]%'))
SQL
)"
check "the constraints have their names back, trusted as they were" "00 10 1 1 0" "$(sql "$db" <<'SQL'
SELECT CONCAT(
  (SELECT CONCAT(is_not_trusted, is_disabled) FROM sys.check_constraints
    WHERE parent_object_id = OBJECT_ID('StockDetail') AND name = 'CK_Qty'), ' ',
  (SELECT CONCAT(is_not_trusted, is_disabled) FROM sys.check_constraints
    WHERE parent_object_id = OBJECT_ID('StockDetail') AND name = 'CK_Old'), ' ',
  (SELECT COUNT(*) FROM sys.key_constraints
    WHERE parent_object_id = OBJECT_ID('StockDetail') AND name = 'UQ_Line' AND type = 'UQ'), ' ',
  (SELECT COUNT(*) FROM sys.indexes
    WHERE object_id = OBJECT_ID('StockDetail') AND name = 'UQ_Line' AND is_unique_constraint = 1), ' ',
  (SELECT COUNT(*) FROM sys.objects WHERE name LIKE 'slotsync[_]online[_]%'))
SQL
)"

echo "== 24. online: killed mid-copy, then --clean-up"
new_database online_killed
sql "$db" <<'SQL'
;WITH n AS (SELECT TOP 200000 ROW_NUMBER() OVER (ORDER BY (SELECT NULL)) - 1 AS i
  FROM sys.all_columns a CROSS JOIN sys.all_columns b)
INSERT INTO StockDetail (DetailID, IndexNo, x_1, x_2, x_3, SizeStr)
SELECT 'R' + CONVERT(varchar(10), i), i, 1, 1, 1, '1.2.3' FROM n
SQL
"$slotsync" --server "$server" --database "$db" --user "$user" --yes --online \
  >"$work/killed_out" 2>"$work/killed_err" </dev/null &
killed=$!
capture=""
for ((tries = 0; tries < 300; tries++)); do
  capture=$(echo "SELECT COUNT(*) FROM sys.triggers WHERE name = 'slotsync_online_StockDetail'" |
    sql "$db" || true)
  if [[ "$capture" == 1 ]]; then break; fi
  sleep 0.1
done
kill -9 "$killed" 2>/dev/null || true
wait "$killed" 2>/dev/null || true
if [[ "$capture" != 1 ]]; then
  fail "the online run was killed mid-copy" "its capture never showed"
else
  check "a killed run leaves its capture and new table, by their names" "1 1" "$(sql "$db" <<'SQL'
SELECT CONCAT((SELECT COUNT(*) FROM sys.triggers WHERE name = 'slotsync_online_StockDetail'), ' ',
  (SELECT COUNT(*) FROM sys.tables WHERE name = 'Tmp_StockDetail'))
SQL
)"
  check "a till still sells while the leftovers stand" "1" "$(sql "$db" <<'SQL'
INSERT INTO StockDetail (DetailID, x_1) VALUES ('AFTER-KILL', 1)
SELECT COUNT(*) FROM StockDetail WHERE DetailID = 'AFTER-KILL'
SQL
)"
  run_slotsync --online --clean-up
  check "--clean-up exit code" 0 "$run_exit"
  check_contains "--clean-up says what it removed" \
    "removed what an earlier online run left behind: the capture trigger dbo.slotsync_online_StockDetail" \
    "$run_err$run_out"
  check "--clean-up leaves no capture and no new table" "0 0" "$(sql "$db" <<'SQL'
SELECT CONCAT((SELECT COUNT(*) FROM sys.triggers WHERE name = 'slotsync_online_StockDetail'), ' ',
  (SELECT COUNT(*) FROM sys.tables WHERE name = 'Tmp_StockDetail'))
SQL
)"
  check "the table stands as the shop left it" "x_1,x_2,x_3 200004" "$(sql "$db" <<'SQL'
SELECT CONCAT(STUFF((SELECT ',' + name FROM sys.columns WHERE object_id = OBJECT_ID('StockDetail')
  AND name LIKE 'x[_]%' ORDER BY column_id FOR XML PATH('')), 1, 1, ''), ' ',
  (SELECT COUNT(*) FROM StockDetail))
SQL
)"
fi

echo
if ((failures)); then
  echo "live suite: $failures check(s) FAILED"
  exit 1
fi
echo "live suite: all checks passed"

#!/usr/bin/env bash
# The live SQL Server suite: slotsync against a real server, in a scratch
# database that it creates, seeds with the application's tables, and drops
# again at the end. See tests/live/README.md.
#
#   SLOTSYNC_TEST_SERVER=db01 SLOTSYNC_TEST_USER=sa SLOTSYNC_TEST_PASSWORD=... \
#     scripts/test-live.sh
#
# Without those three variables it does nothing and says so. It connects like
# slotsync does: SLOTSYNC_ODBC_DRIVER names the ODBC driver, or the best SQL
# Server driver installed is used (Microsoft's, or FreeTDS). SLOTSYNC_BUILD_DIR
# chooses the build directory (default build/live); the two programs it needs
# are built there first.
set -euo pipefail

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

echo "== building slotsync and live_sql in $build"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DSLOTSYNC_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" --target slotsync_cmd live_sql -j"$(nproc)" >/dev/null
slotsync=$build/cli/slotsync
live_sql=$build/tests/live/live_sql

db="slotsync_live_$(date +%Y%m%d%H%M%S)_$$"
created=0
work=$(mktemp -d)
failures=0

# Runs the batches on standard input (separated by GO lines) in database $1.
sql() {
  "$live_sql" --server "$server" --database "$1" --user "$user"
}

cleanup() {
  if ((created)); then
    echo "== dropping $db"
    printf '%s\nGO\n%s\n' \
      "ALTER DATABASE [$db] SET SINGLE_USER WITH ROLLBACK IMMEDIATE" \
      "DROP DATABASE [$db]" | sql master ||
      echo "warning: could not drop the scratch database $db; drop it by hand" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "live suite: stopped by the command at line $LINENO" >&2' ERR

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

# Everything a run may change, for comparing before and after.
snapshot() {
  sql "$db" <<'SQL'
SELECT t.name, ISNULL(STUFF((SELECT ',' + c.name FROM sys.columns c
  WHERE c.object_id = t.object_id ORDER BY c.column_id FOR XML PATH('')), 1, 1, ''), '')
FROM sys.tables t ORDER BY t.name
GO
SELECT OBJECT_NAME(i.object_id), i.name, i.type_desc, i.is_primary_key
FROM sys.indexes i JOIN sys.tables t ON t.object_id = i.object_id
WHERE i.name IS NOT NULL ORDER BY 1, 2
GO
SELECT DetailID, IndexNo, BillID, StoreCode, x_1, x_2, x_3, COL_LENGTH('StockDetail', 'x_4'),
  CONVERT(varchar(20), Price), CONVERT(varchar(20), Amount), Memo, SizeIndex, SizeStr
FROM StockDetail ORDER BY DetailID
GO
SELECT 'StockDetail_U', COUNT(*) FROM StockDetail_U UNION ALL
SELECT 'StockDetail_I', COUNT(*) FROM StockDetail_I UNION ALL
SELECT 'StockDetail_D', COUNT(*) FROM StockDetail_D UNION ALL
SELECT 'TermCount', COUNT(*) FROM TermCount UNION ALL
SELECT 'OtherDetail', COUNT(*) FROM OtherDetail
GO
SELECT TableTag, Modified, FixedField, FixedFieldKind FROM S_Modify ORDER BY TableTag
GO
SELECT CallNo, TableTag FROM TriggerCalls ORDER BY CallNo
SQL
}

echo "== creating $db on $server"
printf 'CREATE DATABASE [%s] COLLATE Chinese_PRC_CI_AS\n' "$db" | sql master
created=1

echo "== seeding the application's tables"
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

echo "== 1. a dry run changes nothing"
before=$(snapshot)
run_slotsync --dry-run
check "dry run exit code" 0 "$run_exit"
check_contains "dry run summary" \
  "dry run: N=4, StockDetailTemp has 3 slot columns; 3 of 3 flagged tables would be rebuilt" \
  "$run_out"
check "dry run leaves every table and flag as before" "$before" "$(snapshot)"

echo "== 2. a run rebuilds the flagged tables and commits"
run_slotsync
check "exit code" 0 "$run_exit"
check "summary" \
  "committed: N=4, StockDetailTemp has 3 slot columns; 3 of 3 flagged tables rebuilt" "$run_out"
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

echo "== 3. a run that fails in its last table leaves everything as before"
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

echo "== 4. a fallen size count with quantities in the dropped slot is refused"
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
check "exit code" 1 "$run_exit"
check_contains "the size-decrease notice" "尺码组包含尺码数量变少" "$run_err"
check_contains "the refusal" \
  "slotsync: TableTag 10: StockDetail holds quantities in x_4, above the 3 size slots" "$run_err"
check "nothing lost: every table and flag as before" "$before" "$(snapshot)"
check "the quantity in x_4 is still there" "7" \
  "$(echo "SELECT x_4 FROM StockDetail WHERE DetailID = 'D1'" | sql "$db")"

echo "== 5. a busy database: a terminal holding a table, another run holding the database"
sql "$db" <<'SQL'
UPDATE StockDetail SET x_4 = 0
SQL
# A second session keeps StockDetail locked for a while.
printf '%s\n' "BEGIN TRANSACTION" "SELECT COUNT(*) FROM StockDetail WITH (TABLOCKX, HOLDLOCK)" \
  "WAITFOR DELAY '00:00:15'" "ROLLBACK" | sql "$db" >/dev/null 2>&1 &
holder=$!
sleep 3
before=$(snapshot)
run_slotsync --lock-timeout 2 --log "$work/audit.jsonl"
check "exit code when a table is held" 5 "$run_exit"
check_contains "the holder is named" "is held by session" "$run_err"
check "nothing changed" "$before" "$(snapshot)"
check_contains "the audit line" '"outcome":"locked out"' "$(cat "$work/audit.jsonl")"
if grep -q -- "$SLOTSYNC_TEST_PASSWORD" "$work/audit.jsonl"; then
  check "no password in the audit log" "absent" "present"
fi
wait "$holder" || true
# Another run's application lock, held by a session of its own.
printf '%s\n' "EXEC sp_getapplock @Resource=N'slotsync:$db', @LockMode='Exclusive', @LockOwner='Session'" \
  "WAITFOR DELAY '00:00:15'" | sql "$db" >/dev/null 2>&1 &
holder=$!
sleep 3
run_slotsync --lock-timeout 2
check "exit code when another run holds the database" 5 "$run_exit"
check_contains "whose run it waited for" "waiting up to 2 s for the run of session" "$run_err"
wait "$holder" || true
run_slotsync
check "once free, the run goes through" 0 "$run_exit"
check "the application lock is given back" "0" \
  "$(echo "SELECT COUNT(*) FROM sys.dm_tran_locks WHERE resource_type = 'APPLICATION'" | sql "$db")"

echo
if ((failures)); then
  echo "live suite: $failures check(s) FAILED"
  exit 1
fi
echo "live suite: all checks passed"

(* slotsync for Delphi and Free Pascal host programs: the declarations of
  include/slotsync/slotsync.h, which stays the reference; read it for what
  each function and field means.

  All texts are zero-terminated GBK (code page 936) strings, PAnsiChar here.
  The functions are stdcall on 32-bit Windows and cdecl everywhere else, as
  the C header declares them; callbacks given in TSlotsyncOptions must be
  declared the same way:

    procedure OnStatement(Context: Pointer; Statement: PAnsiChar;
      Outcome: Integer); {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};

  The records are laid out field for field as the C structures, with C's
  alignment; a test compares their sizes and offsets with the header's.
  Set size to SizeOf(the record) before a call. *)
unit slotsync;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$PACKRECORDS C}
{$ELSE}
  {$ALIGN 8}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  SlotsyncLibrary = 'slotsync.dll';
{$ELSE}
  SlotsyncLibrary = 'slotsync'; { libslotsync.so }
{$ENDIF}

  { How a run ended (SlotsyncOutcome). }
  SLOTSYNC_IN_STEP = 0;
  SLOTSYNC_COMMITTED = 1;
  SLOTSYNC_ROLLED_BACK = 2;
  SLOTSYNC_FAILED_BEFORE_TRANSACTION = 3;
  SLOTSYNC_COMMIT_UNKNOWN = 4;
  SLOTSYNC_BUSY = 5;
  SLOTSYNC_BAD_ARGUMENTS = 6;
  SLOTSYNC_PREVIEWED = 7;
  SLOTSYNC_PLANNED = 8;
  SLOTSYNC_PLAN_REFUSED = 9;
  SLOTSYNC_LOCKED_OUT = 10;

  { How one statement ended, for OnStatement. }
  SLOTSYNC_STATEMENT_OK = 0;
  SLOTSYNC_STATEMENT_FAILED_IGNORED = 1;
  SLOTSYNC_STATEMENT_FAILED = 2;
  SLOTSYNC_STATEMENT_PLANNED = 3;
  SLOTSYNC_STATEMENT_PLANNED_IGNORED = 4;
  SLOTSYNC_STATEMENT_PLANNED_CHECK = 5;
  SLOTSYNC_STATEMENT_PLANNED_BEFORE = 6;
  SLOTSYNC_STATEMENT_PLANNED_AFTER = 7;

  { How the connection is encrypted (TSlotsyncOptions.encrypt). }
  SLOTSYNC_ENCRYPT_DEFAULT = 0;
  SLOTSYNC_ENCRYPT_STRICT = 1;
  SLOTSYNC_ENCRYPT_MANDATORY = 2;
  SLOTSYNC_ENCRYPT_OPTIONAL = 3;

  { What a run does to a flagged table (TSlotsyncTableReport.kind). }
  SLOTSYNC_TABLE_DETAIL = 0;
  SLOTSYNC_TABLE_PER_TERMINAL = 1;
  SLOTSYNC_TABLE_NOTHING_TO_DO = 2;

  { What happened to a flagged table (TSlotsyncTableReport.status). }
  SLOTSYNC_TABLE_PLANNED = 0;
  SLOTSYNC_TABLE_WORKING = 1;
  SLOTSYNC_TABLE_REBUILT = 2;
  SLOTSYNC_TABLE_UNCHANGED = 3;
  SLOTSYNC_TABLE_AT_NOTICE = 4;
  SLOTSYNC_TABLE_FAILED = 5;
  SLOTSYNC_TABLE_UNDONE = 6;
  SLOTSYNC_TABLE_REFUSED = 7;
  SLOTSYNC_TABLE_NOT_REACHED = 8;
  SLOTSYNC_TABLE_COMMIT_UNKNOWN = 9;
  SLOTSYNC_TABLE_INTERRUPTED = 10;

  { How much a finding weighs. }
  SLOTSYNC_PROBLEM = 0;
  SLOTSYNC_NOTICE = 1;
  SLOTSYNC_NOTE = 2;

  { What OnProgress is told. }
  SLOTSYNC_PROGRESS_PROMPT = 0;
  SLOTSYNC_PROGRESS_SHOW = 1;
  SLOTSYNC_PROGRESS_TABLE = 2;
  SLOTSYNC_PROGRESS_CLOSE = 3;
  SLOTSYNC_PROGRESS_WAITING = 4;
  SLOTSYNC_PROGRESS_CHECKING = 5;
  { online: how far a detail table's copy has come, with the time left }
  SLOTSYNC_PROGRESS_COPYING = 6;

type
  TSlotsyncSize = NativeUInt; { size_t }

  TSlotsyncStatementCallback = procedure(Context: Pointer; Statement: PAnsiChar;
    Outcome: Integer); {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};
  TSlotsyncProgressCallback = procedure(Context: Pointer; Event: Integer;
    Text: PAnsiChar); {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};
  TSlotsyncNoticeCallback = function(Context: Pointer; Caption, Text: PAnsiChar;
    Flags: Cardinal): Integer; {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};
  TSlotsyncMessageCallback = procedure(Context: Pointer; Statement, SqlState: PAnsiChar;
    NativeError: Integer; Message: PAnsiChar); {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};

  PSlotsyncTableReport = ^TSlotsyncTableReport;
  TSlotsyncTableReport = record
    size: TSlotsyncSize;
    tableTag: Integer;
    kind: Integer;
    tableName: PAnsiChar;
    rows: Int64;
    rowsLost: Int64;
    slotsNow: Integer;
    slotsAfter: Integer;
    columnsAdded: PAnsiChar;
    columnsDropped: PAnsiChar;
    sizeTextsUpdated: Integer;
    triggerCalled: Integer;
    problems: Integer;
    status: Integer;
    seconds: Double;
    position: Integer;
    count: Integer;
    rowsCopied: Int64;
    skipReason: PAnsiChar;
    indexesCarried: Integer;
    constraintsCarried: Integer;
    permissionsCarried: Integer;
    triggersCarried: Integer;
    descriptionsCarried: Integer;
    dependentsLost: PAnsiChar;
    emptied: PAnsiChar;
  end;

  TSlotsyncTableCallback = procedure(Context: Pointer; Table: PSlotsyncTableReport);
    {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};
  TSlotsyncFindingCallback = procedure(Context: Pointer; TableTag, Severity: Integer;
    Message: PAnsiChar); {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};

  PSlotsyncOptions = ^TSlotsyncOptions;
  TSlotsyncOptions = record
    size: TSlotsyncSize;
    dryRun: Integer;
    showWindow: Integer;
    onStatement: TSlotsyncStatementCallback;
    statementContext: Pointer;
    onProgress: TSlotsyncProgressCallback;
    progressContext: Pointer;
    onNotice: TSlotsyncNoticeCallback;
    noticeContext: Pointer;
    onMessage: TSlotsyncMessageCallback;
    messageContext: Pointer;
    plan: Integer;
    onTableReport: TSlotsyncTableCallback;
    tableReportContext: Pointer;
    onFinding: TSlotsyncFindingCallback;
    findingContext: Pointer;
    encrypt: Integer;
    trustServerCertificate: Integer;
    lockTimeout: Integer;
    onTableProgress: TSlotsyncTableCallback;
    tableProgressContext: Pointer;
    logFile: PAnsiChar;
    { 'zh_CN' or 'en'; nil: SLOTSYNC_LANG, else the user's UI language }
    language: PAnsiChar;
    { non-zero: Windows authentication (sqlcmd -E); user and password '' }
    trustedConnection: Integer;
    { an ODBC data source set up by the administrator; the server '' }
    dataSource: PAnsiChar;
    { non-zero: copy while the shop works, switch over in one short transaction }
    online: Integer;
    { seconds, with online: the longest a till waits on the run; 0: 2 s }
    cutoverTimeout: Integer;
    { with online: cut-overs tried again after a lock-out }
    cutoverRetries: Integer;
    { with online: only remove what killed online runs left behind }
    onlineCleanUp: Integer;
  end;

  PSlotsyncResult = ^TSlotsyncResult;
  TSlotsyncResult = record
    size: TSlotsyncSize;
    outcome: Integer;
    slotCount: Integer;
    slotColumns: Integer;
    flaggedRows: Integer;
    rebuiltTables: Integer;
    hasFailedTableTag: Integer;
    failedTableTag: Integer;
    message: array[0..1023] of AnsiChar;
    tablesAtNotice: Integer;
    tableAtNotice: Integer;
    rowsCopied: Int64;
    statementsSent: Int64;
    seconds: Double;
    { what the run changed and could not undo, each named in the message;
      a run that did not commit left the database as it found it only when 0 }
    leftBehind: Integer;
  end;

procedure RefreshStruct(Server, Database, User, Password: PAnsiChar);
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF}; external SlotsyncLibrary name 'RefreshStruct';

function RefreshStructEx(Server, Database, User, Password: PAnsiChar;
  Options: PSlotsyncOptions; Result: PSlotsyncResult): Integer;
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF}; external SlotsyncLibrary name 'RefreshStructEx';

function RefreshStructLastError: PAnsiChar;
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF}; external SlotsyncLibrary name 'RefreshStructLastError';

{ Asks the run in progress, on another thread, to stop and roll back;
  1 when there was one, 0 when not. }
function RefreshStructCancel: Integer;
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF}; external SlotsyncLibrary name 'RefreshStructCancel';

function SlotsyncVersion: PAnsiChar;
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF}; external SlotsyncLibrary name 'SlotsyncVersion';

implementation

end.

/* slotsync: brings the size-slot columns x_1..x_N of an order, stock and
 * invoicing database in line with its size groups.
 *
 * One call is one restructure run: it opens its own connection, compares N,
 * the largest number of sizes in any size group, with the slot columns of
 * StockDetailTemp and, when they differ, rebuilds every table that S_Modify
 * flags as rebuildable and modified, inside one transaction.
 *
 * All texts crossing this interface are zero-terminated 8-bit strings in the
 * GBK code page (code page 936). Only one run may be in progress in a process
 * at a time; a call made meanwhile returns SLOTSYNC_BUSY at once.
 *
 * No function here lets an exception or a crash through: every failure is
 * recorded and can be read with RefreshStructLastError on the same thread. */
#ifndef SLOTSYNC_SLOTSYNC_H
#define SLOTSYNC_SLOTSYNC_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(SLOTSYNC_BUILDING_LIBRARY)
#define SLOTSYNC_API __declspec(dllexport)
#else
#define SLOTSYNC_API __declspec(dllimport)
#endif
#define SLOTSYNC_CALL __stdcall
#else
#define SLOTSYNC_API __attribute__((visibility("default")))
#define SLOTSYNC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* How a run ended. */
typedef enum SlotsyncOutcome {
  SLOTSYNC_IN_STEP = 0,     /* nothing to do: the slot columns match, or Size is empty */
  SLOTSYNC_COMMITTED = 1,   /* the flagged tables were rebuilt and committed */
  SLOTSYNC_ROLLED_BACK = 2, /* a failure inside the transaction; everything was undone */
  SLOTSYNC_FAILED_BEFORE_TRANSACTION = 3, /* could not run (connection refused, missing
                                             table...); nothing was changed */
  SLOTSYNC_COMMIT_UNKNOWN = 4,            /* the connection broke during the commit: whether the
                                             server took it cannot be told from here */
  SLOTSYNC_BUSY = 5,                      /* another run is in progress in this process */
  SLOTSYNC_BAD_ARGUMENTS = 6,             /* a NULL, empty or oversized argument, or an
                                             unusable options block */
  SLOTSYNC_PREVIEWED = 7,                 /* dry run: everything went through and was then rolled
                                             back as asked; a real run would have committed */
  SLOTSYNC_PLANNED = 8,      /* plan: nothing was written or locked; a run would commit */
  SLOTSYNC_PLAN_REFUSED = 9, /* plan: nothing was written or locked; a run would not
                                commit, the findings say why */
  SLOTSYNC_LOCKED_OUT = 10   /* a lock wait ran out (lockTimeout), the server chose the run
                                as a deadlock victim, or another run held the database too
                                long: rolled back or never begun, nothing was changed; the
                                message names who held the lock; worth trying again */
} SlotsyncOutcome;

/* How much the connection insists on encryption, for SlotsyncOptions.encrypt:
 * the levels of sqlcmd's -N. */
typedef enum SlotsyncEncrypt {
  SLOTSYNC_ENCRYPT_DEFAULT = 0,   /* mandatory, the server's certificate accepted unchecked */
  SLOTSYNC_ENCRYPT_STRICT = 1,    /* TLS from the first byte; certificate and host name checked
                                     (ODBC Driver 18 for SQL Server or later) */
  SLOTSYNC_ENCRYPT_MANDATORY = 2, /* encrypted or no connection; the certificate is checked
                                     unless trustServerCertificate is set */
  SLOTSYNC_ENCRYPT_OPTIONAL = 3   /* encrypted only if the server insists: user and password
                                     may travel in clear */
} SlotsyncEncrypt;

/* How one statement ended, for SlotsyncOptions.onStatement. */
typedef enum SlotsyncStatementOutcome {
  SLOTSYNC_STATEMENT_OK = 0,
  SLOTSYNC_STATEMENT_FAILED_IGNORED = 1, /* a drop whose failure the rebuild ignores */
  SLOTSYNC_STATEMENT_FAILED = 2,
  /* A plan's statements, never sent: */
  SLOTSYNC_STATEMENT_PLANNED = 3,         /* a write the run would send */
  SLOTSYNC_STATEMENT_PLANNED_IGNORED = 4, /* a write whose failure the run passes over */
  SLOTSYNC_STATEMENT_PLANNED_CHECK = 5,   /* a check the run makes with its reads (the
                                             quantities above N, the copied row count),
                                             written as T-SQL for a script */
  /* Foreign keys of the tables a run drops: taking one off, dropping its
   * table or making it holds the table it references until the transaction
   * ends, so the run moves them outside its transaction. */
  SLOTSYNC_STATEMENT_PLANNED_BEFORE = 6, /* a write sent before the transaction, in one short
                                            transaction of its own (the keys taken off) */
  SLOTSYNC_STATEMENT_PLANNED_AFTER = 7   /* a write sent after the commit, each on its own (the
                                            keys made again and checked); its failure is
                                            reported, the commit stands */
} SlotsyncStatementOutcome;

/* What a run does to a flagged table. */
typedef enum SlotsyncTableKind {
  SLOTSYNC_TABLE_DETAIL = 0,       /* rebuilt with its rows copied */
  SLOTSYNC_TABLE_PER_TERMINAL = 1, /* recreated empty by design */
  SLOTSYNC_TABLE_NOTHING_TO_DO = 2 /* TableTags 27 and 35 */
} SlotsyncTableKind;

/* What happened to a flagged table during a run (SlotsyncTableReport.status),
 * settled at the run's end from what the run did and whether it committed. */
typedef enum SlotsyncTableStatus {
  SLOTSYNC_TABLE_PLANNED = 0,        /* a plan: a run would rebuild it */
  SLOTSYNC_TABLE_WORKING = 1,        /* onTableProgress: begun; rows once counted, else -1 */
  SLOTSYNC_TABLE_REBUILT = 2,        /* rebuilt; at the end: rebuilt and committed */
  SLOTSYNC_TABLE_UNCHANGED = 3,      /* skipped by design (TableTags 27 and 35): skipReason */
  SLOTSYNC_TABLE_AT_NOTICE = 4,      /* rebuilt, its size texts left at the size-decrease notice:
                                        stays flagged, the run goes on and commits */
  SLOTSYNC_TABLE_FAILED = 5,         /* its rebuild failed; the run rolled back */
  SLOTSYNC_TABLE_UNDONE = 6,         /* rebuilt, then undone when the run rolled back */
  SLOTSYNC_TABLE_REFUSED = 7,        /* the check before the transaction refused it: never begun */
  SLOTSYNC_TABLE_NOT_REACHED = 8,    /* the run ended before it came to this table */
  SLOTSYNC_TABLE_COMMIT_UNKNOWN = 9, /* rebuilt, but the link broke during the commit */
  SLOTSYNC_TABLE_INTERRUPTED = 10    /* under way when the run was cancelled (Ctrl+C,
                                        RefreshStructCancel): rolled back with the run */
} SlotsyncTableStatus;

/* How much a finding weighs. */
typedef enum SlotsyncSeverity {
  SLOTSYNC_PROBLEM = 0, /* a run would not commit (rolls back, or does not start) */
  SLOTSYNC_NOTICE = 1,  /* a run commits, but the table stays flagged */
  SLOTSYNC_NOTE = 2     /* something the plan cannot know before the run */
} SlotsyncSeverity;

/* One flagged table as the run's check before its transaction (or a plan)
 * found it. Texts are GBK and valid during the callback only. */
typedef struct SlotsyncTableReport {
  size_t size; /* sizeof(SlotsyncTableReport) as the library knows it */
  int tableTag;
  int kind;                   /* a SlotsyncTableKind */
  const char* tableName;      /* S_Modify.TableName */
  long long rows;             /* rows to copy (detail) or held (per-terminal); -1 unknown */
  long long rowsLost;         /* rows of the tables recreated empty: at the end of a run,
                                 lost only when it committed (0 otherwise); in a plan, what a
                                 run would lose; -1 unknown */
  int slotsNow;               /* the highest slot column the table has */
  int slotsAfter;             /* N, when the table has size columns */
  const char* columnsAdded;   /* column names, separated by "," */
  const char* columnsDropped; /* column names, separated by "," */
  int sizeTextsUpdated;       /* non-zero: SizeStr is extended */
  int triggerCalled;          /* non-zero: CreateInvoiceDetailTrigger runs */
  int problems;               /* problems and notices found for this table */
  int status;                 /* a SlotsyncTableStatus */
  double seconds;             /* how long its rebuild took */
  int position;               /* its place among the flagged tables, from 1; 0 in a plan */
  int count;                  /* the flagged tables of the run */
  long long rowsCopied;       /* rows the copy carried over, by its own count; -1 when no
                                 copy ran */
  const char* skipReason;     /* status SLOTSYNC_TABLE_UNCHANGED: why; "" otherwise */
  /* What the table and its companions held beyond their columns and get
   * back on the new tables: as planned by the check before the transaction,
   * then as the rebuild sent it (a trigger whose namesake the application's
   * trigger procedure made is not carried). */
  int indexesCarried;         /* secondary indexes */
  int constraintsCarried;     /* check, default, unique and foreign key constraints */
  int permissionsCarried;     /* GRANT and DENY, on the table and its columns */
  int triggersCarried;        /* triggers */
  int descriptionsCarried;    /* extended properties of the table and its columns */
  const char* dependentsLost; /* what the rebuild loses by design, each with the reason,
                                 one per line; "" when nothing */
  const char* emptied;        /* the tables behind rowsLost (companions, per-terminal
                                 tables), one per line: the name, a tab, its rows (-1
                                 unknown); "" when none */
} SlotsyncTableReport;

/* What the progress callback is told. */
typedef enum SlotsyncProgressEvent {
  SLOTSYNC_PROGRESS_PROMPT = 0,  /* text: the prompt to show */
  SLOTSYNC_PROGRESS_SHOW = 1,    /* tables are about to be rebuilt: show the prompt; text "" */
  SLOTSYNC_PROGRESS_TABLE = 2,   /* text: the TableTag handed to a rebuilder, in decimal */
  SLOTSYNC_PROGRESS_CLOSE = 3,   /* the run is over: remove the display; text "" */
  SLOTSYNC_PROGRESS_WAITING = 4, /* text: another run holds the database; whose, and how long
                                    this one waits */
  SLOTSYNC_PROGRESS_CHECKING = 5, /* text: what the check before the transaction reads ("checking
                                    3 tables: rights, room, dependents"); a host may ignore it */
  SLOTSYNC_PROGRESS_COPYING = 6   /* online: how far the copy of a detail table has come, in
                                    rows and batches, with the time left; at most once a
                                    second, and after a table's last batch */
} SlotsyncProgressEvent;

/* Every statement text in the order sent, with its outcome (a
 * SlotsyncStatementOutcome). */
typedef void(SLOTSYNC_CALL* SlotsyncStatementCallback)(void* context, const char* statement,
                                                       int outcome);
/* A warning the server sent with a statement that succeeded (SQLSTATE class
 * 01, such as the caution sp_rename gives), for the statement just reported. */
typedef void(SLOTSYNC_CALL* SlotsyncMessageCallback)(void* context, const char* statement,
                                                     const char* sqlState, int nativeError,
                                                     const char* message);
typedef void(SLOTSYNC_CALL* SlotsyncTableCallback)(void* context, const SlotsyncTableReport* table);
/* One finding: tableTag 0 for the database as a whole; severity is a
 * SlotsyncSeverity; message (GBK) names the table, the column and the text,
 * and what to change. */
typedef void(SLOTSYNC_CALL* SlotsyncFindingCallback)(void* context, int tableTag, int severity,
                                                     const char* message);
/* event is a SlotsyncProgressEvent. */
typedef void(SLOTSYNC_CALL* SlotsyncProgressCallback)(void* context, int event, const char* text);
/* Shows a notice and waits for the user; flags and the result are those of
 * the Windows MessageBox function (the result 1 is OK). */
typedef int(SLOTSYNC_CALL* SlotsyncNoticeCallback)(void* context, const char* caption,
                                                   const char* text, unsigned flags);

typedef struct SlotsyncOptions {
  /* sizeof(SlotsyncOptions) as the caller knows it, so the block can grow;
   * fields beyond this size take their defaults. Must be at least the offset
   * of dryRun plus its size. */
  size_t size;
  /* Non-zero: the whole run happens inside its transaction and is then
   * rolled back, never committed: a faithful preview (SLOTSYNC_PREVIEWED). */
  int dryRun;
  /* Non-zero: show the built-in progress display (the progress window on
   * Windows, a line on standard error elsewhere). Ignored when onProgress is
   * set, which replaces it. */
  int showWindow;
  SlotsyncStatementCallback onStatement; /* may be NULL */
  void* statementContext;
  SlotsyncProgressCallback onProgress; /* may be NULL */
  void* progressContext;
  /* Replaces the built-in notice (a message box on Windows, standard error
   * elsewhere); may be NULL. */
  SlotsyncNoticeCallback onNotice;
  void* noticeContext;
  /* Each warning of a statement that succeeded, after onStatement reported
   * it; may be NULL. */
  SlotsyncMessageCallback onMessage;
  void* messageContext;
  /* Non-zero: plan only. Every read a run makes, but no transaction, no
   * write and no table lock; every problem of every flagged table is found.
   * The writes go to onStatement as SLOTSYNC_STATEMENT_PLANNED*, in order,
   * after the SLOTSYNC_PROGRESS_TABLE event of their table. Outcome
   * SLOTSYNC_PLANNED or SLOTSYNC_PLAN_REFUSED. */
  int plan;
  /* At the end of a run that got as far as its flagged tables: each table,
   * then each finding. Either may be NULL. */
  SlotsyncTableCallback onTableReport;
  void* tableReportContext;
  SlotsyncFindingCallback onFinding;
  void* findingContext;
  /* A SlotsyncEncrypt. */
  int encrypt;
  /* Non-zero: accept the server's certificate without checking it (still
   * encrypted). Ignored by SLOTSYNC_ENCRYPT_STRICT, which always checks, and
   * implied by SLOTSYNC_ENCRYPT_DEFAULT. */
  int trustServerCertificate;
  /* Seconds any lock wait of a rebuild may last (SET LOCK_TIMEOUT, and the
   * wait for another run's hold on the database); when one runs out the run
   * rolls back and ends SLOTSYNC_LOCKED_OUT, as does a run the server chose
   * as a deadlock victim (the run also sends SET DEADLOCK_PRIORITY LOW).
   * 0, and RefreshStruct: 60 s. Negative: no bound (another run's hold on
   * the database: 60 s). */
  int lockTimeout;
  /* Each table as its rebuild begins (status SLOTSYNC_TABLE_WORKING), once
   * its rows are counted, and at its end; may be NULL. onTableReport gets
   * the same fields, with the plan's, for every table at the end. */
  SlotsyncTableCallback onTableProgress;
  void* tableProgressContext;
  /* The audit log (GBK path): one JSON line per run is appended. NULL: the
   * file named by the environment variable SLOTSYNC_LOG, if any. A log that
   * cannot be written is reported in the message, never fails the run. */
  const char* logFile;
  /* The language of every message of this call (RefreshStructLastError, the
   * result's message, findings, reports, the log's message): "zh_CN" for
   * Simplified Chinese, "en" for English; another name gets English. NULL
   * or empty: the one the environment variable SLOTSYNC_LANG names, else the
   * user's UI language (Windows) or the locale's messages language. Every
   * text stays GBK; the size-decrease notice and the progress prompt are
   * always Chinese. */
  const char* language;
  /* Non-zero: Windows authentication, as sqlcmd -E: the login is the user
   * this process runs as (on Linux and macOS the Kerberos ticket it holds,
   * from kinit), sent as Trusted_Connection=yes to Microsoft's drivers and
   * FreeTDS; a driver of another family is refused. The user name and the
   * password must then be empty. */
  int trustedConnection;
  /* An ODBC data source (GBK name) that the administrator has set up: it
   * names the driver and the server, so the server name must be empty.
   * NULL or empty: the driver is chosen as SLOTSYNC_ODBC_DRIVER says. */
  const char* dataSource;
  /* Non-zero: an online run. Each flagged detail table is built as
   * dbo.Tmp_<name> while the shop goes on working: a capture trigger
   * (dbo.slotsync_online_<name>) keeps it current, its rows are copied in
   * short batches, and one short transaction switches every flagged table
   * over. No lock wait of the online run lasts longer than cutoverTimeout.
   * Unless that transaction commits, the new tables and captures are
   * removed; what a killed run left is removed by the next online run. */
  int online;
  /* Seconds, with online: the lock timeout of the online run and of its
   * cut-over, the longest a till waits on it. 0: 2 s. At most 3600. */
  int cutoverTimeout;
  /* With online: a cut-over locked out is tried again this many times,
   * pausing 2, 4, 8... seconds, while the captures keep the new tables
   * current. */
  int cutoverRetries;
  /* With online: no rebuild; only what killed online runs left behind is
   * removed, under the database's lock. SLOTSYNC_COMMITTED when something
   * was removed, SLOTSYNC_IN_STEP when there was nothing. */
  int onlineCleanUp;
} SlotsyncOptions;

typedef struct SlotsyncResult {
  /* sizeof(SlotsyncResult) as the caller knows it; set it before the call. */
  size_t size;
  int outcome;       /* a SlotsyncOutcome */
  int slotCount;     /* N: the largest number of sizes in any size group */
  int slotColumns;   /* m: slot columns StockDetailTemp has now */
  int flaggedRows;   /* S_Modify rows flagged for a rebuild */
  int rebuiltTables; /* tables rebuilt (0 after a rollback) */
  int hasFailedTableTag;
  int failedTableTag; /* the TableTag whose rebuild failed, when hasFailedTableTag */
  /* The failure message, GBK, cut at a character boundary when longer; the
   * whole text is always available from RefreshStructLastError. Empty when
   * the run went well. */
  char message[1024];
  int tablesAtNotice;   /* tables that stopped at the size-decrease notice and stay flagged */
  int tableAtNotice;    /* the first of them, when tablesAtNotice */
  long long rowsCopied; /* rows copied into rebuilt detail tables */
  long long statementsSent;
  double seconds; /* the whole run */
  /* What the run changed and could not undo before it ended (a foreign key
   * it could not put back, an online run's copy and capture it could not
   * remove), each named among the warnings of the message. A run that did
   * not commit left the database as it found it only when this is 0. */
  int leftBehind;
} SlotsyncResult;

/* One restructure run. Returns when the run has ended; success and failure
 * look alike to the caller, so read RefreshStructLastError afterwards. */
SLOTSYNC_API void SLOTSYNC_CALL RefreshStruct(const char* server, const char* database,
                                              const char* user, const char* password);

/* The same run with options and a result. options may be NULL (exactly like
 * RefreshStruct: built-in display, no callbacks); result may be NULL.
 * Returns the SlotsyncOutcome. */
SLOTSYNC_API int SLOTSYNC_CALL RefreshStructEx(const char* server, const char* database,
                                               const char* user, const char* password,
                                               const SlotsyncOptions* options,
                                               SlotsyncResult* result);

/* The message of the last RefreshStruct or RefreshStructEx call on this
 * thread, GBK; empty after a call that went well. Valid until the next call
 * on this thread. */
SLOTSYNC_API const char* SLOTSYNC_CALL RefreshStructLastError(void);

/* Asks the run in progress in this process to stop, from any thread (not
 * from a signal handler): the statement running at that moment is cancelled
 * by the driver, nothing further is sent and the run rolls back, so its
 * call returns SLOTSYNC_ROLLED_BACK (SLOTSYNC_FAILED_BEFORE_TRANSACTION if
 * it had not begun its transaction yet) with the message "the run was
 * interrupted". A commit already under way is not stopped. Returns 1 when
 * a run was in progress, 0 when none was; a call while none is in progress
 * does nothing to a later run. */
SLOTSYNC_API int SLOTSYNC_CALL RefreshStructCancel(void);

/* The library's version as "MAJOR.MINOR.PATCH"; the text is static. */
SLOTSYNC_API const char* SLOTSYNC_CALL SlotsyncVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* SLOTSYNC_SLOTSYNC_H */

// Parses a script written by "slotsync --plan --script FILE" with the
// grammars-v4 T-SQL grammar, batch by batch, after taking out the lines that
// belong to sqlcmd rather than to T-SQL (GO, :setvar, :on error exit), and
// checks the order of its batches that makes it stop in any client. Exits 1
// when a batch does not parse, unless it is one of the grammar's known gaps
// below, or when that order is broken.
'use strict';
const fs = require('fs');
const { CharStreams, CommonTokenStream } = require('antlr4ts');
const { TSqlLexer } = require('antlr4ts-sql/dist/src/grammar-output/tsql/TSqlLexer');
const { TSqlParser } = require('antlr4ts-sql/dist/src/grammar-output/tsql/TSqlParser');

// Statements SQL Server accepts that the grammar does not know.
const knownGaps = [
  // "With NoCheck" before "Add Constraint": the grammar expects "With Check" only.
  /^Alter Table \[[^\]]+\] With NoCheck Add Constraint /i,
  // Carried over from the old table: "NoCheck Constraint" (a disabled
  // constraint), "Deny", and "FillFactor" among an index's options.
  /^Alter Table \[dbo\]\.\[[^\]]+\] (With NoCheck Add|NoCheck) Constraint /i,
  /^Deny [A-Z ]+( \(\[[^\]]+\]\))? On \[dbo\]\.\[[^\]]+\] To \[[^\]]+\]$/i,
  /^Create (Unique )?(NonClustered|Clustered) Index .* With \(.*FillFactor = \d+.*\)$/i,
];

// Statements SQL Server accepts that the grammar lacks, read as one of the
// same shape it knows, so that a name that ended early still shows as a
// second statement: "With NoCheck" before "Add" (read without it),
// and a constraint checked or disabled by name (read as dropped by name).
const table = String.raw`Alter Table \[dbo\]\.\[(?:[^\]]|\]\])*\]`;
const equivalents = [
  [new RegExp(`^(${table}) With NoCheck Add Constraint `, 'i'), '$1 Add Constraint '],
  [new RegExp(`^(${table}) (With Check Check|NoCheck) Constraint `, 'i'), '$1 Drop Constraint '],
];
const parsable = (statement) =>
  equivalents.reduce((text, [pattern, replacement]) => text.replace(pattern, replacement), statement);

// The grammar's keywords are upper case; the server reads any case.
class UpperCaseStream {
  constructor(stream) { this.stream = stream; }
  LA(i) {
    const c = this.stream.LA(i);
    return c > 0 ? String.fromCodePoint(c).toUpperCase().codePointAt(0) : c;
  }
  get index() { return this.stream.index; }
  get size() { return this.stream.size; }
  get sourceName() { return this.stream.sourceName; }
  consume() { this.stream.consume(); }
  mark() { return this.stream.mark(); }
  release(marker) { this.stream.release(marker); }
  seek(index) { this.stream.seek(index); }
  getText(interval) { return this.stream.getText(interval); }
}

function syntaxErrors(text) {
  const lexer = new TSqlLexer(new UpperCaseStream(CharStreams.fromString(text)));
  const parser = new TSqlParser(new CommonTokenStream(lexer));
  const errors = [];
  const listener = { syntaxError: (_r, _s, line, column, message) => errors.push(`${line}:${column} ${message}`) };
  for (const recognizer of [lexer, parser]) {
    recognizer.removeErrorListeners();
    recognizer.addErrorListener(listener);
  }
  parser.tsql_file();
  return errors;
}

// The statements a text holds at its top level.
function statementCount(text) {
  const lexer = new TSqlLexer(new UpperCaseStream(CharStreams.fromString(text)));
  const parser = new TSqlParser(new CommonTokenStream(lexer));
  lexer.removeErrorListeners();
  parser.removeErrorListeners();
  return parser.tsql_file().batch().reduce(
      (n, b) => n + b.sql_clauses().length + (b.batch_level_statement() ? 1 : 0), 0);
}

// "--one-each FILE": a JSON array of statements a run sent. Each must parse
// as exactly one statement, and so must each text it runs through Exec(N'...'):
// a name or literal that ended early would make two.
if (process.argv[2] === '--one-each') {
  const statements = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
  let wrong = 0;
  const check = (statement, depth) => {
    const errors = syntaxErrors(parsable(statement));
    const count = statementCount(parsable(statement));
    if ((errors.length > 0 && !knownGaps.some((gap) => gap.test(statement))) || count !== 1) {
      ++wrong;
      console.log(`not one statement (${count}): ${statement}\n  ${errors.slice(0, 3).join('\n  ')}`);
    }
    if (depth > 0) return;
    for (const m of statement.matchAll(/Exec\(N'((?:[^']|'')*)'\)/g)) check(m[1].replace(/''/g, "'"), 1);
  };
  statements.forEach((statement) => check(statement, 0));
  console.log(`tsql grammar: ${statements.length} statements, ${wrong} not one statement each`);
  process.exit(wrong === 0 ? 0 : 1);
}

// "--statements": a file of plain statements (a read the command makes),
// parsed without the script's structure checks.
const statementsOnly = process.argv[2] === '--statements';
const text = fs.readFileSync(process.argv[statementsOnly ? 3 : 2], 'utf8').replace(/^\uFEFF/, '');
// sqlcmd's own lines (:setvar, :on error exit) never reach the server; its
// variables are put in as sqlcmd would.
// Anything else sqlcmd would act on is a finding: a command other than the
// script's own, a variable it does not define, and the "\\'" that go-sqlcmd
// reads as an escaped quote.
const variables = {};
const batches = [];
const sqlcmd = [];
let batch = [];
for (const line of text.split('\n')) {
  const setvar = /^\s*:setvar\s+(\w+)\s+"?([^"]*)"?\s*$/i.exec(line);
  if (setvar) variables[setvar[1].toLowerCase()] = setvar[2];
  if (/^\s*(!!|:)/.test(line) && !setvar && !/^\s*:on error (exit|ignore)\s*$/i.test(line))
    sqlcmd.push(`a sqlcmd command: ${line}`);
  for (const m of line.matchAll(/\$\((\w*)/g)) {
    if (!(m[1].toLowerCase() in variables)) sqlcmd.push(`a sqlcmd variable: ${line}`);
  }
  if (line.includes("\\'")) sqlcmd.push(`an escaped quote for go-sqlcmd: ${line}`);
  if (/^\s*GO\s*$/i.test(line)) {
    batches.push(batch.join('\n'));
    batch = [];
  } else if (!/^\s*:/.test(line)) {
    batch.push(line.replace(/\$\((\w+)\)/g, (all, name) => variables[name.toLowerCase()] ?? all));
  }
}
if (batch.join('').trim() !== '') batches.push(batch.join('\n'));

// The structure that makes the script stop in any client. A check ends its
// batch with "rollback if a transaction is open; RaisError; Set NoExec On",
// and after NOEXEC nothing runs; so a client that carries on after errors
// is still safe when nothing but comments comes before the SQLCMD-mode
// check, and every batch that changes something follows a check directly.
const stop =
    /(^|; )If .* Begin If @@TRANCOUNT>0 Rollback Transaction; RaisError\('(?:[^']|'')*', \d+, 1\); Set NoExec On; End$/;
const code = (b) => b.split('\n').filter((l) => l.trim() !== '' && !l.startsWith('--'));
const isCheck = (b) => {
  const lines = code(b);
  return lines.length > 0 && stop.test(lines[lines.length - 1]);
};
const changes = (b) => {
  const first = (code(b)[0] || '').toUpperCase();
  return first !== '' && !isCheck(b) && !/^(SELECT |SET |BEGIN TRANSACTION|COMMIT)/.test(first);
};
const structure = [];
if (!statementsOnly) checkStructure();
function checkStructure() {
const firstCode = batches.findIndex((b) => code(b).length > 0);
if (firstCode < 0 || !isCheck(batches[firstCode]) ||
    !/SqlcmdMode|N'on'<>N'on'/.test(batches[firstCode])) {
  structure.push('the first batch with T-SQL is not the SQLCMD-mode check');
}
batches.forEach((b, i) => {
  if (/RaisError/i.test(b) && !isCheck(b))
    structure.push(`a check that does not stop: ${code(b).join(' ')}`);
  if (changes(b) && (i === 0 || !isCheck(batches[i - 1])))
    structure.push(`a change without a check before it: ${code(b).join(' ')}`);
});
}
for (const problem of structure) console.log(`structure: ${problem}`);
for (const problem of sqlcmd) console.log(`sqlcmd: ${problem}`);

let failed = 0;
let gaps = 0;
for (const sql of batches) {
  const statement = sql.split('\n').filter((l) => !l.startsWith('--')).join('\n').trim();
  const errors = syntaxErrors(parsable(statement));
  if (errors.length === 0) continue;
  if (knownGaps.some((gap) => gap.test(statement))) {
    ++gaps;
    continue;
  }
  ++failed;
  console.log(`does not parse: ${statement}\n  ${errors.slice(0, 3).join('\n  ')}`);
}
console.log(`tsql grammar: ${batches.length} batches, ${failed} not parsed, ${gaps} known gaps`);
process.exit(failed === 0 && structure.length === 0 && sqlcmd.length === 0 ? 0 : 1);

{ One restructure run from a Pascal host program:
    example SERVER DATABASE USER PASSWORD
  prints every statement as it is sent, then the outcome and the counts.
  Free Pascal: fpc example.pas (slotsync.pas beside it; libslotsync.so or
  slotsync.dll found at run time). Delphi: dcc32 example.pas }
program example;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}
{$APPTYPE CONSOLE}

uses
  slotsync;

procedure PrintStatement(Context: Pointer; Statement: PAnsiChar; Outcome: Integer);
  {$IFDEF WIN32}stdcall{$ELSE}cdecl{$ENDIF};
begin
  WriteLn('statement ', Outcome, ' ', Statement);
end;

var
  Options: TSlotsyncOptions;
  Outcome: Integer;
  R: TSlotsyncResult;
begin
  if ParamCount <> 4 then
  begin
    WriteLn('usage: example SERVER DATABASE USER PASSWORD');
    Halt(2);
  end;
  FillChar(Options, SizeOf(Options), 0);
  Options.size := SizeOf(Options);
  Options.showWindow := 1;
  Options.onStatement := PrintStatement;
  FillChar(R, SizeOf(R), 0);
  R.size := SizeOf(R);
  { The texts are GBK; ASCII passes unchanged. }
  Outcome := RefreshStructEx(PAnsiChar(AnsiString(ParamStr(1))), PAnsiChar(AnsiString(ParamStr(2))),
    PAnsiChar(AnsiString(ParamStr(3))), PAnsiChar(AnsiString(ParamStr(4))), @Options, @R);
  WriteLn('outcome ', Outcome);
  WriteLn('result slotCount=', R.slotCount, ' slotColumns=', R.slotColumns, ' flaggedRows=',
    R.flaggedRows, ' rebuiltTables=', R.rebuiltTables);
  if RefreshStructLastError^ <> #0 then
    WriteLn('message ', RefreshStructLastError);
  if Outcome in [SLOTSYNC_IN_STEP, SLOTSYNC_COMMITTED, SLOTSYNC_PREVIEWED] then
    Halt(0);
  Halt(1);
end.

// What other processes read of slotsync.exe's command line once it has
// taken its arguments (cli::WideArguments): the password's argument, and
// only it, as "***", though the server's name is the same text; the line's
// length in the process's parameters shortened with it. Started with
//   -S s3cret --password s3cret -d "a b"

// clang-format off
#include "platform/win32_api.h"
#include <shellapi.h>
#include <winternl.h>
// clang-format on

#include <cwchar>
#include <string>

#include "check.h"
#include "terminal_win32.h"

int main() {
  const slotsync::cli::Arguments args = slotsync::cli::WideArguments();
  CHECK(args.size() == 6);
  if (args.size() == 6) {
    CHECK(args[1].View() == "s3cret");
    CHECK(args[3].View() == "s3cret");
    CHECK(args[5].View() == "a b");
  }
  using Query = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION information{};
  if (!CHECK(query != nullptr && query(GetCurrentProcess(), ProcessBasicInformation, &information,
                                       sizeof information, nullptr) >= 0)) {
    return slotsync_finish("command_line_test");
  }
  const UNICODE_STRING& line = information.PebBaseAddress->ProcessParameters->CommandLine;
  const std::wstring shown(line.Buffer, line.Length / sizeof(wchar_t));
  CHECK(std::wcslen(line.Buffer) == shown.size());
  CHECK(shown == GetCommandLineW());
  int count = 0;
  wchar_t** split = CommandLineToArgvW(shown.c_str(), &count);
  CHECK(split != nullptr && count == 7);
  if (split != nullptr && count == 7) {
    CHECK(std::wstring(split[2]) == L"s3cret");
    CHECK(std::wstring(split[3]) == L"--password");
    CHECK(std::wstring(split[4]) == L"***");
    CHECK(std::wstring(split[6]) == L"a b");
    CHECK(shown.find(L"s3cret") == shown.rfind(L"s3cret"));
  }
  if (split != nullptr) LocalFree(split);
  return slotsync_finish("command_line_test");
}

#include <windows.h>

#include <cstdlib>

#include "entry/audit_log.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

std::string LastErrorText() {
  return text::TrFormat("Windows error %d", GetLastError());
}

}  // namespace

AuditFile::~AuditFile() {
  Close();
}

void AuditFile::Close() noexcept {
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
}

bool AuditFile::IsOpen() const {
  return handle_ != nullptr;
}

std::string AuditFile::Open(const std::string& gbkPath) {
  Close();
  path_ = gbkPath;
  const std::u16string path = text::GbkToUtf16(gbkPath);
  // Append access alone: every write goes to the end of the file in one
  // piece, whoever else appends meanwhile.
  // The reparse point itself, never where it points (a link to another
  // file would be appended to), and then only a file on disk: a pipe or a
  // device could block or swallow the line.
  const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return text::TrFormat("the log %s could not be opened: %s", gbkPath, LastErrorText());
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(file);
    return text::TrFormat(
        "the log %s is a link, a pipe or a device, not a regular file; name the file itself",
        gbkPath);
  }
  handle_ = file;
  return {};
}

std::string AuditFile::Append(const std::string& line) {
  if (handle_ == nullptr) {
    return text::TrFormat("the log %s could not be written: %s", path_,
                          text::TrFormat("Windows error %d", ERROR_INVALID_HANDLE));
  }
  DWORD written = 0;
  const BOOL ok =
      WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (!ok || written != line.size()) {
    return text::TrFormat("the log %s could not be written: %s", path_, LastErrorText());
  }
  return {};
}

std::string AuditLogFromEnvironment() {
  const wchar_t* path = _wgetenv(L"SLOTSYNC_LOG");
  if (path == nullptr) return {};
  return text::Utf16ToGbk(reinterpret_cast<const char16_t*>(path));
}

}  // namespace slotsync::entry

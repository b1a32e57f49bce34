/* A host program as the library's users write them: it loads slotsync.dll at
 * run time, finds RefreshStruct by its plain name and calls it against a
 * loopback port where nothing listens (SLOTSYNC_ODBC_DRIVER names the ODBC
 * driver; under Wine, odbc32 hands the call on to the host's unixODBC). The
 * call must come back, with the failure recorded and no window left. */

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "check.h"

typedef void(__stdcall* RefreshStructFunction)(const char*, const char*, const char*, const char*);
typedef const char*(__stdcall* TextFunction)(void);

/* GetProcAddress returns a generic function pointer; going through
 * void (*)(void) tells the compiler the type change is meant. */
typedef void (*AnyFunction)(void);

static BOOL CALLBACK CountWindow(HWND window, LPARAM count) {
  char name[64] = {0};
  GetClassNameA(window, name, sizeof name);
  /* The input method windows the system gives a thread are not ours. */
  if (strcmp(name, "IME") != 0 && strcmp(name, "MSCTFIME UI") != 0) ++*(int*)count;
  return TRUE;
}

static int ThreadWindowCount(void) {
  int count = 0;
  EnumThreadWindows(GetCurrentThreadId(), CountWindow, (LPARAM)&count);
  return count;
}

/* What the run did with its progress window, seen through a CBT hook on
 * this thread: windows of the class TProgress_Frm created, destroyed, and
 * destroyed while visible. */
static int formsCreated;
static int formsDestroyed;
static int formsDestroyedVisible;

static int IsProgressForm(HWND window) {
  wchar_t name[64] = {0};
  GetClassNameW(window, name, 64);
  return wcscmp(name, L"TProgress_Frm") == 0;
}

static LRESULT CALLBACK WatchWindows(int code, WPARAM wParam, LPARAM lParam) {
  const HWND window = (HWND)wParam;
  if (code == HCBT_CREATEWND) {
    const CBT_CREATEWNDW* create = (const CBT_CREATEWNDW*)lParam;
    const LPCWSTR name = create->lpcs->lpszClass;
    if (!IS_INTRESOURCE(name) && wcscmp(name, L"TProgress_Frm") == 0) ++formsCreated;
  } else if (code == HCBT_DESTROYWND && IsProgressForm(window)) {
    ++formsDestroyed;
    if (IsWindowVisible(window)) ++formsDestroyedVisible;
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

/* The version in the DLL's version resource, "MAJOR.MINOR.PATCH". */
static int ResourceVersion(HMODULE dll, char* text, size_t size) {
  wchar_t path[MAX_PATH];
  DWORD ignored = 0;
  DWORD length;
  void* data;
  VS_FIXEDFILEINFO* info = NULL;
  UINT infoSize = 0;
  int found = 0;
  if (GetModuleFileNameW(dll, path, MAX_PATH) == 0) return 0;
  length = GetFileVersionInfoSizeW(path, &ignored);
  if (length == 0) return 0;
  data = HeapAlloc(GetProcessHeap(), 0, length);
  if (data != NULL && GetFileVersionInfoW(path, 0, length, data) &&
      VerQueryValueW(data, L"\\", (void**)&info, &infoSize) && infoSize >= sizeof *info) {
    snprintf(text, size, "%u.%u.%u", (unsigned)HIWORD(info->dwFileVersionMS),
             (unsigned)LOWORD(info->dwFileVersionMS), (unsigned)HIWORD(info->dwFileVersionLS));
    found = 1;
  }
  HeapFree(GetProcessHeap(), 0, data);
  return found;
}

int main(void) {
  HMODULE dll = LoadLibraryW(L"slotsync.dll");
  RefreshStructFunction refresh;
  TextFunction lastError;
  TextFunction version;
  char resourceVersion[64] = {0};
  ULONGLONG started;
  int run;

  if (!CHECK(dll != NULL)) return slotsync_finish("host_refresh_test");
  refresh = (RefreshStructFunction)(AnyFunction)GetProcAddress(dll, "RefreshStruct");
  lastError = (TextFunction)(AnyFunction)GetProcAddress(dll, "RefreshStructLastError");
  version = (TextFunction)(AnyFunction)GetProcAddress(dll, "SlotsyncVersion");
  CHECK(refresh != NULL);
  CHECK(lastError != NULL);
  CHECK(version != NULL);
  CHECK(GetProcAddress(dll, "RefreshStructEx") != NULL);
  CHECK(GetProcAddress(dll, "RefreshStructCancel") != NULL);
  /* Exported undecorated only, on 32-bit x86 as well. */
  CHECK(GetProcAddress(dll, "RefreshStruct@16") == NULL);
  CHECK(GetProcAddress(dll, "_RefreshStruct@16") == NULL);
  if (refresh == NULL || lastError == NULL || version == NULL) {
    return slotsync_finish("host_refresh_test");
  }

  printf("version: %s\n", version());
  CHECK(ResourceVersion(dll, resourceVersion, sizeof resourceVersion));
  CHECK(strcmp(resourceVersion, version()) == 0);

  /* Twice: the window classes and the run's state must not linger. */
  for (run = 0; run < 2; ++run) {
    const char* error;
    HHOOK hook = SetWindowsHookExW(WH_CBT, WatchWindows, NULL, GetCurrentThreadId());
    CHECK(hook != NULL);
    formsCreated = formsDestroyed = formsDestroyedVisible = 0;
    started = GetTickCount64();
    refresh("127.0.0.1,1", "slotsync", "sa", "secret");
    if (hook != NULL) UnhookWindowsHookEx(hook);
    /* The run made its window, hidden; the refused connection ended it
     * before anything was shown, and the window went with the run. */
    CHECK(formsCreated == 1);
    CHECK(formsDestroyed == 1);
    CHECK(formsDestroyedVisible == 0);
    error = lastError();
    printf("run %d: %lu ms, last error: %s\n", run + 1, (unsigned long)(GetTickCount64() - started),
           error != NULL ? error : "(null)");
    CHECK(error != NULL && error[0] != '\0');
    CHECK(GetTickCount64() - started < 60000);
    CHECK(ThreadWindowCount() == 0);
    {
      WNDCLASSEXW info;
      memset(&info, 0, sizeof info);
      info.cbSize = sizeof info;
      CHECK(!GetClassInfoExW(dll, L"TProgress_Frm", &info));
    }
  }
  CHECK(FreeLibrary(dll));
  return slotsync_finish("host_refresh_test");
}

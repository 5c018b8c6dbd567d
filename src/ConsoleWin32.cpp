#include <windows.h>

#include <atomic>
#include <iostream>

#include "ConsoleUnit.h"

namespace {

// The status with which Windows ends a program on Ctrl+C.
constexpr UINT kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

// A console control handler takes no context, so what it records lives here.
// The handler runs on a thread of its own that Windows starts for the event.
std::atomic<bool> interrupted{false};
HANDLE rewriteDone = nullptr;  // set when the hold ends
bool holding = false;

BOOL WINAPI RecordControlEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
    return FALSE;  // logoff and shutdown go to the next handler
  interrupted = true;
  // A closed console window ends the process as soon as this handler returns
  // (or after about 5 s): it returns only once the rewrite is done.
  if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(rewriteDone, INFINITE);
  return TRUE;
}

}  // namespace

void PrepareConsole() {
  // Standard output stays in text mode: the C runtime turns each "\n" into
  // CRLF and writes device texts byte for byte, whatever the code page.
  // Standard input in text mode drops the CR of a typed line end.
  std::ios::sync_with_stdio(false);
}

void HoldInterrupts() {
  if (holding) return;
  if (!rewriteDone) rewriteDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(rewriteDone);
  SetConsoleCtrlHandler(RecordControlEvent, TRUE);
  holding = true;
}

void ReleaseInterrupts() {
  if (!holding) return;
  holding = false;
  SetEvent(rewriteDone);  // a waiting close handler returns, and Windows ends the process
  SetConsoleCtrlHandler(RecordControlEvent, FALSE);
  if (interrupted) ExitProcess(kControlCExit);
}

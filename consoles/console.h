#pragma once
// The console both monitors share: their own console window, line output and input,
// and the control handler that releases the data library when the window is closed.
#include <windows.h>

#include "data_library.h"

namespace consoles {

// The one data library of the process. Touched by the main thread (load, calls,
// release) and by the console-close thread (ReleaseAll); DataLibrary's own guard
// serialises them, so a release waits for a call in flight and later calls find no
// library. Never destroyed: the close path ends the process under running threads.
korvane::DataLibrary& Library();

// Opens a console of the process's own (the programs are GUI-subsystem), takes the
// standard handles and installs OnConsoleControl. The title is set only when given.
void CreateConsole(const wchar_t* title = nullptr);

// Writes text + CR LF with one call: to the console, else as UTF-16LE bytes to the
// file or pipe, then flushes. Safe from any thread at once; failures are ignored.
void PrintLine(const wchar_t* text);

constexpr DWORD kLineCapacity = 4096;

struct Line {
    wchar_t text[kLineCapacity + 1];  // without the line end, NUL-terminated
    DWORD length;
};

// Blocks for one line of standard input: an echoed console line up to Enter, or a
// file or pipe up to CR, LF, CR LF or its end.
Line ReadLine();

// Console control handler: a close releases the library first; no event is handled,
// so the system ends the process.
BOOL WINAPI OnConsoleControl(DWORD event);

// Releases the data library if it is still loaded; any thread, any number of times.
void ReleaseAll();

// The standard handles CreateConsole took; exposed for PollKey.
HANDLE StandardInput();

}  // namespace consoles

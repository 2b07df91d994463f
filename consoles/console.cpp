#include "console.h"

#include <string.h>
#include <wchar.h>

namespace consoles {
namespace {

// Set once by CreateConsole before any other thread can print or read, then only
// read (deliveries print on library threads): no guard needed. Whether the output is
// a console is asked once: a handle's kind does not change while the program runs.
HANDLE g_input = nullptr;
HANDLE g_output = nullptr;
bool g_output_is_console = false;

// Storage for Library() that never runs a destructor: when the console is closed
// the system ends the process while deliveries and the main thread may still run.
union LibraryStorage {
    LibraryStorage() : library() {}
    ~LibraryStorage() {}
    korvane::DataLibrary library;
};
LibraryStorage g_library;

constexpr DWORD kLineInputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

bool IsLineEnd(wchar_t c) { return c == L'\r' || c == L'\n'; }

// Reads one byte; false at the end of input or on failure.
bool ReadByte(HANDLE input, char& byte) {
    DWORD read = 0;
    return ReadFile(input, &byte, 1, &read, nullptr) && read == 1;
}

// After a CR, takes an LF that follows it, never waiting for one.
void SkipLineFeedAfterReturn(HANDLE input) {
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        char next = 0;
        DWORD read = 0, available = 0;
        if (PeekNamedPipe(input, &next, 1, &read, &available, nullptr) && read == 1 && next == '\n')
            ReadByte(input, next);
        return;
    }
    char next = 0;
    if (ReadByte(input, next) && next != '\n') {
        LARGE_INTEGER back;
        back.QuadPart = -1;
        SetFilePointerEx(input, back, nullptr, FILE_CURRENT);
    }
}

// A file or pipe, read a byte at a time so that nothing beyond the line is taken;
// bytes are text in the console's input code page.
void ReadRedirectedLine(HANDLE input, Line& line) {
    char bytes[kLineCapacity];
    DWORD count = 0;
    char byte = 0;
    while (ReadByte(input, byte)) {
        if (byte == '\n') break;
        if (byte == '\r') {
            SkipLineFeedAfterReturn(input);
            break;
        }
        if (count < kLineCapacity) bytes[count++] = byte;
    }
    UINT code_page = GetConsoleCP();
    if (code_page == 0) code_page = CP_OEMCP;
    const int n = count ? MultiByteToWideChar(code_page, 0, bytes, static_cast<int>(count), line.text,
                                              static_cast<int>(kLineCapacity))
                        : 0;
    line.length = n > 0 ? static_cast<DWORD>(n) : 0;
}

}  // namespace

korvane::DataLibrary& Library() { return g_library.library; }

void CreateConsole(const wchar_t* title) {
    AllocConsole();  // fails when a console is already there; the std handles decide
    g_input = GetStdHandle(STD_INPUT_HANDLE);
    g_output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    g_output_is_console = GetConsoleMode(g_output, &mode) != FALSE;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (title) SetConsoleTitleW(title);
}

HANDLE StandardInput() { return g_input; }

void PrintLine(const wchar_t* text) {
    const size_t length = wcslen(text);
    const size_t units = length + 2;
    // The programs' lines fit on the stack; a longer one takes the heap.
    wchar_t local[256];
    wchar_t* buffer = local;
    if (units > sizeof local / sizeof local[0]) {
        buffer = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(wchar_t)));
        if (!buffer) return;
    }
    memcpy(buffer, text, length * sizeof(wchar_t));
    buffer[length] = L'\r';
    buffer[length + 1] = L'\n';

    // One write per line: concurrent deliveries come out as whole lines. A file or pipe
    // takes the UTF-16 bytes straight away: the console call could only fail on it.
    DWORD written = 0;
    if (!g_output_is_console || !WriteConsoleW(g_output, buffer, static_cast<DWORD>(units), &written, nullptr))
        WriteFile(g_output, buffer, static_cast<DWORD>(units * sizeof(wchar_t)), &written, nullptr);
    FlushFileBuffers(g_output);
    if (buffer != local) HeapFree(GetProcessHeap(), 0, buffer);
}

Line ReadLine() {
    Line line;
    line.length = 0;
    DWORD mode = 0;
    if (GetConsoleMode(g_input, &mode)) {
        SetConsoleMode(g_input, kLineInputMode);
        DWORD read = 0;
        if (ReadConsoleW(g_input, line.text, kLineCapacity, &read, nullptr)) {
            while (read > 0 && IsLineEnd(line.text[read - 1])) --read;
            line.length = read;
        }
    } else {
        ReadRedirectedLine(g_input, line);
    }
    line.text[line.length] = L'\0';
    return line;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) ReleaseAll();
    return FALSE;
}

void ReleaseAll() { Library().Release(); }

}  // namespace consoles

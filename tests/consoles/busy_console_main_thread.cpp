// The smallest program that shows Wine 8 hanging at the end of a process that the
// console's default handling ends: no library, no control handler, only a main thread
// busy in system calls (a line to standard output, a look at the console's input, a
// 10 ms sleep) when Ctrl+Break arrives.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    AllocConsole();
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    static const wchar_t kLine[] = L"1\r\n";
    for (;;) {
        DWORD written = 0;
        WriteFile(output, kLine, sizeof kLine - sizeof kLine[0], &written, nullptr);
        FlushFileBuffers(output);
        DWORD events = 0;
        GetNumberOfConsoleInputEvents(input, &events);
        Sleep(10);
    }
}

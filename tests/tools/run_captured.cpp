// run_captured PROGRAM OUTFILE SECONDS: starts PROGRAM with its standard output in OUTFILE
// (as a Windows parent would hand it over), lets it run for SECONDS, then ends it.
// Used by the headless demo of the console programs.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 3;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION info = {};
    wchar_t command[MAX_PATH + 3];
    swprintf(command, MAX_PATH + 3, L"\"%ls\"", argv[1]);
    if (!CreateProcessW(argv[1], command, nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &startup,
                        &info)) {
        return 4;
    }
    if (WaitForSingleObject(info.hProcess, static_cast<DWORD>(_wtoi(argv[3])) * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(out);
    return 0;
}

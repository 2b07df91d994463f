// callback_console: prints the shown spectrum value of every record the data library
// delivers, while a message box waits for the user to end the program.
#include <windows.h>

#include "console.h"
#include "format_float.h"
#include "player_data_record.h"

namespace {

constexpr wchar_t kBoxText[] = L"Нажмите на 'OK' для завершения работы программы";
constexpr wchar_t kLoadFailed[] = L"Не удалось загрузить библиотеку";
constexpr int kCallbackMode = 1;

// Called by the library on any thread, several at once; reads the record only during
// the call and shares nothing but the console output handle, which is never written
// to after start-up.
int __stdcall OnPlayerData(const void* record) {
    consoles::PrintLine(consoles::FormatFloat(korvane::ShownValue(record)).text);
    return 0;
}

// The box belongs to our foreground window, if we have one; otherwise to nobody.
HWND BoxOwner() {
    HWND foreground = GetForegroundWindow();
    DWORD pid = 0;
    if (foreground) GetWindowThreadProcessId(foreground, &pid);
    return pid == GetCurrentProcessId() ? foreground : nullptr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace consoles;
    CreateConsole();
    korvane::DataLibrary& library = Library();
    if (!library.Load()) {
        PrintLine(kLoadFailed);
        ReadLine();
    } else {
        library.SetCallBack(OnPlayerData, kCallbackMode);
        MessageBoxW(BoxOwner(), kBoxText, L"", MB_OK);
        library.Release();
    }
    ReleaseAll();
    return 0;
}

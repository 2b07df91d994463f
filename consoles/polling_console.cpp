// polling_console: asks the data library every 10 ms for a record and prints its shown
// spectrum value, "Wait" or "Error", one line per pass, until Enter is pressed.
#include <windows.h>
#include <timeapi.h>

#include "console.h"
#include "format_float.h"
#include "player_data_record.h"
#include "poll_key.h"

namespace {

constexpr wchar_t kTitle[] = L"Для закрытия окна нажмите на 'Enter'";
constexpr wchar_t kLoadFailed[] = L"Не удалось загрузить библиотеку";
constexpr wchar_t kWait[] = L"Wait";
constexpr wchar_t kError[] = L"Error";
constexpr wchar_t kEnter = L'\r';
constexpr DWORD kPassSleepMs = 10;

// GetData's buffer, kept for the whole run; main thread only.
korvane::PlayerDataRecord g_record;

void SleepOnePass() {
    static bool fine_timer = false;  // main thread only
    if (!fine_timer) {
        timeBeginPeriod(1);  // kept until the process ends
        fine_timer = true;
    }
    Sleep(kPassSleepMs);
}

void PollUntilEnter(korvane::DataLibrary& library) {
    do {
        if (!library.IsData())
            consoles::PrintLine(kWait);
        else if (!library.GetData(&g_record))
            consoles::PrintLine(kError);
        else
            consoles::PrintLine(consoles::FormatFloat(korvane::ShownValue(&g_record)).text);
        SleepOnePass();
    } while (consoles::PollKey(consoles::StandardInput()) != kEnter);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace consoles;
    CreateConsole(kTitle);
    korvane::DataLibrary& library = Library();
    if (!library.Load()) {
        PrintLine(kLoadFailed);
        ReadLine();
    } else {
        PollUntilEnter(library);
        library.Release();
    }
    ReleaseAll();
    return 0;
}

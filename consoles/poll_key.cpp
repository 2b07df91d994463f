#include "poll_key.h"

namespace consoles {

wchar_t PollKey(HANDLE input) {
    // A console input handle is signalled while input is pending: an empty buffer is
    // told by the handle itself, without a round trip to the console for a count of 0.
    // Any other handle goes on to the count, which fails on it as before.
    if (WaitForSingleObject(input, 0) == WAIT_TIMEOUT) return 0;
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending)) return 0;
    // Only the events already counted: a read beyond them would wait.
    for (DWORD i = 0; i < pending; ++i) {
        INPUT_RECORD event;
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &event, 1, &read) || read != 1) return 0;
        if (event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown)
            return event.Event.KeyEvent.uChar.UnicodeChar;  // repeat count ignored
    }
    return 0;
}

}  // namespace consoles

#pragma once
// PollKey: the next key press waiting in the console, if any, without waiting.
#include <windows.h>

namespace consoles {

// Reads the pending input events of `input` up to the first key press and returns its
// character, or 0 when none is pending or the key has no character (its event is
// consumed all the same). Other events are dropped; events behind the key press stay
// pending; nothing is echoed. 0 as well when `input` is not a console.
wchar_t PollKey(HANDLE input);

}  // namespace consoles

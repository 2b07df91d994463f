#pragma once
// DataLibrary: the binding of Korvane.dll. Loaded once, each export looked up by name
// at every call, released once.
#include <windows.h>

#include "scoped_win.h"

namespace korvane {

// The delivery handler the library calls, with the address of a record it owns.
using PlayerDataHandler = int(__stdcall*)(const void* record);

class DataLibrary {
public:
    DataLibrary() = default;
    ~DataLibrary() { Release(); }
    DataLibrary(const DataLibrary&) = delete;
    DataLibrary& operator=(const DataLibrary&) = delete;

    // Loads "Korvane.dll" from the program's folder, the system folders or PATH,
    // never from the working directory. False when no usable file was found.
    bool Load();
    bool Loaded();

    // Each yields 0 without a call when the library is gone or lacks the export.
    int SetCallBack(PlayerDataHandler handler, int mode);
    int IsAimp();
    int IsData();
    int GetData(void* record_buffer);

    // Frees the library if it is loaded; later calls see no library. Waits for a call
    // in flight on another thread; safe from any thread, any number of times.
    void Release();

private:
    int Call0(const char* name);

    // module_ is read by every call and cleared by Release; guard_ serialises them so
    // that the library is never freed under a call in flight. Deliveries take no part.
    CriticalSection guard_;
    HMODULE module_ = nullptr;
};

}  // namespace korvane

#include "data_library.h"

namespace korvane {
namespace {

constexpr wchar_t kLibraryName[] = L"Korvane.dll";

using Export0 = int(__stdcall*)();
using Export1 = int(__stdcall*)(void*);
using Export2 = int(__stdcall*)(const void*, int);

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Writes dir + "\" + file name into path; false when it does not fit or dir is empty.
bool JoinPath(wchar_t (&path)[MAX_PATH], const wchar_t* dir, size_t dir_len) {
    const size_t name_len = sizeof kLibraryName / sizeof kLibraryName[0];  // with the NUL
    if (dir_len == 0 || dir_len + 1 + name_len > MAX_PATH) return false;
    size_t n = 0;
    for (; n < dir_len; ++n) path[n] = dir[n];
    if (path[n - 1] != L'\\' && path[n - 1] != L'/') path[n++] = L'\\';
    for (size_t i = 0; i < name_len; ++i) path[n + i] = kLibraryName[i];
    return true;
}

bool IsFile(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsAbsolute(const wchar_t* dir, size_t len) {
    return (len >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) ||
           (len >= 2 && dir[0] == L'\\' && dir[1] == L'\\');
}

// The system's search order for a bare name, less the working directory (where
// anyone who can drop a file could plant a library): the program's own folder, the
// system folder, the Windows folder, then the absolute PATH entries. The first file
// found decides, as it does for the loader.
bool FindLibrary(wchar_t (&path)[MAX_PATH]) {
    wchar_t dir[MAX_PATH];
    DWORD len = GetModuleFileNameW(nullptr, dir, MAX_PATH);
    if (len > 0 && len < MAX_PATH) {
        while (len > 0 && dir[len - 1] != L'\\' && dir[len - 1] != L'/') --len;
        if (JoinPath(path, dir, len) && IsFile(path)) return true;
    }
    len = GetSystemDirectoryW(dir, MAX_PATH);
    if (len < MAX_PATH && JoinPath(path, dir, len) && IsFile(path)) return true;
    len = GetWindowsDirectoryW(dir, MAX_PATH);
    if (len < MAX_PATH && JoinPath(path, dir, len) && IsFile(path)) return true;

    const DWORD path_len = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (path_len == 0) return false;
    wchar_t* env = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, path_len * sizeof(wchar_t)));
    if (!env) return false;
    bool found = false;
    if (GetEnvironmentVariableW(L"PATH", env, path_len) < path_len) {
        for (wchar_t* entry = env; !found && *entry;) {
            wchar_t* end = entry;
            while (*end && *end != L';') ++end;
            size_t entry_len = static_cast<size_t>(end - entry);
            if (entry_len >= 2 && entry[0] == L'"' && entry[entry_len - 1] == L'"') {
                ++entry;
                entry_len -= 2;
            }
            found = IsAbsolute(entry, entry_len) && JoinPath(path, entry, entry_len) && IsFile(path);
            entry = *end ? end + 1 : end;
        }
    }
    HeapFree(GetProcessHeap(), 0, env);
    return found;
}

}  // namespace

bool DataLibrary::Load() {
    ScopedLock lock(guard_);
    if (module_) return true;
    wchar_t path[MAX_PATH];
    if (!FindLibrary(path)) return false;
    module_ = LoadLibraryW(path);
    return module_ != nullptr;
}

bool DataLibrary::Loaded() {
    ScopedLock lock(guard_);
    return module_ != nullptr;
}

int DataLibrary::SetCallBack(PlayerDataHandler handler, int mode) {
    ScopedLock lock(guard_);
    const auto fn = module_ ? Lookup<Export2>(module_, "SetCallBack") : nullptr;
    return fn ? fn(reinterpret_cast<const void*>(handler), mode) : 0;
}

int DataLibrary::IsAimp() { return Call0("IsAimp"); }
int DataLibrary::IsData() { return Call0("IsData"); }

int DataLibrary::GetData(void* record_buffer) {
    ScopedLock lock(guard_);
    const auto fn = module_ ? Lookup<Export1>(module_, "GetData") : nullptr;
    return fn ? fn(record_buffer) : 0;
}

int DataLibrary::Call0(const char* name) {
    ScopedLock lock(guard_);
    const auto fn = module_ ? Lookup<Export0>(module_, name) : nullptr;
    return fn ? fn() : 0;
}

void DataLibrary::Release() {
    ScopedLock lock(guard_);
    if (!module_) return;
    FreeLibrary(module_);
    module_ = nullptr;
}

}  // namespace korvane

// The unpacked download as a Windows user meets it: every file's version information,
// each program's manifest, and each program started from the folder after the stand-in
// was copied beside it, playing its made-up spectrum.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "bars_test_support.h"
#include "console_test_support.h"
#include "harness.h"

namespace {

const std::wstring kFolder = KORVANE_UNPACKED;

std::wstring InFolder(const std::wstring& name) { return kFolder + L"/" + name; }

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// A file's version resource as GetFileVersionInfoW hands it out.
class VersionInfo {
public:
    explicit VersionInfo(const std::wstring& file) {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
        data_.resize(size);
        ok_ = size && GetFileVersionInfoW(file.c_str(), 0, size, data_.data());
    }
    bool ok() const { return ok_; }
    // The named string of the first language the file lists.
    std::wstring String(const wchar_t* name) {
        struct Translation {
            WORD language, code_page;
        }* translation = nullptr;
        UINT size = 0;
        if (!ok_ || !VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation",
                                    reinterpret_cast<void**>(&translation), &size) ||
            size < sizeof *translation) {
            return L"(no translation)";
        }
        wchar_t key[80];
        swprintf(key, 80, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language, translation->code_page, name);
        wchar_t* value = nullptr;
        if (!VerQueryValueW(data_.data(), key, reinterpret_cast<void**>(&value), &size) || !value) return L"(none)";
        return value;
    }
    const VS_FIXEDFILEINFO* Fixed() {
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT size = 0;
        if (!ok_ || !VerQueryValueW(data_.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
            size < sizeof *fixed) {
            return nullptr;
        }
        return fixed;
    }

private:
    std::vector<char> data_;
    bool ok_ = false;
};

// The project version "x.y.z" as the fixed part holds it: x.y, z.0.
void VersionParts(DWORD* high, DWORD* low) {
    unsigned major = 0, minor = 0, patch = 0;
    swscanf(KORVANE_VERSION, L"%u.%u.%u", &major, &minor, &patch);
    *high = MAKELONG(minor, major);
    *low = MAKELONG(0, patch);
}

TEST(PackageFiles, EachFileCarriesItsVersionInformation) {
    const struct {
        const wchar_t* file;
        const wchar_t* original_name;
        DWORD type;
        const wchar_t* described_as;  // a word its description must hold
    } cases[] = {
        {L"bars_window.exe", L"bars_window.exe", VFT_APP, L"bars"},
        {L"callback_console.exe", L"callback_console.exe", VFT_APP, L"per record"},
        {L"polling_console.exe", L"polling_console.exe", VFT_APP, L"every 10 ms"},
        {L"stand-in/Korvane.dll", L"Korvane.dll", VFT_DLL, L"Stand-in"},
    };
    DWORD high = 0, low = 0;
    VersionParts(&high, &low);
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.file));
        VersionInfo info(InFolder(c.file));
        ASSERT_TRUE(info.ok()) << "no version information";
        EXPECT_NE(info.String(L"FileDescription").find(c.described_as), std::wstring::npos)
            << Narrow(info.String(L"FileDescription"));
        EXPECT_EQ(info.String(L"ProductName"), L"Korvane monitors");
        EXPECT_EQ(info.String(L"FileVersion"), KORVANE_VERSION);
        EXPECT_EQ(info.String(L"ProductVersion"), KORVANE_VERSION);
        EXPECT_EQ(info.String(L"OriginalFilename"), c.original_name);
        EXPECT_NE(info.String(L"LegalCopyright").find(L"MIT License"), std::wstring::npos)
            << Narrow(info.String(L"LegalCopyright"));
        const VS_FIXEDFILEINFO* fixed = info.Fixed();
        ASSERT_NE(fixed, nullptr);
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileVersionMS, high);
        EXPECT_EQ(fixed->dwFileVersionLS, low);
        EXPECT_EQ(fixed->dwProductVersionMS, high);
        EXPECT_EQ(fixed->dwProductVersionLS, low);
        EXPECT_EQ(fixed->dwFileType, c.type);
    }
}

// Resource 1 of type RT_MANIFEST: what the loader reads when it starts a program.
std::string Manifest(const std::wstring& file) {
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return "";
    std::string text;
    if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
        if (bytes) text.assign(bytes, SizeofResource(module, found));
    }
    FreeLibrary(module);
    return text;
}

TEST(PackageFiles, EachProgramRunsAsInvokerOnWindows7To11AndKeepsItsLook) {
    const char* supported[] = {
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
    };
    for (const wchar_t* program : {L"bars_window.exe", L"callback_console.exe", L"polling_console.exe"}) {
        SCOPED_TRACE(Narrow(program));
        const std::string manifest = Manifest(InFolder(program));
        ASSERT_FALSE(manifest.empty()) << "no manifest";
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        for (const char* os : supported) EXPECT_NE(manifest.find(os), std::string::npos) << os;
        // DPI awareness would change the window's size, common controls 6 its look.
        for (const char* absent : {"dpiAware", "Common-Controls"})
            EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
    }
}

// The programs run from the unpacked folder, as a user would start them there.
class PackagePrograms : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // The stand-in's own modes, not a test's control block or a WAV file.
        SetEnvironmentVariableW(L"KORVANE_SIM_CONTROL", nullptr);
        SetEnvironmentVariableW(L"KORVANE_SIM_WAV", nullptr);
        copied_ = CopyFileW(InFolder(L"stand-in/Korvane.dll").c_str(), InFolder(L"Korvane.dll").c_str(), FALSE);
    }
    void SetUp() override { ASSERT_TRUE(copied_) << "could not copy stand-in/Korvane.dll beside the programs"; }

    static bool copied_;
};
bool PackagePrograms::copied_ = false;

// Lines that are all numbers as the programs print them.
bool AllNumbers(const std::vector<std::wstring>& lines) {
    for (const std::wstring& line : lines) {
        wchar_t* end = nullptr;
        std::wcstod(line.c_str(), &end);
        if (line.empty() || *end) return false;
    }
    return true;
}

TEST_F(PackagePrograms, BarsWindowShowsLiveFrames) {
    harness::Process process;
    ASSERT_TRUE(process.Start(InFolder(L"bars_window.exe")));
    const HWND window = harness::WaitForWindow(process.pid(), L"BarsWindow", nullptr, bars_test::kStartTimeoutMs);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(harness::WindowText(window), bars_test::kTitle);
    const std::vector<HWND> children = harness::Children(window);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_TRUE(harness::WaitForText(children[0], bars_test::kPlayerRunning, 5000));
    // A fresh canvas is white; the made-up spectrum moves, so frames keep changing.
    const std::vector<std::uint32_t> white(bars_test::kCanvasWidth * bars_test::kCanvasHeight, 0xFFFFFFu);
    std::set<std::vector<std::uint32_t>> frames;
    const DWORD start = GetTickCount();
    while (frames.size() < 3 && GetTickCount() - start < 15000) {
        const std::vector<std::uint32_t> canvas = harness::ReadClientPixels(
            window, bars_test::kCanvasX, bars_test::kCanvasY, bars_test::kCanvasWidth, bars_test::kCanvasHeight);
        if (canvas != white) frames.insert(canvas);
        Sleep(100);
    }
    EXPECT_GE(frames.size(), 3u) << "distinct frames seen";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(process.WaitExit(10000), 0u);
}

// A console program started from the folder with its output in a file.
class ConsoleRun {
public:
    explicit ConsoleRun(const wchar_t* program) {
        path_ = harness::FreshDir(std::wstring(L"package_") + program) + L"/out.txt";
        file_ = harness::CreateInheritableFile(path_);
        harness::StartOptions options;
        options.std_output = file_;
        started_ = process.Start(InFolder(std::wstring(program) + L".exe"), options);
    }
    ~ConsoleRun() {
        process.Kill();
        CloseHandle(file_);
    }
    bool started() const { return started_; }
    // Whether at least n whole lines came within the timeout.
    bool WaitLines(size_t n, DWORD timeout_ms) {
        const DWORD start = GetTickCount();
        for (;;) {
            const std::vector<unsigned char> bytes = harness::ReadFileBytes(path_);
            size_t ends = 0;
            for (size_t i = 0; i + 3 < bytes.size(); i += 2)
                if (bytes[i] == '\r' && bytes[i + 1] == 0 && bytes[i + 2] == '\n' && bytes[i + 3] == 0) ++ends;
            if (ends >= n) return true;
            if (GetTickCount() - start > timeout_ms) return false;
            Sleep(100);
        }
    }
    // Everything it printed; once it has ended.
    std::vector<std::wstring> Lines() { return console_test::DecodeLines(harness::ReadFileBytes(path_)); }

    harness::Process process;

private:
    std::wstring path_;
    HANDLE file_ = nullptr;
    bool started_ = false;
};

TEST_F(PackagePrograms, CallbackConsolePrintsAValuePerDelivery) {
    ConsoleRun run(L"callback_console");
    ASSERT_TRUE(run.started());
    const HWND box = console_test::WaitForBox(run.process.pid(), 15000);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(run.WaitLines(10, 15000));
    ASSERT_TRUE(harness::DismissBox(box, harness::Dismiss::kOkButton));
    EXPECT_EQ(run.process.WaitExit(10000), 0u);
    EXPECT_TRUE(AllNumbers(run.Lines()));
}

TEST_F(PackagePrograms, PollingConsolePrintsAValuePerPass) {
    ConsoleRun run(L"polling_console");
    ASSERT_TRUE(run.started());
    EXPECT_TRUE(run.WaitLines(10, 15000));
    ASSERT_TRUE(console_test::PressEnter(run.process.pid()));
    EXPECT_EQ(run.process.WaitExit(10000), 0u);
    EXPECT_TRUE(AllNumbers(run.Lines()));
}

}  // namespace

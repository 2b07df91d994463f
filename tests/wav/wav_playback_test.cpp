// The stand-in playing sox-made signals, loaded into this process: what it delivers and
// what its exports answer while it plays, at the end, and for files it cannot play.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "wav_test_support.h"

using namespace wav_test;

namespace {

int PeakBin(const Bins& bins) { return static_cast<int>(std::max_element(bins.begin(), bins.end()) - bins.begin()); }

// Whether `done` comes true within the timeout, looked at every 5 ms.
template <typename Condition>
bool WaitFor(Condition done, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(5);
    }
    return true;
}

TEST(WavPlayback, APureToneFillsTheBinOfItsFrequencyForTheFileSLength) {
    const struct {
        const wchar_t* file;
        int bin;
        size_t records;  // ceil(frames / round(rate / 40))
    } cases[] = {
        {L"tone_44100_s16_mono_bin20", 20, 40},
        {L"tone_48000_f32_stereo_bin120", 120, 40},
        {L"tone_22050_s16_stereo_bin72", 72, 41},
        {L"tone_8000_f32_mono_bin10", 10, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file, c.file + wcslen(c.file)));
        LoadedStandIn lib(Signal(c.file));
        ASSERT_TRUE(lib.loaded());
        const DWORD start = GetTickCount();
        EXPECT_EQ(lib.SetCallBack(), 1);
        EXPECT_EQ(lib.IsAimp(), 1);
        // While it plays: the first record is there well before the file's end.
        EXPECT_TRUE(WaitFor([&] { return lib.IsData() == 1; }, 5000));
        Bins fetched{};
        EXPECT_EQ(lib.GetData(&fetched), 1);
        EXPECT_EQ(PeakBin(fetched), c.bin);
        ASSERT_TRUE(lib.WaitStopped(5000));
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_GE(elapsed, 900u) << "played in real time";
        EXPECT_EQ(lib.IsData(), 0);
        EXPECT_EQ(lib.GetData(&fetched), 0);

        const std::vector<Bins> records = lib.Records();
        EXPECT_EQ(records.size(), c.records);
        // The last windows reach past the file's end and may hold next to nothing.
        size_t audible = 0;
        for (size_t r = 0; r < records.size(); ++r) {
            if (records[r][PeakBin(records[r])] < 1.0f) continue;
            ++audible;
            EXPECT_EQ(PeakBin(records[r]), c.bin) << "record " << r;
            EXPECT_EQ(TallestBand(records[r].data()), TallestBand([&] {
                          Bins only{};
                          only[c.bin] = 50;
                          return only;
                      }().data()))
                << "record " << r;
        }
        EXPECT_GE(audible + 3, records.size());
        // A half-scale tone: a whole window shows 50.
        ASSERT_FALSE(records.empty());
        EXPECT_NEAR(records[0][c.bin], 50.0f, 1.0f);
        Sleep(200);
        EXPECT_EQ(lib.Records().size(), records.size()) << "no delivery after the end";
    }
}

TEST(WavPlayback, DuringALogSweepTheTallestBandNeverMovesLeftByMoreThanOne) {
    LoadedStandIn lib(Signal(L"sweep"));
    ASSERT_TRUE(lib.loaded());
    lib.SetCallBack();
    ASSERT_TRUE(lib.WaitStopped(8000));
    const std::vector<Bins> records = lib.Records();
    ASSERT_EQ(records.size(), 120u);
    int previous = TallestBand(records[0].data());
    const int first = previous;
    for (size_t r = 1; r < records.size(); ++r) {
        const int band = TallestBand(records[r].data());
        EXPECT_GE(band, previous - 1) << "record " << r;
        previous = band;
    }
    // 100 Hz to 18 kHz crosses nearly all bars.
    EXPECT_LE(first, 3);
    EXPECT_EQ(previous, 17);
}

TEST(WavPlayback, SilenceGivesAllZeroBinsAndNoiseFillsThem) {
    {
        LoadedStandIn lib(Signal(L"silence"));
        ASSERT_TRUE(lib.loaded());
        lib.SetCallBack();
        ASSERT_TRUE(lib.WaitStopped(5000));
        const std::vector<Bins> records = lib.Records();
        EXPECT_EQ(records.size(), 40u);
        for (const Bins& bins : records)
            for (float v : bins) ASSERT_EQ(v, 0.0f);
    }
    {
        LoadedStandIn lib(Signal(L"noise"));
        ASSERT_TRUE(lib.loaded());
        lib.SetCallBack();
        ASSERT_TRUE(lib.WaitStopped(5000));
        const std::vector<Bins> records = lib.Records();
        EXPECT_EQ(records.size(), 40u);
        for (const Bins& bins : records) {
            const auto silent = std::count(bins.begin() + 1, bins.end(), 0.0f);
            EXPECT_LT(silent, 10) << "white noise reaches every part of the spectrum";
            for (float v : bins) ASSERT_TRUE(v >= 0.0f && v < 50.0f) << v;
        }
    }
}

TEST(WavPlayback, LoopsWhenAskedAndStopsAtRelease) {
    LoadedStandIn lib(Signal(L"tone_8000_f32_mono_bin10"), true);
    ASSERT_TRUE(lib.loaded());
    // Polling alone starts the player: no handler is needed.
    EXPECT_EQ(lib.IsAimp(), 1);
    Sleep(1500);
    EXPECT_EQ(lib.IsAimp(), 1) << "still playing past the file's end";
    Bins fetched{};
    EXPECT_EQ(lib.GetData(&fetched), 1);
    EXPECT_EQ(PeakBin(fetched), 10);
    lib.SetCallBack();
    EXPECT_TRUE(WaitFor([&] { return lib.Records().size() >= 30; }, 10000)) << "deliveries while it loops";
    lib.Release();
    const size_t at_release = lib.Records().size();
    Sleep(200);
    EXPECT_EQ(lib.Records().size(), at_release);
}

TEST(WavPlayback, AFileItCannotPlayLeavesThePlayerNotRunning) {
    const std::wstring dir = harness::FreshDir(L"wav_bad_files");
    const struct {
        const char* name;
        std::string bytes;  // written to a file; "" with no_file: no such file
        bool no_file;
    } cases[] = {
        {"no such file", "", true},
        {"empty file", "", false},
        {"text", "hello, this is not a sound file at all", false},
        {"RIFF header cut short", std::string("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00", 22), false},
        {"8-bit PCM",
         std::string("RIFF\x28\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x44\xac\x00\x00\x44\xac\x00\x00"
                     "\x01\x00\x08\x00" "data\x04\x00\x00\x00\x80\x80\x80\x80", 48),
         false},
        {"valid format, no samples",
         std::string("RIFF\x24\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x44\xac\x00\x00\x88\x58\x01\x00"
                     "\x02\x00\x10\x00" "data\x00\x00\x00\x00", 44),
         false},
        {"data size huge, one odd byte",
         std::string("RIFF\xff\xff\xff\xffWAVEfmt \x10\x00\x00\x00\x01\x00\x01\x00\x44\xac\x00\x00\x88\x58\x01\x00"
                     "\x02\x00\x10\x00" "data\xff\xff\xff\xff\x01", 45),
         false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = dir + L"\\bad" + std::to_wstring(index++) + L".wav";
        if (!c.no_file) {
            HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(f, INVALID_HANDLE_VALUE);
            DWORD written = 0;
            WriteFile(f, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), &written, nullptr);
            CloseHandle(f);
        }
        LoadedStandIn lib(path);
        ASSERT_TRUE(lib.loaded());
        EXPECT_EQ(lib.SetCallBack(), 1);
        EXPECT_EQ(lib.IsAimp(), 0);
        EXPECT_EQ(lib.IsData(), 0);
        Bins fetched{};
        EXPECT_EQ(lib.GetData(&fetched), 0);
        Sleep(100);
        EXPECT_TRUE(lib.Records().empty());
    }
}

TEST(WavPlayback, TestModeWinsOverAWavFile) {
    harness::SimControl sim;
    sim->is_aimp = 0;
    LoadedStandIn lib(Signal(L"tone_44100_s16_mono_bin20"));
    ASSERT_TRUE(lib.loaded());
    lib.SetCallBack();
    EXPECT_EQ(lib.IsAimp(), 0);
    Sleep(200);
    EXPECT_TRUE(lib.Records().empty());
    EXPECT_EQ(sim.Calls(korvane::sim::kIsAimp), 1);
}

}  // namespace

#include "made_up_music_source.h"

#include <windows.h>

#include <cstring>

#include "delivery_engine.h"
#include "made_up_music.h"

namespace korvane::sim {
namespace {

constexpr double kRecordsPerSecond = 30.0;

INIT_ONCE g_start_once = INIT_ONCE_STATIC_INIT;

void Play(void*) {
    static PlayerDataRecord record;  // the one playing thread's
    double next = Seconds();
    for (;;) {
        MadeUpMusicRecord(record);
        if (!Deliver(&record)) return;
        next += 1.0 / kRecordsPerSecond;
        if (!WaitUntil(next)) return;
    }
}

BOOL CALLBACK StartPlaying(INIT_ONCE*, void*, void**) {
    if (GrowPool(1) > 0) RunJob(Play, nullptr);
    return TRUE;
}

}  // namespace

void StartMadeUpMusic() { InitOnceExecuteOnce(&g_start_once, StartPlaying, nullptr, nullptr); }

void MadeUpMusicRecord(PlayerDataRecord& record) {
    std::memset(&record, 0, sizeof record);
    float bins[kSpectrumBinCount];
    DemoSpectrum(Seconds(), bins, kSpectrumBinCount);
    std::memcpy(record.bytes + kSpectrumOffset, bins, sizeof bins);
}

}  // namespace korvane::sim

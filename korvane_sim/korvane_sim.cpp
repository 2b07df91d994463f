// Our stand-in Korvane.dll: its entry point and four exports, each answered by one of
// four sources. Demo mode (default): a live made-up spectrum about 30 times a second.
// WAV mode (KORVANE_SIM_WAV names a file): that file's spectrum in real time. Live mode
// (KORVANE_SIM_CAPTURE): the spectrum of what the computer plays or hears. Test mode
// (KORVANE_SIM_CONTROL names a control block): every answer and every delivery is the
// test's. Test mode wins over live mode, which wins over WAV mode, which wins over the
// demo. Built also without
// one export at a time (KORVANE_SIM_WITHOUT_<Export>) for the failure paths.
#include <windows.h>

#include "delivery_engine.h"
#include "live_sound.h"
#include "made_up_music_source.h"
#include "test_control.h"
#include "wav_playback.h"

using namespace korvane::sim;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        AttachEngine();
        if (!AttachTestControl() && !AttachLiveSound()) AttachWavPlayback();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // At process exit (reserved set) the system has already ended our threads.
        ReleaseEngine();
        DetachTestControl();
        DetachLiveSound();
        DetachWavPlayback();
    }
    return TRUE;
}

#define KORVANE_EXPORT extern "C" __declspec(dllexport)

#ifndef KORVANE_SIM_WITHOUT_SetCallBack
KORVANE_EXPORT int __stdcall SetCallBack(const void* handler, int mode) {
    if (InTestMode()) TestSetCallBack(mode);
    SetHandler(reinterpret_cast<Handler>(const_cast<void*>(handler)));
    if (InLiveMode()) {
        StartLiveSound();
    } else if (InWavMode()) {
        StartWavPlayback();
    } else if (InTestMode()) {
        StartTakingOrders();
    } else {
        StartMadeUpMusic();
    }
    return 1;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_IsAimp
KORVANE_EXPORT int __stdcall IsAimp() {
    if (InLiveMode()) return LiveIsAimp();
    if (InWavMode()) return WavIsAimp();
    return InTestMode() ? TestIsAimp() : 1;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_IsData
KORVANE_EXPORT int __stdcall IsData() {
    if (InLiveMode()) return LiveIsData();
    if (InWavMode()) return WavIsData();
    return InTestMode() ? TestIsData() : 1;
}
#endif

#ifndef KORVANE_SIM_WITHOUT_GetData
KORVANE_EXPORT int __stdcall GetData(void* buffer) {
    if (InLiveMode()) return LiveGetData(buffer);
    if (InWavMode()) return WavGetData(buffer);
    if (InTestMode()) return TestGetData(buffer);
    if (!buffer) return 0;
    MadeUpMusicRecord(*static_cast<korvane::PlayerDataRecord*>(buffer));
    return 1;
}
#endif

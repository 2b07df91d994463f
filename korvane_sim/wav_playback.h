#pragma once
// WAV mode: KORVANE_SIM_WAV names a file, played in real time through the WAV source
// (wav_source.h); KORVANE_SIM_WAV_LOOP=1 loops it.
namespace korvane::sim {

// DllMain's attach: reads the setting. True when WAV mode is on.
bool AttachWavPlayback();
bool InWavMode();

// Every export starts the playing at its first call; the file is opened then, not in
// DllMain, so that the loader lock never waits on a disk.
void StartWavPlayback();
int WavIsAimp();
int WavIsData();
int WavGetData(void* buffer);

// DllMain's detach, after the engine's release.
void DetachWavPlayback();

}  // namespace korvane::sim

#pragma once
// Live mode: KORVANE_SIM_CAPTURE names what to listen to (live_capture.h): `loopback`,
// `input`, or part of an endpoint's name. One record of the newest sound every 1/40 s by
// the clock, records of zeros through silence and while no device can be had.
namespace korvane::sim {

// DllMain's attach: reads the setting. True when live mode is on.
bool AttachLiveSound();
bool InLiveMode();

// Every export starts the listening thread at its first call; capture is set up on that
// thread, never in DllMain. The first call waits (at most a second) for the first
// attempt to open the endpoint, so that IsAimp answers for the device from the start.
void StartLiveSound();
int LiveIsAimp();
int LiveIsData();
int LiveGetData(void* buffer);

// DllMain's detach, after the engine's release.
void DetachLiveSound();

}  // namespace korvane::sim

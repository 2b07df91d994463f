#pragma once
// Live sound from an audio endpoint through WASAPI in shared mode: what the computer plays
// (loopback of the default output), what it hears (the default input), or the first
// endpoint whose name holds a given text. Used on one thread, which has COM initialised
// as a multithreaded apartment; it opens and reopens endpoints on that thread only.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

#include "live_window.h"

namespace korvane::sim {

class LiveCapture {
public:
    // setting: "loopback", "input", or part of an endpoint's friendly name (any case).
    explicit LiveCapture(const wchar_t* setting);
    ~LiveCapture() { Close(); }
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    // Moves what the endpoint captured since the last call into `window`. With no
    // endpoint open, or once it is lost or the default endpoint has changed, it opens
    // one again: at once after a loss, then at most once a second. `now` in seconds.
    void Poll(double now, LiveWindow& window);
    // An endpoint is open and capturing.
    bool Capturing() const { return capture_ != nullptr; }
    // Stops capturing and lets go of the endpoint.
    void Close();

private:
    enum class Mode { kLoopback, kInput, kNamed };

    bool Open();
    IMMDevice* FindEndpoint(bool& loopback);
    bool DefaultChanged();
    void Report(const wchar_t* step, HRESULT result);

    Mode mode_;
    wchar_t name_part_[128] = {};
    IMMDeviceEnumerator* enumerator_ = nullptr;
    IAudioClient* client_ = nullptr;
    IAudioCaptureClient* capture_ = nullptr;
    wchar_t* endpoint_id_ = nullptr;  // of the open endpoint, to notice a new default
    SampleEncoding encoding_ = SampleEncoding::kFloat32;
    unsigned channels_ = 0;
    bool loopback_ = false;
    double next_open_ = 0.0;       // no attempt before this time
    double next_default_check_ = 0.0;
    double last_packet_ = 0.0;     // when the endpoint last gave frames
    HRESULT reported_ = S_OK;      // the failure last written, so each is written once
};

}  // namespace korvane::sim

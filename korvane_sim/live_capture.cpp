#include "live_capture.h"

#include <cwchar>

namespace korvane::sim {
namespace {

const CLSID kMMDeviceEnumerator = {0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const PROPERTYKEY kFriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
const GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The shared-mode buffer: room for several of our reads, which come every 25 ms.
constexpr REFERENCE_TIME kBufferDuration = 2000000;  // 200 ms in 100-ns units
// Loopback sends no packets while nothing plays: the window turns to silence after this.
constexpr double kQuietAfter = 0.1;
// An input endpoint sends packets all the time, silence too: none for this long means the
// stream is dead (a sound server gone, say), and it is opened again.
constexpr double kStalledAfter = 3.0;

const HRESULT kNoEndpoint = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kUnsupportedFormat = AUDCLNT_E_UNSUPPORTED_FORMAT;
const HRESULT kStalled = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

template <typename T>
void ReleaseCom(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

bool SameText(const wchar_t* a, const wchar_t* b) { return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL; }

bool Contains(const wchar_t* text, const wchar_t* part) {
    const int n = static_cast<int>(std::wcslen(part));
    const int m = static_cast<int>(std::wcslen(text));
    if (n == 0) return false;
    for (int i = 0; i + n <= m; ++i)
        if (CompareStringOrdinal(text + i, n, part, n, TRUE) == CSTR_EQUAL) return true;
    return false;
}

// The sample encoding of a shared-mode mix format; false for one we do not read.
bool EncodingOf(const WAVEFORMATEX& format, SampleEncoding& encoding) {
    WORD tag = format.wFormatTag;
    GUID sub = {};
    if (tag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
        sub = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat;
        tag = IsEqualGUID(sub, kSubtypePcm) ? WAVE_FORMAT_PCM : IsEqualGUID(sub, kSubtypeFloat) ? WAVE_FORMAT_IEEE_FLOAT : 0;
    }
    if (tag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 32) {
        encoding = SampleEncoding::kFloat32;
    } else if (tag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16) {
        encoding = SampleEncoding::kPcm16;
    } else {
        return false;
    }
    return format.nChannels >= 1 && format.nChannels <= kMaxChannels &&
           format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8;
}

void Append(wchar_t* line, std::size_t size, const wchar_t* text) {
    std::size_t n = std::wcslen(line);
    while (*text && n + 1 < size) line[n++] = *text++;
    line[n] = L'\0';
}

}  // namespace

LiveCapture::LiveCapture(const wchar_t* setting) {
    if (SameText(setting, L"loopback")) {
        mode_ = Mode::kLoopback;
    } else if (SameText(setting, L"input")) {
        mode_ = Mode::kInput;
    } else {
        mode_ = Mode::kNamed;
        std::size_t n = 0;
        for (; setting[n] && n + 1 < sizeof name_part_ / sizeof name_part_[0]; ++n) name_part_[n] = setting[n];
        name_part_[n] = L'\0';
    }
}

// One line for the debugger per distinct failure, so that a device that stays missing
// does not fill the log; the first success clears it.
void LiveCapture::Report(const wchar_t* step, HRESULT result) {
    if (result == reported_) return;
    reported_ = result;
    wchar_t line[256] = L"Korvane stand-in: live capture (";
    Append(line, 256, mode_ == Mode::kLoopback ? L"loopback" : mode_ == Mode::kInput ? L"input" : name_part_);
    Append(line, 256, L"): ");
    Append(line, 256, step);
    Append(line, 256, L" failed, HRESULT 0x");
    wchar_t hex[9];
    for (int i = 0; i < 8; ++i) hex[i] = L"0123456789ABCDEF"[(static_cast<unsigned long>(result) >> (28 - 4 * i)) & 0xF];
    hex[8] = L'\0';
    Append(line, 256, hex);
    Append(line, 256, L"\n");
    OutputDebugStringW(line);
}

IMMDevice* LiveCapture::FindEndpoint(bool& loopback) {
    IMMDevice* device = nullptr;
    HRESULT hr = S_OK;
    if (mode_ != Mode::kNamed) {
        loopback = mode_ == Mode::kLoopback;
        hr = enumerator_->GetDefaultAudioEndpoint(loopback ? eRender : eCapture, eConsole, &device);
        if (FAILED(hr)) Report(L"GetDefaultAudioEndpoint", hr);
        return SUCCEEDED(hr) ? device : nullptr;
    }
    // Inputs first, then outputs (whose sound is taken by loopback).
    const EDataFlow flows[] = {eCapture, eRender};
    for (EDataFlow flow : flows) {
        IMMDeviceCollection* endpoints = nullptr;
        UINT count = 0;
        if (FAILED(enumerator_->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &endpoints))) continue;
        endpoints->GetCount(&count);
        for (UINT i = 0; i < count && !device; ++i) {
            IMMDevice* candidate = nullptr;
            IPropertyStore* properties = nullptr;
            if (FAILED(endpoints->Item(i, &candidate))) continue;
            if (SUCCEEDED(candidate->OpenPropertyStore(STGM_READ, &properties))) {
                PROPVARIANT name;
                PropVariantInit(&name);
                if (SUCCEEDED(properties->GetValue(kFriendlyName, &name)) && name.vt == VT_LPWSTR &&
                    Contains(name.pwszVal, name_part_)) {
                    device = candidate;
                    candidate = nullptr;
                    loopback = flow == eRender;
                }
                PropVariantClear(&name);
                properties->Release();
            }
            ReleaseCom(candidate);
        }
        endpoints->Release();
        if (device) return device;
    }
    Report(L"finding the endpoint", kNoEndpoint);
    return nullptr;
}

bool LiveCapture::Open() {
    HRESULT hr = CoCreateInstance(kMMDeviceEnumerator, nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator_));
    if (FAILED(hr)) {
        Report(L"CoCreateInstance(MMDeviceEnumerator)", hr);
        return false;
    }
    bool loopback = false;
    IMMDevice* device = FindEndpoint(loopback);
    if (!device) {
        Close();
        return false;
    }
    hr = device->GetId(&endpoint_id_);
    if (SUCCEEDED(hr)) {
        hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client_));
        if (FAILED(hr)) Report(L"IMMDevice::Activate", hr);
    } else {
        Report(L"IMMDevice::GetId", hr);
    }
    device->Release();
    WAVEFORMATEX* format = nullptr;
    if (SUCCEEDED(hr)) {
        hr = client_->GetMixFormat(&format);
        if (FAILED(hr)) Report(L"IAudioClient::GetMixFormat", hr);
    }
    if (SUCCEEDED(hr) && !EncodingOf(*format, encoding_)) {
        hr = kUnsupportedFormat;
        Report(L"reading the mix format", hr);
    }
    if (SUCCEEDED(hr)) {
        channels_ = format->nChannels;
        hr = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0,
                                 kBufferDuration, 0, format, nullptr);
        if (FAILED(hr)) Report(L"IAudioClient::Initialize", hr);
    }
    CoTaskMemFree(format);
    if (SUCCEEDED(hr)) {
        hr = client_->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture_));
        if (FAILED(hr)) Report(L"IAudioClient::GetService(IAudioCaptureClient)", hr);
    }
    if (SUCCEEDED(hr)) {
        hr = client_->Start();
        if (FAILED(hr)) Report(L"IAudioClient::Start", hr);
    }
    if (FAILED(hr)) {
        Close();
        return false;
    }
    loopback_ = loopback;
    reported_ = S_OK;
    return true;
}

bool LiveCapture::DefaultChanged() {
    if (mode_ == Mode::kNamed) return false;
    IMMDevice* device = nullptr;
    if (FAILED(enumerator_->GetDefaultAudioEndpoint(mode_ == Mode::kLoopback ? eRender : eCapture, eConsole, &device)))
        return true;
    wchar_t* id = nullptr;
    const bool changed = FAILED(device->GetId(&id)) || !endpoint_id_ || std::wcscmp(id, endpoint_id_) != 0;
    CoTaskMemFree(id);
    device->Release();
    return changed;
}

void LiveCapture::Poll(double now, LiveWindow& window) {
    if (capture_ && now >= next_default_check_) {
        next_default_check_ = now + 1.0;
        if (DefaultChanged()) {
            Close();
            next_open_ = now;
        }
    }
    if (capture_) {
        HRESULT hr;
        UINT32 packet = 0;
        bool got = false;
        while (SUCCEEDED(hr = capture_->GetNextPacketSize(&packet)) && packet > 0) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            hr = capture_->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
            if (FAILED(hr)) break;
            if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
                window.PushSilence(frames);
            } else {
                window.Push(data, frames, encoding_, channels_);
            }
            capture_->ReleaseBuffer(frames);
            got = got || frames > 0;
        }
        if (FAILED(hr)) {
            Report(L"reading the endpoint", hr);
            Close();
            next_open_ = now;
        } else if (got) {
            last_packet_ = now;
        } else if (!loopback_ && now - last_packet_ > kStalledAfter) {
            Report(L"waiting for sound", kStalled);
            Close();
            next_open_ = now;
        } else if (now - last_packet_ > kQuietAfter) {
            window.Clear();
        }
    }
    if (!capture_) {
        window.Clear();
        if (now >= next_open_) {
            next_open_ = now + 1.0;
            if (Open()) {
                last_packet_ = now;
                next_default_check_ = now + 1.0;
            }
        }
    }
}

void LiveCapture::Close() {
    if (client_) client_->Stop();
    ReleaseCom(capture_);
    ReleaseCom(client_);
    if (endpoint_id_) CoTaskMemFree(endpoint_id_);
    endpoint_id_ = nullptr;
    // A fresh enumerator at the next attempt sees the devices as they are then.
    ReleaseCom(enumerator_);
}

}  // namespace korvane::sim

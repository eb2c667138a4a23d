#pragma once

// The input source string: its forms, its query items and the FFmpeg options
// each form is opened with. Pure functions, safe on any thread.

#include <QByteArray>
#include <QString>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

// The forms, in the order the decode thread tests them.
enum class InputSourceForm { Monitor, Window, Camera, NetworkUrl, LocalFile };

InputSourceForm inputSourceForm(const QString& source);

// Value of the "audioSource" item (the separate microphone), decoded and
// trimmed; empty when the string has none.
QString audioSourceOf(const QString& source);

// The string the rest of the open works on: the source without its
// "audioSource" item, fully percent-encoded. Unchanged when the string does
// not parse as a URL or carries no such item.
QString openStringOf(const QString& source);

// dshow://capture?video=CAMERA&audio=MICROPHONE. True when either name is
// non-empty.
bool parseDshowUrl(const QString& source, QString* video, QString* audio);
QString escapeDshowDeviceName(const QString& name);
QByteArray buildDshowDeviceSpec(const QString& video, const QString& audio);

// The device string a camera-form source opens: its "video" and
// "audio" names, without the camera's own microphone when the source names a
// separate one. Empty when the source is not of the camera form.
QByteArray cameraDeviceSpecOf(const QString& source);
// "rtbufsize" of a camera-form source.
void applyCameraInputOptions(const QString& source, AVDictionary** options);

// The proxies in effect for one open; empty means none.
struct InputProxy {
    QByteArray httpProxy;
    QString socksUrl;
};

// The proxies the application's proxy settings give right now for url.
InputProxy currentInputProxy(const QString& url);

// Timeouts, proxy, RTMP and RTSP options of a network input. Nothing for a
// string without "://" or a "dshow://" string.
void applyNetworkInputOptions(const QString& openString, AVDictionary** options, bool viaBridge);
void applyNetworkInputOptions(const QString& openString, AVDictionary** options, bool viaBridge,
                              const InputProxy& proxy);

// The stream-probe options by the open string (before any bridge rewrite).
void applyProbeOptions(const QString& openString, AVDictionary** options);

bool isLiveSourceUrl(const QString& source, const AVFormatContext* input);

// get_format callback of hardware decoder contexts: the pixel format stored
// behind the context's opaque pointer when offered, else the first offered.
AVPixelFormat selectHwPixelFormat(AVCodecContext* context, const AVPixelFormat* offered);

// Device buffer sizes and probe sizes of the capture forms.
inline constexpr const char* kCameraRtbufsize = "33554432";
inline constexpr const char* kCameraWithMicrophoneRtbufsize = "16777216";
inline constexpr const char* kMicrophoneRtbufsize = "8388608";
inline constexpr const char* kMicrophoneProbeSize = "1000000";

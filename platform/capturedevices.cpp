#include "platform/capturedevices.h"

#include <QHash>

#include <cstring>
#include <mutex>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

namespace {

using RegistryKey = QPair<int, QString>;

std::mutex registryMutex;
// Guarded by registryMutex.
QHash<RegistryKey, QByteArray>& registry()
{
    static QHash<RegistryKey, QByteArray> fakes;
    return fakes;
}

QByteArray fakeGraph(CaptureDeviceKind kind, const QString& name)
{
    std::lock_guard lock(registryMutex);
    return registry().value({int(kind), name});
}

// Splits "video=A:audio=B" at its unescaped colons and undoes the escaping
// of the names.
bool splitDeviceSpec(const QByteArray& spec, QString* video, QString* audio)
{
    const QString text = QString::fromUtf8(spec);
    QStringList parts;
    QString current;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\') && i + 1 < text.size()) {
            current += text.at(++i);
        } else if (c == QLatin1Char(':')) {
            parts << current;
            current.clear();
        } else {
            current += c;
        }
    }
    parts << current;
    for (const QString& part : parts) {
        if (part.startsWith(QLatin1String("video=")))
            *video = part.mid(6);
        else if (part.startsWith(QLatin1String("audio=")))
            *audio = part.mid(6);
        else
            return false;
    }
    return !video->isEmpty() || !audio->isEmpty();
}

// The device FFmpeg lists under a name or description, or empty.
QByteArray findListedDevice(const char* formatName, const QString& name)
{
    const AVInputFormat* format = av_find_input_format(formatName);
    if (!format)
        return {};
    AVDeviceInfoList* list = nullptr;
    if (avdevice_list_input_sources(format, nullptr, nullptr, &list) < 0 || !list) {
        avdevice_free_list_devices(&list);
        return {};
    }
    QByteArray found;
    for (int i = 0; i < list->nb_devices && found.isEmpty(); ++i) {
        const AVDeviceInfo* d = list->devices[i];
        if (QString::fromUtf8(d->device_name) == name || QString::fromUtf8(d->device_description) == name)
            found = d->device_name;
    }
    avdevice_free_list_devices(&list);
    return found;
}

// Escapes a value for a filter option inside a filter graph description:
// once for the option parser, once more for the graph parser.
QByteArray escapeGraphValue(const QByteArray& value)
{
    auto escape = [](const QByteArray& in, const char* specials) {
        QByteArray out;
        for (char c : in) {
            if (std::strchr(specials, c))
                out += '\\';
            out += c;
        }
        return out;
    };
    return escape(escape(value, "\\:'"), "\\'[],;");
}

struct DeviceSource {
    bool ok = false;
    bool fake = false;
    QByteArray graphOrDevice;
};

DeviceSource resolve(CaptureDeviceKind kind, const QString& name)
{
    const QByteArray graph = fakeGraph(kind, name);
    if (!graph.isEmpty())
        return {true, true, graph};
    if (kind == CaptureDeviceKind::Camera) {
        if (name.startsWith(QLatin1String("/dev/video")))
            return {true, false, name.toUtf8()};
        const QByteArray device = findListedDevice("video4linux2", name);
        return {!device.isEmpty(), false, device};
    }
    // Pulse lists its sources only while a server runs; an unlisted name is
    // handed to pulse as a source name and fails at the open if wrong.
    const QByteArray source = findListedDevice("pulse", name);
    return {true, false, source.isEmpty() ? name.toUtf8() : source};
}

} // namespace

CaptureInputPlan planCaptureInput(const QByteArray& deviceSpec)
{
    CaptureInputPlan plan;
    QString video;
    QString audio;
    if (!splitDeviceSpec(deviceSpec, &video, &audio)) {
        plan.error = QStringLiteral("malformed device string");
        return plan;
    }
    avdevice_register_all();
    DeviceSource camera;
    DeviceSource microphone;
    if (!video.isEmpty()) {
        camera = resolve(CaptureDeviceKind::Camera, video);
        if (!camera.ok) {
            plan.error = QStringLiteral("no camera named \"%1\"").arg(video);
            return plan;
        }
    }
    if (!audio.isEmpty())
        microphone = resolve(CaptureDeviceKind::Microphone, audio);

    plan.ok = true;
    if (camera.ok && !microphone.ok) {
        plan.formatName = camera.fake ? "lavfi" : "video4linux2";
        plan.url = camera.graphOrDevice;
    } else if (microphone.ok && !camera.ok) {
        plan.formatName = microphone.fake ? "lavfi" : "pulse";
        plan.url = microphone.graphOrDevice;
    } else {
        // One input carrying both devices, as a DirectShow graph would.
        const QByteArray videoPart = camera.fake
            ? camera.graphOrDevice
            : "movie=" + escapeGraphValue(camera.graphOrDevice) + ":f=video4linux2";
        const QByteArray audioPart = microphone.fake
            ? microphone.graphOrDevice
            : "amovie=" + escapeGraphValue(microphone.graphOrDevice) + ":f=pulse";
        plan.formatName = "lavfi";
        plan.url = videoPart + "[out0];" + audioPart + "[out1]";
    }
    return plan;
}

void registerFakeCaptureDevice(CaptureDeviceKind kind, const QString& name, const QByteArray& lavfiGraph)
{
    std::lock_guard lock(registryMutex);
    registry().insert({int(kind), name}, lavfiGraph);
}

void unregisterFakeCaptureDevice(CaptureDeviceKind kind, const QString& name)
{
    std::lock_guard lock(registryMutex);
    registry().remove({int(kind), name});
}

QStringList fakeCaptureDeviceNames(CaptureDeviceKind kind)
{
    QStringList names;
    {
        std::lock_guard lock(registryMutex);
        for (auto it = registry().cbegin(); it != registry().cend(); ++it) {
            if (it.key().first == int(kind))
                names.append(it.key().second);
        }
    }
    names.sort();
    return names;
}

#pragma once

// Linux stand-in for the DirectShow capture input. The rest of the program
// keeps naming devices with the DirectShow device string
// ("video=NAME:audio=NAME", ':' and '\' escaped with '\'); this layer turns
// that string into an FFmpeg input: video4linux2 for a camera (matched
// by its V4L2 card name or its /dev/video path), pulse for a microphone
// (source name or description), lavfi for a camera together with a
// microphone and for registered fake devices.
//
// Threads: any. The fake-device registry is guarded by its own mutex.

#include <QByteArray>
#include <QString>
#include <QStringList>

struct CaptureInputPlan {
    bool ok = false;
    QByteArray formatName; // FFmpeg input format to open url with
    QByteArray url;
    QString error;         // why no plan could be made, for the log
};

CaptureInputPlan planCaptureInput(const QByteArray& deviceSpec);

// Fake devices, for machines without cameras: a name that maps to a lavfi
// graph with one output, e.g. "testsrc2=size=640x360:rate=30,realtime" or
// "sine=f=1000:sample_rate=48000,arealtime". A registered name wins over a
// real device of the same name.
enum class CaptureDeviceKind { Camera, Microphone };
void registerFakeCaptureDevice(CaptureDeviceKind kind, const QString& name, const QByteArray& lavfiGraph);
void unregisterFakeCaptureDevice(CaptureDeviceKind kind, const QString& name);
// The registered fake names of one kind, sorted, so a device picker can
// offer them beside the real devices.
QStringList fakeCaptureDeviceNames(CaptureDeviceKind kind);

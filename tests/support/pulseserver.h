#pragma once

// A private PulseAudio server for one test executable, reachable only through
// its socket in $XDG_RUNTIME_DIR (the test home), with a 48 kHz null sink
// "out" as the default output. Start it before anything asks Qt Multimedia
// for devices: Qt connects to the sound server once per process.

#include <QString>

namespace testsupport {

class PulseServer {
public:
    static constexpr const char* kSink = "out";

    PulseServer() = default;
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the daemon and waits until it answers; false with the reason in
    // errorString() otherwise.
    bool start(int timeoutMs = 10000);
    void stop();
    QString errorString() const { return m_error; }

private:
    qint64 daemonPid() const;

    bool m_started = false;
    QString m_error;
};

} // namespace testsupport

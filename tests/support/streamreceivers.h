#pragma once

// Stream receivers on 127.0.0.1 for the publishing tests: the ffmpeg CLI
// listening for SRT, RIST, UDP, TCP, HTTP (POST) and RTP (MPEG-TS) and
// copying what arrives into a file; plus what the tests need around them
// (status words as they were reported, process faults, memory).

#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/socketpeers.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

enum class ReceiverKind { Srt, Rist, Udp, Tcp, Http };

struct ReceiverOptions {
    QString srtPassphrase; // SRT: both sides use it
    QString srtStreamId;   // SRT: the caller sends it
    QString httpUser;      // HTTP: credentials in the publish URL
    QString httpPassword;
};

// Starts a receiver writing MPEG-TS to outPath and waits until it listens.
// *publishUrl gets the URL a sender publishes to. False with the reason in
// the peer's errorString() (a missing program included).
// RIST needs a second process, ristRelay (ristreceiver handing the TS to
// the ffmpeg capture over UDP).
bool startReceiver(PeerProcess& peer, ReceiverKind kind, const QString& outPath, QString* publishUrl,
                   const ReceiverOptions& options = {}, PeerProcess* ristRelay = nullptr);
// Lets a receiver take in the last packets and end: waits for it to exit by
// itself up to graceMs, then stops it.
void finishReceiver(PeerProcess& peer, int graceMs);

// Whether a TCP socket listens on 127.0.0.1:port, read from the kernel's
// table so that no connection is made (one-shot listeners take the first).
bool tcpListenSocket(quint16 port);
// A free UDP port whose successor is free too (RTP and RIST use both).
quint16 freeUdpPortPair();

// An RTP receiver for MPEG-TS payloads (RFC 2250, payload type 33): takes
// the RTP packets arriving on a UDP port of 127.0.0.1 and writes their
// payloads, in sequence order as they came, to a TS file. Packets that are
// not RTP version 2 with payload type 33 are counted and dropped.
class RtpTsCapture {
public:
    RtpTsCapture() = default;
    ~RtpTsCapture();
    RtpTsCapture(const RtpTsCapture&) = delete;
    RtpTsCapture& operator=(const RtpTsCapture&) = delete;

    bool start(const QString& outPath); // binds a free even port
    void stop();
    quint16 port() const { return m_port; }
    int rtpPackets() const { return m_rtp.load(); }
    int foreignPackets() const { return m_foreign.load(); }
    int sequenceGaps() const { return m_gaps.load(); }

private:
    void run(QString outPath);

    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_rtp{0};
    std::atomic<int> m_foreign{0};
    std::atomic<int> m_gaps{0};
    std::thread m_thread;
};

// A TCP receiver for MPEG-TS that keeps the bytes of each connection, as
// they came, in a file of its own (capture-1.ts, capture-2.ts, ...). The
// ffmpeg CLI and nginx-rtmp start what they keep at the first key frame;
// this shows where a sender's stream really starts. The first `hangUps`
// connections are hung up after hangUpAfterMs, the rest kept until stop.
class TcpTsCaptures : public LoopbackServer {
public:
    TcpTsCaptures(const QString& dir, int hangUps, int hangUpAfterMs);
    ~TcpTsCaptures() override { stop(); }
    // The capture files in the order their connections came.
    QStringList files() const;

protected:
    void serve(int client) override;

private:
    const QString m_dir;
    const int m_hangUps;
    const int m_hangUpAfterMs;
    std::atomic<int> m_connections{0};
};

// Child process ids (nginx: the master's workers).
QList<qint64> childPids(qint64 pid);
// Sends sig to a process and its children (SIGSTOP, SIGCONT, SIGKILL).
void signalTree(qint64 pid, int sig);
// Resident memory of this process in KiB.
qint64 residentKiB();

// Status words a sink reported, per row, with the time since construction.
class StatusRecorder {
public:
    struct Entry {
        int row;
        QString word;
        qint64 ms;
    };
    StatusRecorder() { m_clock.start(); }
    void record(int row, const QString& word);
    std::vector<Entry> entries() const;
    QStringList words(int row) const;
    // Waits (processing events) until row has reported word after index
    // `after` of its words; returns the index or -1 on timeout.
    int waitFor(int row, const QString& word, int timeoutMs, int after = -1) const;
    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    QElapsedTimer m_clock;
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries; // guarded by m_mutex
};

// What a capture must show: an H.264 picture of the given size whose
// timestamps run at fps (within 3%; 0: not checked) and that decodes without
// error, starting on a key frame, with at least minFrames video packets. Empty when it does; else what is wrong. With
// lastFrameMayBeCut the last video frame is not decoded: FFmpeg's RTP
// muxer never sends the last, partly filled packet of a stream.
QString checkCapture(const QString& path, int width, int height, double fps, int minFrames,
                     bool lastFrameMayBeCut = false);

// A sink set up for publishing the way the router sets it up: software
// encoder at the fastest preset, a key frame every second, a tone as the
// program audio, no segments, status words recorded.
struct PublishingSink {
    FfmpegEncoderSink sink;
    StatusRecorder statuses;
    TonePuller tone;

    bool configure(const QString& recording, const std::vector<StreamTarget>& targets, int bitrateKbps = 1000);
};

} // namespace testsupport

#pragma once

#include "avglue/avptr.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class SocksTcpRelay;

// One encoded packet on its way to a target, with what is needed to stamp
// it there. `packet` is the clone a stream destination's queue owns; a
// direct write leaves it null and `sessionSeq` 0.
struct QueuedPacket {
    av::PacketPtr packet;
    bool isVideo = false;
    AVRational timeBase{0, 1};  // the encoder's
    int codecId = AV_CODEC_ID_NONE;
    AVRational frameRate{0, 1};
    int sampleRate = 0;
    int frameSize = 0;          // samples per audio frame
    std::int64_t sessionSeq = 0;

    // The stamping facts of a packet from this encoder, without the packet.
    static QueuedPacket describe(const AVCodecContext* codec, bool isVideo, std::int64_t sessionSeq);
};

// What a new container's streams are made of: copies of the encoders'
// parameters, so a stream destination reopens on its own thread while the
// encoders go on.
struct MuxStreams {
    av::CodecParametersPtr video;
    av::CodecParametersPtr audio; // null: video only
    AVRational videoTimeBase{0, 1};
    AVRational videoFrameRate{0, 1};
    int audioSampleRate = 0;

    // Null video parameters when they cannot be copied.
    static MuxStreams fromEncoders(const AVCodecContext* video, const AVCodecContext* audio);
    MuxStreams copy() const;
};

// How one open goes.
struct MuxOpenOptions {
    // Stream destinations: FFmpeg's blocking I/O ends once this is set.
    const std::atomic<bool>* interrupt = nullptr;
    // Asked between the slow steps of an open; true gives the open up.
    std::function<bool()> cancelled;
    // How long a stream destination's I/O may wait for the server.
    std::int64_t ioTimeoutUs = 5000000;
};

// One muxed output: the recording file (or one of its segments) or one
// connection to a stream destination. It opens the container (through a
// local SOCKS relay when the proxy settings ask for one), stamps each packet
// for its stream (FLV fix-ups, decoding times that always increase, MP4
// durations), writes it, and writes the trailer.
//
// Threads: one at a time; the encode thread for the recording file, the
// destination's worker for a stream (see StreamPublisher).
class MuxTarget {
public:
    MuxTarget();
    ~MuxTarget();
    MuxTarget(const MuxTarget&) = delete;
    MuxTarget& operator=(const MuxTarget&) = delete;

    // Opens url (a file or a stream URL) with the named muxer, or the one
    // the URL suggests when `muxer` is empty. Logs why when it fails.
    bool open(const QByteArray& url, const QByteArray& muxer, const MuxStreams& streams,
              const MuxOpenOptions& options);
    // Stamps and writes one packet (in the descriptor's time base). The
    // FFmpeg result: < 0 when the write failed, the output's I/O error too.
    int write(AVPacket* packet, const QueuedPacket& descriptor);
    // Ends the container, with the trailer when asked, and its connection.
    void close(bool writeTrailer);

    bool isOpen() const { return formatContext != nullptr; }
    // Hands what the file's I/O buffered to the system (files only).
    void flush();
    // Bytes written so far; 0 when there is no I/O.
    std::int64_t bytesWritten() const;

private:
    void fixFlvStamps(AVPacket* packet, bool isVideo, int codecId);
    void keepVideoDtsIncreasing(AVPacket* packet);

    av::OutputFormatContextPtr formatContext; // null = not open
    AVStream* videoStream = nullptr;          // owned by formatContext
    AVStream* audioStream = nullptr;          // null when there is no audio
    std::unique_ptr<SocksTcpRelay> relay;     // local SOCKS tunnel of an RTMP destination
    bool fixTimestamps = false;               // FLV
    bool mp4Family = false;
    // The last stamps written, per kind (FLV fix-ups), and the last video
    // dts in the stream's time base.
    bool hasLastVideoPts = false;
    std::int64_t lastVideoPts = 0;
    bool hasLastAudioPts = false;
    std::int64_t lastAudioPts = 0;
    bool hasLastVideoDts = false;
    std::int64_t lastVideoDts = 0;
};

// FFmpeg's interrupt callback over an atomic flag.
int muxInterruptCallback(void* flag);
// Muxers of the MP4 family (their packets need durations).
bool isMp4FamilyMuxer(const char* name);

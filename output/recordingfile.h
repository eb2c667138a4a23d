#pragma once

#include "output/muxtarget.h"
#include "output/segmentoptions.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <thread>

// The recording of an output run: its file, split into segments at the
// first video key frame after a segment's length or size was reached, with
// stamps that start at each segment's start, and the streak of failed
// writes that gives the recording up.
//
// Threads: the encode thread only. A segment's trailer can take seconds to
// write (the MP4 index of every fragment goes in front of the file, which
// moves the whole file), so an ended segment is finished on a thread of
// its own while the next one is written; finish() and the destructor wait
// for it.
class RecordingFile {
public:
    RecordingFile(const QString& recordPath, const SegmentOptions& options);
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // Opens the first file (or segment).
    bool open(const MuxStreams& streams, const MuxOpenOptions& options);
    // Whether this packet starts the next segment: a video key frame while
    // one is due, unless the run is closing (the tail drained at close
    // stays in the current file).
    bool rotationDueAt(const AVPacket* packet, bool isVideo, bool closing) const;
    // Ends the current segment and opens the next one, whose stamps start
    // at this packet's (in the encoder's time base) and whose length counts
    // from mediaMs.
    bool rotate(const MuxStreams& streams, const MuxOpenOptions& options, const AVPacket* packet,
                AVRational timeBase, std::int64_t mediaMs);

    struct Written {
        bool keyframeWanted = false; // a segment is due: the next picture should be a key frame
        bool givenUp = false;        // writes keep failing: the recording cannot go on
    };
    // Writes one packet (a reference of the caller's, restamped here) at
    // media time mediaMs.
    Written write(AVPacket* packet, const QueuedPacket& descriptor, std::int64_t mediaMs, bool closing);
    void flush() { target->flush(); }
    // Writes the trailer of the current file, and waits until the segment
    // before it is finished too.
    void finish();

    // The file name of segment `index` (the recording path itself when
    // recordings are not split).
    static QString segmentFileName(const QString& recordPath, const SegmentOptions& options, int index);

private:
    bool noteWriteFailure(int error, bool closing);
    // Writes the trailer of an ended segment on the closing thread.
    void finishInBackground(std::unique_ptr<MuxTarget> ended);
    void waitForEndedSegment();

    QString recordPath;
    SegmentOptions options;
    std::unique_ptr<MuxTarget> target;
    std::thread endedSegmentCloser; // finishes the segment before the current one
    int segmentIndex = 1;
    std::int64_t segmentStartMs = 0;
    bool rotationPending = false;
    std::int64_t rebaseUs = -1; // the file's start in encoder time; < 0 until its first video packet
    int failureStreak = 0;
    std::int64_t failureSinceNs = 0; // when the current streak of failed writes began
    bool givenUp = false;
};

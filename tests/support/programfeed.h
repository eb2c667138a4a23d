#pragma once

#include <QString>

class FramePipeline;
class OverlayManager;

namespace testsupport {

// Plays `clip` looping on channel 1, makes channel 1 the program and waits
// until more than five program frames arrived (counted, not kept: a held
// frame never goes back to its pool). False when they did not in timeoutMs.
bool playClipAsProgram(FramePipeline& pipeline, OverlayManager* overlays, const QString& clip,
                       int timeoutMs = 10000);

// What recordProgramFor saw; the caller asserts on it.
struct ProgramRecording {
    bool started = false;    // startOutputs accepted the outputs
    bool fileOpened = false; // the recording file appeared
    // From the file's appearance to the stop request.
    double recordedSeconds = 0;
    int stops = 0;           // programOutputStopped signals after the stop
};

// Starts the outputs, waits up to 20 s for the sink to open `recordingPath`
// (on a busy machine that may take a while), records for recordMs, stops
// asynchronously and waits up to 15 s for the stop to be reported.
ProgramRecording recordProgramFor(FramePipeline& pipeline, const QString& recordingPath, int recordMs);

} // namespace testsupport

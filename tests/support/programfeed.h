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

} // namespace testsupport

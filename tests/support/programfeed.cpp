#include "support/programfeed.h"

#include "engine/compositioncontroller.h"
#include "engine/framepipeline.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSignalSpy>
#include <QTest>

namespace testsupport {

bool playClipAsProgram(FramePipeline& pipeline, OverlayManager* overlays, const QString& clip, int timeoutMs)
{
    ProgramState state;
    state.programSource = 1;
    state.sourceText = clip;
    pipeline.applyProgramState(state, overlays);
    const QString sources[4] = {clip, QString(), QString(), QString()};
    pipeline.setChannelSources(sources);
    pipeline.setChannelLooping(0, true);
    pipeline.setChannelPlayback(0, 0, true);
    int programFrames = 0;
    QObject counter;
    QObject::connect(&pipeline, &FramePipeline::programFrameReady, &counter,
                     [&programFrames](FrameTokenPtr) { ++programFrames; });
    return QTest::qWaitFor([&] { return programFrames > 5; }, timeoutMs);
}

ProgramRecording recordProgramFor(FramePipeline& pipeline, const QString& recordingPath, int recordMs)
{
    ProgramRecording result;
    result.started = pipeline.startOutputs();
    if (!result.started)
        return result;
    QElapsedTimer waitForFile;
    waitForFile.start();
    while (!QFile::exists(recordingPath) && waitForFile.elapsed() < 20000)
        QTest::qWait(5);
    result.fileOpened = QFile::exists(recordingPath);
    if (!result.fileOpened)
        return result;
    QElapsedTimer recorded;
    recorded.start();
    QTest::qWait(recordMs);
    QSignalSpy stopped(&pipeline, &FramePipeline::programOutputStopped);
    pipeline.stopOutputsAsync();
    result.recordedSeconds = recorded.elapsed() / 1000.0;
    // A stop that never comes shows as stops == 0 to the caller.
    (void)QTest::qWaitFor([&stopped] { return !stopped.isEmpty(); }, 15000);
    result.stops = int(stopped.size());
    return result;
}

} // namespace testsupport

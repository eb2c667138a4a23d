#include "support/programfeed.h"

#include "engine/compositioncontroller.h"
#include "engine/framepipeline.h"

#include <QObject>
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

} // namespace testsupport

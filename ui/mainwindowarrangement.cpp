// The main window's side of the arrangement runner: the runner's operations
// under the window's own names, and the window's objects as the runner's host.

#include "ui/mainwindow.h"

#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "ui/imageoverlaywidget.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/videoinputpanel.h"
#include "ui/videooverlaywidget.h"

#include <QDebug>

namespace {

// The window's program-source switching, its slideshow, its overlay binding
// and its input/output conflict test are not built yet. Until they are, the
// run logs the step it cannot take instead of taking it silently.
void reportMissingStep(const char* step)
{
    qWarning().noquote() << "Program arrangement: the window cannot" << step << "yet; step skipped";
}

} // namespace

void MainWindow::startProgramArrangement(const ProgramArrangement& arrangement)
{
    arrangementRunner.start(arrangement);
}

void MainWindow::stopProgramArrangement()
{
    arrangementRunner.stop();
}

bool MainWindow::arrangementRunning() const
{
    return arrangementRunner.arrangementRunning();
}

void MainWindow::tickProgramArrangement(qint64 programTimeMs)
{
    arrangementRunner.tick(programTimeMs);
}

void MainWindow::tickProgramArrangementAt(qint64 t)
{
    arrangementRunner.tickAt(t);
}

void MainWindow::tickProgramArrangementNow()
{
    arrangementRunner.tickNow();
}

const SceneClip* MainWindow::findActiveBaseClip(qint64 t) const
{
    return arrangementRunner.findActiveBaseClip(t);
}

void MainWindow::applyArrangementSceneClip(const SceneClip& clip)
{
    arrangementRunner.applySceneClip(clip, arrangementRunner.runTimeMs());
}

void MainWindow::activateArrangementOverlay(const OverlayClip& clip)
{
    arrangementRunner.activateOverlay(clip);
}

void MainWindow::deactivateArrangementOverlay(const OverlayClip& clip)
{
    arrangementRunner.deactivateOverlay(clip);
}

void MainWindow::removeArrangementOverlays()
{
    arrangementRunner.removeOverlays();
}

// ---- The runner's host ----

void MainWindow::arrangementRunningChanged(bool running)
{
    emit programArrangementRunningChanged(running);
}

OverlayManager* MainWindow::arrangementOverlayModel()
{
    return overlayManager;
}

void MainWindow::restartArrangementProgramClock()
{
    programClock.reset(0, true);
    programClock.restartTimer();
}

void MainWindow::setArrangementProgramClockPosition(qint64 ms)
{
    programClock.setPositionMs(ms);
}

void MainWindow::startArrangementImagePlayback(const QStringList& paths, int intervalMs, bool loop)
{
    Q_UNUSED(paths);
    Q_UNUSED(intervalMs);
    Q_UNUSED(loop);
    reportMissingStep("start a slideshow");
}

bool MainWindow::hasArrangementChannelStrip(int channel)
{
    return channel >= 0 && channel < int(channelPanels.size()) && channelPanels[channel];
}

void MainWindow::setArrangementChannelStripLoop(int channel, bool loop)
{
    if (hasArrangementChannelStrip(channel))
        channelPanels[channel]->setLoopEnabled(loop);
}

bool MainWindow::arrangementSourceConflicts(const QString& source, QString* error)
{
    // Without the conflict test no strip has a validator either, so loading
    // cannot open the strip's refusal box.
    Q_UNUSED(source);
    Q_UNUSED(error);
    return false;
}

void MainWindow::setArrangementChannelStripSource(int channel, const QString& source)
{
    if (hasArrangementChannelStrip(channel))
        channelPanels[channel]->setSource(source);
}

void MainWindow::setArrangementChannelLooping(int channel, bool loop)
{
    if (framePipeline)
        framePipeline->setChannelLooping(channel, loop);
}

void MainWindow::switchArrangementProgramToChannel(int channel)
{
    Q_UNUSED(channel);
    reportMissingStep("switch the program to a channel");
}

bool MainWindow::hasArrangementOverlayEditor()
{
    return mediaOverlayPanel != nullptr;
}

QObject* MainWindow::addArrangementVideoOverlay(const QString& path, QPointF topLeft)
{
    return mediaOverlayPanel ? mediaOverlayPanel->addVideoOverlay(path, topLeft) : nullptr;
}

QObject* MainWindow::addArrangementImageOverlay(const QString& path, QPointF topLeft)
{
    return mediaOverlayPanel ? mediaOverlayPanel->addImageOverlay(path, topLeft) : nullptr;
}

void MainWindow::setArrangementOverlayEditorWidth(QObject* item, int width)
{
    if (auto* video = qobject_cast<VideoOverlayWidget*>(item))
        video->setEditorWidth(width);
    else if (auto* image = qobject_cast<ImageOverlayWidget*>(item))
        image->setEditorWidth(width);
}

void MainWindow::bindArrangementVideoOverlay(QObject* item, const QString& path, const QRectF& rect)
{
    Q_UNUSED(item);
    Q_UNUSED(path);
    Q_UNUSED(rect);
    reportMissingStep("put a video overlay on the program");
}

void MainWindow::bindArrangementImageOverlay(QObject* item, const QString& path, const QRectF& rect, double opacity)
{
    Q_UNUSED(item);
    Q_UNUSED(path);
    Q_UNUSED(rect);
    Q_UNUSED(opacity);
    reportMissingStep("put an image overlay on the program");
}

void MainWindow::requestArrangementOverlayRemoval(QObject* item)
{
    // The way the item's own remove button goes: the editor deletes it later
    // and the window takes its overlay off the program.
    if (auto* video = qobject_cast<VideoOverlayWidget*>(item))
        emit video->removeRequested();
    else if (auto* image = qobject_cast<ImageOverlayWidget*>(item))
        emit image->removeRequested();
}

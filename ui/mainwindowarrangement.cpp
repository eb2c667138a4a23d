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
    startImagePlayback(paths, intervalMs, false, loop);
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
    return checkInputOutputConflict(source, outputSettings, error);
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
    switchProgramToChannel(channel, false);
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
    bindVideoOverlayToProgram(item, path, rect, 0, true);
}

void MainWindow::bindArrangementImageOverlay(QObject* item, const QString& path, const QRectF& rect, double opacity)
{
    bindImageOverlayToProgram(item, path, rect, opacity);
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

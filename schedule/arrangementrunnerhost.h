#pragma once

#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class OverlayManager;
class QObject;

// What the arrangement runner asks of the main window: the program source,
// the channel strips, the overlay editor and the overlay model. The main
// window implements it; each operation does nothing when the window lacks
// the object it needs. GUI thread only.
class ArrangementRunnerHost {
public:
    virtual ~ArrangementRunnerHost() = default;

    // Called at the end of every start (true) and every stop (false, also
    // when nothing ran).
    virtual void arrangementRunningChanged(bool running) = 0;

    // The overlay model, or null.
    virtual OverlayManager* arrangementOverlayModel() = 0;

    // Program clock at 0 and running, its tick measure restarted.
    virtual void restartArrangementProgramClock() = 0;
    virtual void setArrangementProgramClockPosition(qint64 ms) = 0;

    // A still-image slideshow becomes the program source; the program clock
    // is not reset.
    virtual void startArrangementImagePlayback(const QStringList& paths, int intervalMs, bool loop) = 0;

    virtual bool hasArrangementChannelStrip(int channel) = 0;
    // The strip's loop toggle, set without signals.
    virtual void setArrangementChannelStripLoop(int channel, bool loop) = 0;
    // True when the source collides with the recording file or an enabled
    // stream destination; *error then says how.
    virtual bool arrangementSourceConflicts(const QString& source, QString* error) = 0;
    // Opens the source on the strip (the caller has ruled out a conflict).
    virtual void setArrangementChannelStripSource(int channel, const QString& source) = 0;
    // The channel decoder's looping flag.
    virtual void setArrangementChannelLooping(int channel, bool loop) = 0;
    // The channel becomes the program source at the program clock's position
    // and running state; the clock is left alone.
    virtual void switchArrangementProgramToChannel(int channel) = 0;

    virtual bool hasArrangementOverlayEditor() = 0;
    // A new item in the overlay editor at a point of the 640x360 editor
    // canvas, or null when the editor holds no more of that kind.
    virtual QObject* addArrangementVideoOverlay(const QString& path, QPointF topLeft) = 0;
    virtual QObject* addArrangementImageOverlay(const QString& path, QPointF topLeft) = 0;
    virtual void setArrangementOverlayEditorWidth(QObject* item, int width) = 0;
    // Puts the item on the program in rect (editor canvas), a video from its
    // start and playing.
    virtual void bindArrangementVideoOverlay(QObject* item, const QString& path, const QRectF& rect) = 0;
    virtual void bindArrangementImageOverlay(QObject* item, const QString& path, const QRectF& rect,
                                             double opacity) = 0;
    // Asks the item to be removed as if the operator had: the editor deletes
    // it later and the program drops its overlay.
    virtual void requestArrangementOverlayRemoval(QObject* item) = 0;
};

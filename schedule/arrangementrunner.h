#pragma once

#include "schedule/programarrangement.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class ArrangementRunnerHost;

// Plays one program arrangement: as the run's time passes it puts each base
// clip's source on the program once and shows and removes the overlays of
// the overlay clips. It has no timer; the main window steps it whenever the
// program moves on.
//
// A run keeps its own time (milliseconds since its start on a monotonic
// clock), so whatever the program channel does - loop, seek, stall, end, or
// jump to a stream's time - the schedule goes on as planned.
//
// GUI thread only. The runner is also the context of the destruction watches
// on the items it creates: when it goes (before the main window's children),
// the watches go with it, so an item dying later never reaches a dead runner.
class ArrangementRunner : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstTextOverlayId = 50000;

    // host: not owned; outlives the runner.
    explicit ArrangementRunner(ArrangementRunnerHost* host, QObject* parent = nullptr);
    // Releases the state without stopping: removing overlays while the main
    // window is torn down would reach half-destroyed panels.
    ~ArrangementRunner() override = default;

    void start(const ProgramArrangement& arrangement);
    void stop();
    // One step at run time t; does not look at whether a run is on.
    void tick(qint64 t);
    // Steps only while a run is on, at t or at the run's own time.
    void tickAt(qint64 t);
    void tickNow();
    // Milliseconds since the run started; 0 when none runs.
    qint64 runTimeMs() const;

    // The base clip in charge at t (the one that started last), or null.
    const SceneClip* findActiveBaseClip(qint64 t) const;
    // t decides where a scene video starts: as far into it as the clip has run.
    void applySceneClip(const SceneClip& clip, qint64 t);
    void activateOverlay(const OverlayClip& clip);
    void deactivateOverlay(const OverlayClip& clip);
    void removeOverlays();
    void onVideoOverlayDestroyed(const QString& clipId, const QObject* item);
    void onImageOverlayDestroyed(const QString& clipId, const QObject* item);

    bool arrangementRunning() const { return running; }
    const ProgramArrangement& runningArrangement() const { return arrangement; }
    const QString& activeSceneClipId() const { return activeSceneId; }
    const QSet<QString>& activeOverlayClipIds() const { return activeOverlayIds; }
    const QHash<QString, QPointer<QObject>>& arrangementVideoOverlays() const { return videoItems; }
    const QHash<QString, QPointer<QObject>>& arrangementImageOverlays() const { return imageItems; }
    const QHash<QString, int>& arrangementTextOverlayIds() const { return textIds; }
    int nextArrangementTextOverlayId() const { return nextTextId; }

private:
    void watchItem(QObject* item, const QString& clipId, bool video);
    static void forgetDestroyedItem(QHash<QString, QPointer<QObject>>& items, QSet<QString>& active,
                                    const QString& clipId, const QObject* item);

    ArrangementRunnerHost* host;

    bool running = false;
    // The runner's own copy, both clip lists sorted by start.
    ProgramArrangement arrangement;
    // Id of the base clip last put on program.
    QString activeSceneId;
    // Overlay clips handled as inside their interval, shown or not.
    QSet<QString> activeOverlayIds;
    // Clip id to the editor item created for it; null once the item is gone.
    QHash<QString, QPointer<QObject>> videoItems;
    QHash<QString, QPointer<QObject>> imageItems;
    // Clip id to the text overlay id given to the overlay model.
    QHash<QString, int> textIds;
    // Never reset, so text overlay ids keep rising across runs and stay
    // apart from the operator's own (counted from 1).
    int nextTextId = kFirstTextOverlayId;
    QElapsedTimer runClock;
};

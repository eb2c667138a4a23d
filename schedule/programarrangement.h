#pragma once

#include "engine/textoverlaydata.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// A program arrangement: a timeline of base clips (what feeds the program)
// and overlay clips (what is shown over it). Plain values, copied freely by
// the editor, the file reader and the runner.
//
// Clip times are whole milliseconds from the arrangement's base time. A clip
// covers [startMs, endMs); an endMs of 0 or below means no end. Start times
// may be negative.

// The kinds are held as int in the records (files may carry any value), so
// they are plain enumerators kept out of the global namespace.
namespace SceneClipKind {
enum Kind : int {
    Channel = 0,
    ImagePlay = 1,
    // Behaves as Channel; kept for files that carry it.
    SceneVideo = 2,
};
}

namespace OverlayClipKind {
enum Kind : int {
    Text = 0,
    Video = 1,
    Image = 2,
};
}

struct SceneClip {
    QString id;
    qint64 startMs = 0;
    qint64 endMs = 0;
    int kind = SceneClipKind::Channel;
    // Input channel index 0..3 for Channel and SceneVideo.
    int channel = 0;
    // Slideshow images of an ImagePlay clip, in showing order.
    QStringList paths;
    int intervalMs = 2000;
    bool imageLoop = true;
    // Opened on the channel before it goes on program; empty keeps the
    // channel's current source.
    QString sceneVideoPath;
    bool sceneVideoLoop = false;
    // Where the slideshow images were chosen from; fills paths when a file
    // names a directory but no paths.
    QString imageDirectory;
};

struct OverlayClip {
    QString id;
    qint64 startMs = 0;
    qint64 endMs = 0;
    int overlayKind = OverlayClipKind::Image;
    QString path;
    // Older image clips named a directory instead of a file; the runner
    // ignores it.
    QString imageDirectory;
    // Rectangle of Video and Image clips as fractions of the program picture.
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
    // 0..1, Image clips only.
    double opacity = 1.0;
    // A Text clip's overlay; its own id means nothing inside a clip.
    TextOverlayData textData;
};

struct ProgramArrangement {
    int version = 3;
    // Base time "yyyy-MM-dd HH:mm:ss" as the editor writes it; may be empty.
    QString timelineZero;
    QList<SceneClip> sceneClips;
    QList<OverlayClip> overlayClips;
};

#pragma once

#include <QMetaType>
#include <QRectF>
#include <QString>
#include <QtGlobal>

// One image or video overlay of the program, as the main window binds it.
// The box is in fractions of the program canvas.
struct MediaOverlayData {
    static constexpr int kImage = 0;
    static constexpr int kVideo = 1;

    int id = -1;
    int kind = kImage;
    QString path;
    QRectF rect;
    bool visible = true;
    int zIndex = 0;
    double opacity = 1.0;
    qint64 positionMs = 0;
    bool playing = true;
};

Q_DECLARE_METATYPE(MediaOverlayData)

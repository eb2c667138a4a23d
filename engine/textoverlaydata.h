#pragma once

#include <QColor>
#include <QFont>
#include <QMetaType>
#include <QString>

// One text overlay as the text panels and schedule files describe it.
// Positions are fractions of the program canvas; sizes, paddings, offsets and
// widths are pixels of the 360-line reference canvas, scaled when drawn.
struct TextOverlayData {
    static constexpr int kScrollNone = 0;
    static constexpr int kScrollLeftToRight = 1;
    static constexpr int kScrollRightToLeft = 2;

    TextOverlayData();

    int id = -1;
    bool enabled = true;
    QString text;
    QFont font;
    double posX = 12.0 / 640.0;
    double posY = 12.0 / 360.0;
    QColor fontColor = Qt::red;
    QColor backgroundColor = Qt::black;
    QColor shadowColor = Qt::black;
    QColor outlineColor = Qt::black;
    int opacity = 255;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikeOut = false;
    bool backgroundEnabled = false;
    int backgroundPadding = 6;
    bool shadow = false;
    int shadowOffsetX = 2;
    int shadowOffsetY = 2;
    bool outline = false;
    int outlineWidth = 1;
    bool scrollable = false;
    int scrollDirection = kScrollNone;
    int scrollTimes = 1;
    int scrollStep = 2;
    double scrollViewportWidth = -1.0;
    double scrollViewportHeight = -1.0;
    int zIndex = 0;

    bool scrolls() const { return scrollable && scrollDirection != kScrollNone; }
};

// Hash of the fields that define where a scroll starts and how it runs.
// Records with equal keys continue one running scroll; any other change
// (colours, opacity, effects, stacking) keeps it going.
uint textScrollKey(const TextOverlayData& d);

Q_DECLARE_METATYPE(TextOverlayData)

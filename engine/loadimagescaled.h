#pragma once

#include <QImage>
#include <QString>

// Reads a picture already scaled so that its longer side is at most
// maxDimension (decoders that can scale while reading do so). A null image
// for an empty path, a non-positive bound or an unreadable file. Safe on any
// thread.
QImage loadImageScaled(const QString& path, int maxDimension, bool autoTransform);

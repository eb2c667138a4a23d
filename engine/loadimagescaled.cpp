#include "engine/loadimagescaled.h"

#include <QImageReader>

QImage loadImageScaled(const QString& path, int maxDimension, bool autoTransform)
{
    if (path.isEmpty() || maxDimension <= 0)
        return {};
    const QSize bound(maxDimension, maxDimension);
    {
        QImageReader reader(path);
        reader.setAutoTransform(autoTransform);
        if (reader.canRead()) {
            const QSize reported = reader.size();
            if (reported.isValid() && qMax(reported.width(), reported.height()) > maxDimension)
                reader.setScaledSize(reported.scaled(bound, Qt::KeepAspectRatio));
            QImage image = reader.read();
            if (!image.isNull())
                return image;
        }
    }
    QImage image;
    if (!image.load(path))
        return {};
    if (image.width() > maxDimension || image.height() > maxDimension)
        return image.scaled(bound, Qt::KeepAspectRatio, Qt::FastTransformation);
    return image;
}

#include "engine/textoverlaydata.h"

#include <QHashFunctions>

TextOverlayData::TextOverlayData()
    : font(QStringLiteral("Arial"), 28)
{
}

uint textScrollKey(const TextOverlayData& d)
{
    // Only equality of keys matters, so a plain seeded combine is enough.
    size_t seed = 0;
    seed = qHashMulti(seed, d.text, d.font.family(), d.font.pointSizeF(), d.bold, d.italic);
    seed = qHashMulti(seed, d.posX, d.posY, d.scrollable, d.scrollDirection, d.scrollTimes, d.scrollStep);
    seed = qHashMulti(seed, d.scrollViewportWidth, d.scrollViewportHeight);
    return uint(seed ^ (quint64(seed) >> 32));
}

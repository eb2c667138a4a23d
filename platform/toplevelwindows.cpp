#include "platform/toplevelwindows.h"

QList<TopLevelWindowInfo> enumerateTopLevelWindows()
{
    return {};
}

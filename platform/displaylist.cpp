#include "platform/displaylist.h"

QList<DisplayInfo> listDisplays()
{
    return {};
}

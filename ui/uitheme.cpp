#include "ui/uitheme.h"

#include <QtGlobal>

namespace uitheme {

QString goldCheckBoxStyleSheet(int indicatorPx, int spacingPx, int paddingPx)
{
    return QStringLiteral(
               "QCheckBox { color: %1; spacing: %2px; padding: %3px; }"
               "QCheckBox::indicator { width: %4px; height: %4px; border: 1px solid %1; background-color: transparent; }"
               "QCheckBox::indicator:hover { border: 1px solid orange; }"
               "QCheckBox::indicator:checked { border: 1px solid %1; background-color: transparent; image: url(%5); }")
        .arg(QLatin1String(kGold))
        .arg(spacingPx)
        .arg(paddingPx)
        .arg(indicatorPx)
        .arg(QLatin1String(kTickImage));
}

} // namespace uitheme

// Q_INIT_RESOURCE must be used outside any namespace.
static void initResourcesOnce()
{
    Q_INIT_RESOURCE(quorbel);
}

void initQuorbelResources()
{
    static const bool done = [] {
        initResourcesOnce();
        return true;
    }();
    (void)done;
}

#include "platform/displaylist.h"

#include "platform/xcbmonitors.h"
#include "platform/xcbsupport.h"


namespace {

QString displayLabel(const QString& name, const QRect& geometry)
{
    return QStringLiteral("%1 — %2×%3")
        .arg(name.isEmpty() ? QStringLiteral("Display") : name)
        .arg(geometry.width())
        .arg(geometry.height());
}

} // namespace

QList<DisplayInfo> listDisplays()
{
    const XcbConnection x;
    if (!x.isOpen())
        return {};
    const std::vector<XcbMonitor> monitors = xcbMonitors(x.get(), x.screen());
    QList<DisplayInfo> displays;
    for (int i = 0; i < int(monitors.size()); ++i) {
        const XcbMonitor& m = monitors[std::size_t(i)];
        const QRect geometry(m.x, m.y, m.width, m.height);
        const QString name = m.name != XCB_ATOM_NONE ? x.atomName(m.name) : QString();
        displays.append({i, displayLabel(name, geometry), geometry});
    }
    return displays;
}

quintptr monitorForOutputIndex(int outputIndex)
{
    if (outputIndex < 0 || outputIndex >= listDisplays().size())
        return 0;
    return quintptr(outputIndex) + 1;
}

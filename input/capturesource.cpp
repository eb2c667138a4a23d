#include "input/capturesource.h"

#include <QUrl>
#include <QUrlQuery>

namespace {

QString queryItem(const QString& source, const QString& key)
{
    const QUrlQuery query(QUrl(source, QUrl::TolerantMode));
    return query.queryItemValue(key, QUrl::FullyDecoded);
}

} // namespace

int captureMonitorIndexOf(const QString& source)
{
    bool ok = false;
    const int index = queryItem(source, QStringLiteral("monitor")).toInt(&ok, 10);
    return ok && index >= 0 ? index : 0;
}

bool captureWantsLibraryOf(const QString& source)
{
    const QString value = queryItem(source, QStringLiteral("wgc"));
    return value == QLatin1String("1") || value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

quint64 captureWindowHandleOf(const QString& source)
{
    const QString text = queryItem(source, QStringLiteral("hwnd"));
    bool ok = false;
    quint64 handle = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        handle = text.mid(2).toULongLong(&ok, 16);
    else
        handle = text.toULongLong(&ok, 10);
    return ok ? handle : 0;
}

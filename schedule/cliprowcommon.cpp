#include "schedule/cliprowcommon.h"

#include "schedule/scheduledatetimewidget.h"
#include "ui/uitheme.h"

#include <QCheckBox>

namespace {

constexpr int kCheckIndicatorPx = 14;
constexpr int kCheckSpacingPx = 2;
constexpr int kCheckPaddingPx = 0;
// Where an open-ended clip's end field rests, after its start.
constexpr qint64 kOpenEndParkSecs = 3600;

} // namespace

QString clipRowCheckBoxStyleSheet()
{
    return uitheme::goldCheckBoxStyleSheet(kCheckIndicatorPx, kCheckSpacingPx, kCheckPaddingPx);
}

QString clipRowKindListStyleSheet()
{
    return QStringLiteral("QComboBox { color: %1; background-color: %2; }"
                          "QComboBox QAbstractItemView { color: %1; background-color: %3;"
                          " selection-color: %1; selection-background-color: %2; }")
        .arg(QLatin1String(uitheme::kGold), QLatin1String(uitheme::kBgControl), QLatin1String(uitheme::kBgDeepest));
}

qint64 clipStartMs(const QDateTime& base, const ScheduleDateTimeWidget* startEdit)
{
    return base.msecsTo(startEdit->dateTime());
}

qint64 clipEndMs(const QDateTime& base, const ScheduleDateTimeWidget* endEdit, const QCheckBox* untilStopped)
{
    return untilStopped->isChecked() ? 0 : base.msecsTo(endEdit->dateTime());
}

void showClipTimes(const QDateTime& base, qint64 startMs, qint64 endMs, ScheduleDateTimeWidget* startEdit,
                   ScheduleDateTimeWidget* endEdit, QCheckBox* untilStopped)
{
    startEdit->setDateTime(base.addMSecs(startMs));
    if (endMs <= 0) {
        untilStopped->setChecked(true);
        // Read back: the field has dropped the milliseconds of the start.
        endEdit->setDateTime(startEdit->dateTime().addSecs(kOpenEndParkSecs));
    } else {
        untilStopped->setChecked(false);
        endEdit->setDateTime(base.addMSecs(endMs));
    }
}

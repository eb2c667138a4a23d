#include "schedule/scheduledatetimewidget.h"

#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

QDateTime resolveScheduleLocalDateTime(const QDate& date, const QTime& time)
{
    const QDateTime local(date, time, Qt::LocalTime);
    if (local.isValid())
        return local;
    // The wall time lies in a gap: read it with the offset in force the day
    // before (the offset before the change), which lands after the gap by
    // exactly its length.
    const QDateTime before(date.addDays(-1), time, Qt::LocalTime);
    const int offsetBefore = before.isValid() ? before.offsetFromUtc() : 0;
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetBefore).toLocalTime();
}

namespace {

QSpinBox* makeTimeBox(QWidget* parent, int maximum)
{
    auto* box = new QSpinBox(parent);
    box->setRange(0, maximum);
    box->setFixedWidth(50);
    box->setAlignment(Qt::AlignCenter);
    box->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    return box;
}

} // namespace

ScheduleDateTimeWidget::ScheduleDateTimeWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    dateEdit = new QDateEdit(this);
    dateEdit->setCalendarPopup(true);
    dateEdit->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
    dateEdit->setMinimumWidth(110);
    dateEdit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    hourSpin = makeTimeBox(this, 23);
    minuteSpin = makeTimeBox(this, 59);
    secondSpin = makeTimeBox(this, 59);

    layout->addWidget(dateEdit);
    layout->addWidget(hourSpin);
    layout->addWidget(new QLabel(QStringLiteral("时"), this));
    layout->addWidget(minuteSpin);
    layout->addWidget(new QLabel(QStringLiteral("分"), this));
    layout->addWidget(secondSpin);
    layout->addWidget(new QLabel(QStringLiteral("秒"), this));
    layout->addStretch();
}

QDateTime ScheduleDateTimeWidget::dateTime() const
{
    return resolveScheduleLocalDateTime(dateEdit->date(),
                                        QTime(hourSpin->value(), minuteSpin->value(), secondSpin->value()));
}

void ScheduleDateTimeWidget::setDateTime(const QDateTime& value)
{
    const QDateTime shown = value.isValid() ? value.toLocalTime()
                                            : QDateTime(QDate::currentDate(), QTime(0, 0), Qt::LocalTime);
    dateEdit->setDate(shown.date());
    const QTime time = shown.time();
    hourSpin->setValue(time.hour());
    minuteSpin->setValue(time.minute());
    secondSpin->setValue(time.second());
}

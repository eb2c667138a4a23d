#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QWidget>

class QDateEdit;
class QSpinBox;

// A local date-time in whole seconds for the arrangement editor, resolved so
// that a wall-clock time skipped by a daylight-saving change still counts:
// it moves forward by the length of the gap (02:30 on a spring-forward night
// at 02:00 becomes 03:30). Without this, Qt gives an invalid date-time there
// and every offset from it reads as 0.
QDateTime resolveScheduleLocalDateTime(const QDate& date, const QTime& time);

// Date field with a calendar popup, then hour, minute and second boxes. Its
// value is what the four fields show; milliseconds are not represented.
// GUI thread only.
class ScheduleDateTimeWidget : public QWidget {
    Q_OBJECT
public:
    explicit ScheduleDateTimeWidget(QWidget* parent = nullptr);

    QDateTime dateTime() const;
    // An invalid value shows today at 00:00:00.
    void setDateTime(const QDateTime& value);

private:
    QDateEdit* dateEdit = nullptr;
    QSpinBox* hourSpin = nullptr;
    QSpinBox* minuteSpin = nullptr;
    QSpinBox* secondSpin = nullptr;
};

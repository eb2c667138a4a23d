#include "schedule/scheduledatetimewidget.h"

#include "support/testsupport.h"

#include <QSpinBox>
#include <QtTest>

#include <ctime>

class TestScheduleDateTimeWidget : public QObject {
    Q_OBJECT
private slots:
    void invalidShowsTodayMidnight();
    void millisecondsDropped();
    void daylightSavingGap_data();
    void daylightSavingGap();
};

void TestScheduleDateTimeWidget::invalidShowsTodayMidnight()
{
    ScheduleDateTimeWidget field;
    field.setDateTime(QDateTime(QDate(2020, 5, 6), QTime(7, 8, 9)));
    field.setDateTime(QDateTime());
    QCOMPARE(field.dateTime(), QDateTime(QDate::currentDate(), QTime(0, 0), Qt::LocalTime));
}

void TestScheduleDateTimeWidget::millisecondsDropped()
{
    ScheduleDateTimeWidget field;
    field.setDateTime(QDateTime(QDate(2026, 3, 1), QTime(11, 59, 0, 999), Qt::LocalTime));
    QCOMPARE(field.dateTime(), QDateTime(QDate(2026, 3, 1), QTime(11, 59, 0), Qt::LocalTime));
    const QDateTime base(QDate(2026, 3, 1), QTime(12, 0), Qt::LocalTime);
    QCOMPARE(base.msecsTo(field.dateTime()), qint64(-60000));
}

void TestScheduleDateTimeWidget::daylightSavingGap_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<qint64>("msFromMidnight");
    QTest::newRow("after the change") << QTime(3, 0) << qint64(7200000);
    // 02:30 does not exist that night; it counts as 03:30.
    QTest::newRow("inside the gap") << QTime(2, 30) << qint64(9000000);
    QTest::newRow("before the change") << QTime(1, 30) << qint64(5400000);
}

void TestScheduleDateTimeWidget::daylightSavingGap()
{
    QFETCH(QTime, time);
    QFETCH(qint64, msFromMidnight);
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const QDate night(2026, 3, 29);
    ScheduleDateTimeWidget base;
    base.setDateTime(QDateTime(night, QTime(0, 0), Qt::LocalTime));
    ScheduleDateTimeWidget field;
    field.setDateTime(QDateTime(night, QTime(0, 0), Qt::LocalTime));
    // Set the wall time through the widget's own fields, as the operator does.
    const QList<QSpinBox*> boxes = field.findChildren<QSpinBox*>();
    QCOMPARE(boxes.size(), 3);
    boxes[0]->setValue(time.hour());
    boxes[1]->setValue(time.minute());
    boxes[2]->setValue(time.second());
    const QDateTime at = field.dateTime();
    const qint64 fromMidnight = base.dateTime().msecsTo(at);
    if (oldTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldTz);
    QVERIFY(at.isValid());
    QCOMPARE(fromMidnight, msFromMidnight);
}

QUORB_TEST_MAIN(TestScheduleDateTimeWidget)
#include "tst_scheduledatetimewidget.moc"

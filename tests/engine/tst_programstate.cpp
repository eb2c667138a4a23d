#include "engine/canvasgeometry.h"
#include "engine/compositioncontroller.h"
#include "engine/programclock.h"
#include "support/testsupport.h"

#include <QSignalSpy>

class TestProgramState : public QObject {
    Q_OBJECT
private slots:
    void controllerEmitsOnlyOnChange();
    void clockTicks_data();
    void clockTicks();
    void clockKeepsTimeOverManyTicks();
    void clockSettersAndStoppedClock();
    void clockRealTick();
    void letterboxFit();
    void unusableMapping();
    void referenceCanvas();
};

void TestProgramState::controllerEmitsOnlyOnChange()
{
    CompositionController c;
    QSignalSpy spy(&c, &CompositionController::programStateChanged);
    c.setProgramSource(2, "a.mp4");
    c.setProgramSource(2, "a.mp4");
    QCOMPARE(spy.count(), 1);
    c.setProgramSource(2, "b.mp4");
    QCOMPARE(spy.count(), 2);
    QCOMPARE(c.snapshot().sourceText, QString("b.mp4"));
    c.setProgramSource(0, QString());
    QCOMPARE(spy.count(), 3);
    QCOMPARE(c.programSource(), 0);
    QVERIFY(c.snapshot().sourceText.isEmpty());
}

void TestProgramState::clockTicks_data()
{
    QTest::addColumn<QList<qint64>>("intervalsUs");
    QTest::addColumn<qint64>("position");
    QTest::newRow("one 33 ms tick") << QList<qint64>{33000} << qint64(33);
    QTest::newRow("stall adds nothing") << QList<qint64>{6000000} << qint64(0);
    QTest::newRow("stall of exactly 5 s") << QList<qint64>{5000000} << qint64(0);
    QTest::newRow("4999 ms counts") << QList<qint64>{4999000} << qint64(4999);
    QTest::newRow("stall then tick") << QList<qint64>{6000000, 33000} << qint64(33);
    QTest::newRow("sub-ms intervals accumulate") << QList<qint64>{600, 600, 600} << qint64(1);
    QTest::newRow("33.3 ms thrice") << QList<qint64>{33300, 33300, 33300} << qint64(99);
}

void TestProgramState::clockTicks()
{
    QFETCH(QList<qint64>, intervalsUs);
    QFETCH(qint64, position);
    ProgramClock clock;
    clock.reset(0, true);
    for (qint64 us : intervalsUs)
        clock.addElapsedNs(us * 1000);
    QCOMPARE(clock.positionMs, position);
}

void TestProgramState::clockKeepsTimeOverManyTicks()
{
    ProgramClock clock;
    clock.reset(0, true);
    for (int i = 0; i < 300; ++i)
        clock.addElapsedNs(33300000);
    QVERIFY2(qAbs(clock.positionMs - 9990) <= 2, qPrintable(QString::number(clock.positionMs)));
}

void TestProgramState::clockSettersAndStoppedClock()
{
    ProgramClock clock;
    clock.setPositionMs(-5);
    QCOMPARE(clock.positionMs, 0);
    clock.advance(-10);
    QCOMPARE(clock.positionMs, 0);
    clock.advance(40);
    QCOMPARE(clock.positionMs, 40);
    clock.tick(); // not running
    QCOMPARE(clock.positionMs, 40);
    clock.reset(-3, false);
    QCOMPARE(clock.positionMs, 0);
    QVERIFY(!clock.running);

    clock.setRunning(true);
    QThread::msleep(30);
    clock.setRunning(true); // already running: the timer keeps its start
    QVERIFY(clock.timer.elapsed() >= 25);
}

void TestProgramState::clockRealTick()
{
    ProgramClock clock;
    clock.reset(0, true);
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < 10; ++i) {
        QThread::msleep(20);
        clock.tick();
    }
    const qint64 elapsed = wall.elapsed();
    QVERIFY2(qAbs(clock.positionMs - elapsed) <= 3,
             qPrintable(QString("clock %1 wall %2").arg(clock.positionMs).arg(elapsed)));
}

void TestProgramState::letterboxFit()
{
    const CanvasMapping m = fitCanvasMapping(QSize(1920, 1080), QRectF(0, 0, 800, 600));
    QVERIFY(m.usable());
    QCOMPARE(m.scaled, QSizeF(800, 450));
    QCOMPARE(m.offset, QPointF(0, 75));
    QCOMPARE(normalizePointInTarget(m, QPointF(400, 300)), QPointF(0.5, 0.5));
    QVERIFY(!targetContains(m, QPointF(400, 50)));
    const QPointF outside = normalizePointInTarget(m, QPointF(400, 50));
    QCOMPARE(outside.x(), 0.5);
    QVERIFY(qAbs(outside.y() + 0.0556) < 0.0001);
    const CanvasMapping offsetTarget = fitCanvasMapping(QSize(100, 100), QRectF(10, 20, 200, 100));
    QCOMPARE(offsetTarget.offset, QPointF(60, 20));
    const CanvasMapping identity = canvasMappingForSize(QSize(1920, 1080));
    QCOMPARE(scaleBySize(QSize(1920, 1080), QPointF(0.5, 0.25)), QPointF(960, 270));
    QCOMPARE(denormalizeRect(QSize(1920, 1080), QRectF(0.1, 0.1, 0.5, 0.5)), QRectF(192, 108, 960, 540));
    QVERIFY(identity.usable());
    QCOMPARE(identity.scaled, QSizeF(1920, 1080));
}

void TestProgramState::unusableMapping()
{
    for (const CanvasMapping& m : {fitCanvasMapping(QSize(), QRectF(0, 0, 800, 600)),
                                   fitCanvasMapping(QSize(640, 360), QRectF(0, 0, 0, 600)),
                                   canvasMappingForSize(QSize(0, 0))}) {
        QVERIFY(!m.usable());
        QCOMPARE(m.offset, QPointF(0, 0));
        QCOMPARE(m.scaled, QSizeF(0, 0));
        QCOMPARE(normalizePointInTarget(m, QPointF(10, 10)), QPointF(0, 0));
        QVERIFY(!targetContains(m, QPointF(0, 0)));
    }
}

void TestProgramState::referenceCanvas()
{
    const QRectF r = fromReferenceCanvasRect(QRectF(12, 12, 320, 180));
    QCOMPARE(r.x(), 0.01875);
    QVERIFY(qAbs(r.y() - 1.0 / 30.0) < 1e-12);
    QCOMPARE(r.width(), 0.5);
    QCOMPARE(r.height(), 0.5);
    QCOMPARE(toReferenceCanvasRect(r), QRectF(12, 12, 320, 180));
    QCOMPARE(fromReferenceCanvasPoint(QPointF(320, 90)), QPointF(0.5, 0.25));
    QCOMPARE(toReferenceCanvasPoint(QPointF(0.5, 0.25)), QPointF(320, 90));
    QCOMPARE(referenceScaleX(QSize(1920, 1080)), 3.0);
    QCOMPARE(referenceScaleY(QSize(3840, 2160)), 6.0);
    QCOMPARE(referenceScaleX(QSize(0, 0)), 0.0);
    QCOMPARE(referenceScaleY(QSize(0, 0)), 0.0);
}

QUORB_TEST_MAIN(TestProgramState)
#include "tst_programstate.moc"

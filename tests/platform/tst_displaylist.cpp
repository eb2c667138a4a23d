#include "platform/displaylist.h"

#include "support/testsupport.h"
#include "support/xvfb.h"

#include <QtTest>

// The monitor list read from a private X server: a single screen through
// RandR, two Xinerama heads, and no display at all.
class TestDisplayList : public QObject {
    Q_OBJECT

private slots:
    void monitorsOfPrivateServer_data();
    void monitorsOfPrivateServer();
    void noDisplayGivesEmptyList();
};

void TestDisplayList::monitorsOfPrivateServer_data()
{
    QTest::addColumn<QString>("screen0");
    QTest::addColumn<QStringList>("extraArgs");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QList<QRect>>("geometries");

    // Xvfb names its one RandR monitor "screen".
    QTest::newRow("one screen through RandR")
        << "1280x720x24" << QStringList{} << QStringList{"screen — 1280×720"} << QList<QRect>{{0, 0, 1280, 720}};
    // RandR sees only the first screen of a Xinerama display.
    QTest::newRow("two Xinerama heads")
        << "800x600x24" << QStringList{"-screen", "1", "1024x768x24", "+xinerama"}
        << QStringList{"Display — 800×600", "Display — 1024×768"}
        << QList<QRect>{{0, 0, 800, 600}, {0, 0, 1024, 768}};
}

void TestDisplayList::monitorsOfPrivateServer()
{
    QFETCH(QString, screen0);
    QFETCH(QStringList, extraArgs);
    QFETCH(QStringList, labels);
    QFETCH(QList<QRect>, geometries);

    testsupport::PeerProcess xvfb;
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error, screen0, extraArgs);
    QVERIFY2(!display.isEmpty(), qPrintable("needs Xvfb (package xvfb): " + error));
    qputenv("DISPLAY", display.toUtf8());
    const QList<DisplayInfo> displays = listDisplays();
    qunsetenv("DISPLAY");

    QCOMPARE(displays.size(), labels.size());
    for (int i = 0; i < displays.size(); ++i) {
        QCOMPARE(displays[i].outputIndex, i);
        QCOMPARE(displays[i].label, labels[i]);
        QCOMPARE(displays[i].geometry, geometries[i]);
    }
}

void TestDisplayList::noDisplayGivesEmptyList()
{
    qunsetenv("DISPLAY");
    QVERIFY(listDisplays().isEmpty());
    // A display nobody serves reads as no display, without waiting.
    qputenv("DISPLAY", ":" + QByteArray::number(testsupport::freeX11Display()));
    QVERIFY(listDisplays().isEmpty());
    qunsetenv("DISPLAY");
}

QUORB_TEST_MAIN(TestDisplayList)
#include "tst_displaylist.moc"

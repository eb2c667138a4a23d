#include "platform/toplevelwindows.h"

#include "support/testsupport.h"
#include "support/testwindows.h"
#include "support/xvfb.h"

#include <QtTest>

#include <functional>

namespace {

const TopLevelWindowInfo* findWindow(const QList<TopLevelWindowInfo>& list, quint64 handle)
{
    for (const TopLevelWindowInfo& w : list) {
        if (w.handle == handle)
            return &w;
    }
    return nullptr;
}

// Reads the list until the condition holds or 5 s pass; the window manager
// answers asynchronously.
QList<TopLevelWindowInfo> waitForList(const std::function<bool(const QList<TopLevelWindowInfo>&)>& done)
{
    QList<TopLevelWindowInfo> list;
    for (int i = 0; i < 250; ++i) {
        list = enumerateTopLevelWindows();
        if (done(list))
            break;
        QTest::qWait(20);
    }
    return list;
}

quint64 xdotoolSearch(const QString& namePattern)
{
    QByteArray out;
    testsupport::runProgram("xdotool", {"search", "--name", namePattern}, &out);
    return out.trimmed().toULongLong();
}

} // namespace

class TestTopLevelWindows : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void windowsUnderWindowManager();
    void rootChildrenWithoutWindowManager();
    void noDisplayGivesEmptyList();
};

void TestTopLevelWindows::cleanup()
{
    qunsetenv("DISPLAY");
}

void TestTopLevelWindows::windowsUnderWindowManager()
{
    testsupport::PeerProcess xvfb;
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error, "1280x720x24");
    QVERIFY2(!display.isEmpty(), qPrintable("needs Xvfb (package xvfb): " + error));
    qputenv("DISPLAY", display.toUtf8());

    testsupport::TestWindows windows(display);
    QVERIFY(windows.ok());
    // Made before the window manager starts, which takes over the windows it
    // finds: once this one is its client, it handles every later map.
    const xcb_window_t plain = windows.create("Plain title", "Plain title");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    testsupport::PeerProcess openbox;
    QVERIFY2(openbox.start("openbox", {}, 0, testsupport::PeerProcess::Wait::None, 10000, env),
             qPrintable("needs openbox: " + openbox.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(windows.managed(plain), "openbox never managed the window", 10000);

    const QString longTitle = QString(400, QChar(0x7A97)); // 400 x "窗"
    const xcb_window_t minimised = windows.create("To minimise", "To minimise");
    const xcb_window_t transient = windows.create("Dialog of plain", {}, plain);
    const xcb_window_t untitled = windows.create({});
    const xcb_window_t longOne = windows.create(longTitle);
    const xcb_window_t latin1Only = windows.create({}, "Caf\xe9 WM_NAME");
    const xcb_window_t otherDesktop = windows.create("Elsewhere");
    const QList<xcb_window_t> all{plain, minimised, transient, untitled, longOne, latin1Only, otherDesktop};
    QList<TopLevelWindowInfo> list = waitForList([&](const QList<TopLevelWindowInfo>& l) {
        for (xcb_window_t w : all) {
            const TopLevelWindowInfo* info = findWindow(l, w);
            if (!info || !info->visible)
                return false;
        }
        return true;
    });

    QByteArray out;
    QVERIFY2(testsupport::runProgram("xdotool", {"windowminimize", QString::number(minimised)}, &out) == 0,
             out.constData());
    QVERIFY2(testsupport::runProgram("xdotool", {"set_desktop_for_window", QString::number(otherDesktop), "1"}, &out)
                 == 0,
             out.constData());
    list = waitForList([&](const QList<TopLevelWindowInfo>& l) {
        const TopLevelWindowInfo* m = findWindow(l, minimised);
        const TopLevelWindowInfo* o = findWindow(l, otherDesktop);
        return m && m->minimized && o && o->cloaked;
    });

    const TopLevelWindowInfo* info = findWindow(list, plain);
    QVERIFY(info);
    QCOMPARE(info->title, QString("Plain title"));
    QVERIFY(info->exists && info->visible && !info->minimized && !info->owned && !info->cloaked);
    QCOMPARE(info->handle, xdotoolSearch("^Plain title$"));

    info = findWindow(list, minimised);
    QVERIFY(info);
    QVERIFY(info->minimized);
    QCOMPARE(info->handle, xdotoolSearch("^To minimise$"));

    info = findWindow(list, transient);
    QVERIFY(info);
    QVERIFY(info->owned);
    QVERIFY(info->visible && !info->minimized);

    info = findWindow(list, untitled);
    QVERIFY(info);
    QVERIFY(info->title.isEmpty());
    QVERIFY(info->visible);

    info = findWindow(list, longOne);
    QVERIFY(info);
    QCOMPARE(info->title, longTitle); // the picker, not the layer, cuts it

    info = findWindow(list, latin1Only);
    QVERIFY(info);
    QCOMPARE(info->title, QString::fromUtf8("Café WM_NAME"));

    info = findWindow(list, otherDesktop);
    QVERIFY(info);
    QVERIFY(info->cloaked);
    QVERIFY(!info->minimized);
}

void TestTopLevelWindows::rootChildrenWithoutWindowManager()
{
    testsupport::PeerProcess xvfb;
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error, "1280x720x24");
    QVERIFY2(!display.isEmpty(), qPrintable("needs Xvfb (package xvfb): " + error));
    qputenv("DISPLAY", display.toUtf8());

    testsupport::TestWindows windows(display);
    QVERIFY(windows.ok());
    const xcb_window_t mapped = windows.create("Mapped");
    const xcb_window_t unmapped = windows.create("Unmapped", {}, XCB_WINDOW_NONE, false);
    const QList<TopLevelWindowInfo> list =
        waitForList([&](const QList<TopLevelWindowInfo>& l) { return findWindow(l, mapped) != nullptr; });

    const TopLevelWindowInfo* info = findWindow(list, mapped);
    QVERIFY(info);
    QCOMPARE(info->title, QString("Mapped"));
    QVERIFY(info->visible && !info->owned && !info->minimized);
    QVERIFY(!findWindow(list, unmapped));
}

void TestTopLevelWindows::noDisplayGivesEmptyList()
{
    qunsetenv("DISPLAY");
    QVERIFY(enumerateTopLevelWindows().isEmpty());
}

QUORB_TEST_MAIN(TestTopLevelWindows)
#include "tst_toplevelwindows.moc"

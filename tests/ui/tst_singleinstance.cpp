// The real program under a private X server with openbox: one instance per
// runtime folder, later starts hand over to it and bring it to the front.

#include "support/testsupport.h"
#include "support/xvfb.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <memory>
#include <vector>

#include <csignal>
#include <sys/stat.h>

using testsupport::PeerProcess;

namespace {

QString programPath()
{
    return QDir(QStringLiteral(QUORB_TEST_BIN_DIR "/..")).absoluteFilePath("quorbel");
}

// The environment of one start: its runtime folder (the lock socket) and its
// data folder (its log files).
struct StartPlace {
    QString runtimeDir;
    QString dataHome;
};

QString logsOf(const QString& dataHome)
{
    return dataHome + "/Orvane/quOrbelPro/logs";
}

QStringList logFiles(const QString& dataHome)
{
    return QDir(logsOf(dataHome)).entryList({"quorbel*.log"}, QDir::Files);
}

QByteArray readLogs(const QString& dataHome)
{
    QByteArray all;
    for (const QString& name : logFiles(dataHome)) {
        QFile f(logsOf(dataHome) + "/" + name);
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    return all;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void secondStartRaisesFirstAndExits();
    void startAfterKilledHolderRuns();
    void unusableSocketFolderFails();
    void simultaneousStartsLeaveOne();
    void differentRuntimeFoldersBothRun();
    void probingStartWritesItsOwnLog();

private:
    StartPlace newPlace(const QString& name);
    QProcessEnvironment environment(const StartPlace& place) const;
    std::unique_ptr<PeerProcess> start(const StartPlace& place);
    int runToEnd(const StartPlace& place, qint64* elapsedMs = nullptr);
    QString xdotool(const QStringList& args);
    QString waitForWindow(qint64 pid, int timeoutMs = 20000);
    QString activeWindow() { return xdotool({"getactivewindow"}); }

    PeerProcess xvfb;
    PeerProcess openbox;
    QString display;
    QTemporaryDir scratch;
    int placeCounter = 0;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY2(QFile::exists(programPath()), qPrintable(programPath()));
    QString error;
    display = testsupport::startXvfb(xvfb, &error);
    QVERIFY2(!display.isEmpty(), qPrintable(error));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QVERIFY2(openbox.start("openbox", {}, 0, PeerProcess::Wait::None, 0, env), qPrintable(openbox.errorString()));
    // openbox owns the screen once it answers for the window manager.
    QElapsedTimer timer;
    timer.start();
    QByteArray out;
    while (timer.elapsed() < 10000) {
        out.clear();
        if (testsupport::runProgram("xprop", {"-display", display, "-root", "_NET_SUPPORTING_WM_CHECK"}, &out, 5000) == 0
            && out.contains("window id"))
            break;
        QThread::msleep(100);
    }
    QVERIFY2(out.contains("window id"), out.constData());
}

void TestSingleInstance::cleanupTestCase()
{
    openbox.stop();
    xvfb.stop();
}

void TestSingleInstance::init()
{
    QVERIFY(scratch.isValid());
}

StartPlace TestSingleInstance::newPlace(const QString& name)
{
    StartPlace place;
    const QString base = scratch.path() + QString("/%1-%2").arg(name).arg(++placeCounter);
    place.runtimeDir = base + "/runtime";
    place.dataHome = base + "/data";
    QDir().mkpath(place.runtimeDir);
    QDir().mkpath(place.dataHome);
    ::chmod(QFile::encodeName(place.runtimeDir).constData(), 0700);
    return place;
}

QProcessEnvironment TestSingleInstance::environment(const StartPlace& place) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("XDG_RUNTIME_DIR", place.runtimeDir);
    env.insert("XDG_DATA_HOME", place.dataHome);
    return env;
}

std::unique_ptr<PeerProcess> TestSingleInstance::start(const StartPlace& place)
{
    auto peer = std::make_unique<PeerProcess>();
    if (!peer->start(programPath(), {}, 0, PeerProcess::Wait::None, 0, environment(place)))
        qWarning() << "start failed:" << peer->errorString();
    return peer;
}

int TestSingleInstance::runToEnd(const StartPlace& place, qint64* elapsedMs)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray out;
    const int rc = testsupport::runProgram(programPath(), {}, &out, 30000, environment(place));
    if (elapsedMs)
        *elapsedMs = timer.elapsed();
    return rc;
}

QString TestSingleInstance::xdotool(const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QByteArray out;
    if (testsupport::runProgram("xdotool", args, &out, 10000, env) != 0)
        return {};
    return QString::fromUtf8(out).trimmed().section('\n', 0, 0);
}

QString TestSingleInstance::waitForWindow(qint64 pid, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const QString id
            = xdotool({"search", "--onlyvisible", "--pid", QString::number(pid), "--name", "^quOrbel Pro$"});
        if (!id.isEmpty())
            return id;
        QThread::msleep(100);
    }
    return {};
}

void TestSingleInstance::secondStartRaisesFirstAndExits()
{
    const StartPlace place = newPlace("raise");
    auto first = start(place);
    const QString firstWindow = waitForWindow(first->pid());
    QVERIFY2(!firstWindow.isEmpty(), first->output().constData());

    // Another window takes the focus.
    PeerProcess thief;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QVERIFY(thief.start("xmessage", {"-name", "thief", "focus thief"}, 0, PeerProcess::Wait::None, 0, env));
    QString thiefWindow;
    QTRY_VERIFY_WITH_TIMEOUT(!(thiefWindow = xdotool({"search", "--onlyvisible", "--classname", "thief"})).isEmpty(),
                             10000);
    xdotool({"windowactivate", "--sync", thiefWindow});
    QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), thiefWindow, 5000);

    // Every further start hands over and brings the first window back.
    for (int i = 0; i < 2; ++i) {
        qint64 elapsed = 0;
        QCOMPARE(runToEnd(place, &elapsed), 0);
        QVERIFY2(elapsed < 2000, qPrintable(QString("second start took %1 ms").arg(elapsed)));
        QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), firstWindow, 3000);
        xdotool({"windowactivate", "--sync", thiefWindow});
        QTRY_COMPARE_WITH_TIMEOUT(activeWindow(), thiefWindow, 5000);
    }
    QVERIFY(first->running());
    thief.stop();
    first->stop();
}

void TestSingleInstance::startAfterKilledHolderRuns()
{
    const StartPlace place = newPlace("stale");
    auto holder = start(place);
    QVERIFY(!waitForWindow(holder->pid()).isEmpty());
    ::kill(pid_t(holder->pid()), SIGKILL);
    QVERIFY(holder->waitFinished(5000));
    // The socket file stays behind.
    QVERIFY(QFile::exists(place.runtimeDir + "/quorbel_single_instance"));

    auto next = start(place);
    QVERIFY2(!waitForWindow(next->pid()).isEmpty(), next->output().constData());
    QVERIFY(next->running());
    next->stop();
}

void TestSingleInstance::unusableSocketFolderFails()
{
    StartPlace place = newPlace("unusable");
    place.runtimeDir += "/missing/folder";
    QCOMPARE(runToEnd(place), 1);
    const QByteArray log = readLogs(place.dataHome);
    QVERIFY2(log.contains("Single-instance lock listen failed: \""), log.constData());
}

void TestSingleInstance::simultaneousStartsLeaveOne()
{
    const StartPlace place = newPlace("crowd");
    std::vector<std::unique_ptr<PeerProcess>> starts;
    for (int i = 0; i < 10; ++i)
        starts.push_back(start(place));
    QElapsedTimer timer;
    timer.start();
    // QProcess learns of an exit from the event loop.
    auto runningCount = [&] {
        QCoreApplication::processEvents();
        int n = 0;
        for (const auto& s : starts)
            n += s->running() ? 1 : 0;
        return n;
    };
    while (runningCount() > 1 && timer.elapsed() < 30000)
        QThread::msleep(50);
    QCOMPARE(runningCount(), 1);
    QThread::msleep(1000);
    QCOMPARE(runningCount(), 1);
    for (const auto& s : starts) {
        if (s->running()) {
            QVERIFY(!waitForWindow(s->pid()).isEmpty());
            s->stop();
        } else {
            QCOMPARE(s->process()->exitStatus(), QProcess::NormalExit);
            QCOMPARE(s->process()->exitCode(), 0);
        }
    }
}

void TestSingleInstance::differentRuntimeFoldersBothRun()
{
    auto first = start(newPlace("user-a"));
    auto second = start(newPlace("user-b"));
    QVERIFY(!waitForWindow(first->pid()).isEmpty());
    QVERIFY(!waitForWindow(second->pid()).isEmpty());
    QVERIFY(first->running());
    QVERIFY(second->running());
    first->stop();
    second->stop();
}

void TestSingleInstance::probingStartWritesItsOwnLog()
{
    const StartPlace holderPlace = newPlace("holder");
    auto holder = start(holderPlace);
    QVERIFY(!waitForWindow(holder->pid()).isEmpty());

    // Same lock, own data folder: the probe's log is its own file.
    StartPlace probePlace = newPlace("probe");
    probePlace.runtimeDir = holderPlace.runtimeDir;
    QCOMPARE(runToEnd(probePlace), 0);
    QCOMPARE(logFiles(probePlace.dataHome).size(), 1);
    QVERIFY(!readLogs(probePlace.dataHome).isEmpty());
    holder->stop();
}

QUORB_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"

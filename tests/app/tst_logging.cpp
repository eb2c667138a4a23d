// The process log is process-wide (standard error, signal handlers, exit
// hooks), so every case runs helper_logging in a child process with its own
// data folder and inspects the files it leaves.

#include "support/testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <map>

namespace {

struct HelperRun {
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    bool ok() const { return finished && exitStatus == QProcess::NormalExit && exitCode == 0; }
    // For failure messages.
    QByteArray why() const
    {
        return (finished ? "" : "timed out; ") + QByteArray(exitStatus == QProcess::CrashExit ? "crashed" : "exit code ") +
               QByteArray::number(exitCode) + "\nstdout:\n" + out + "\nstderr:\n" + err;
    }
    // The value of a "name value" result line, or empty.
    QByteArray value(const QByteArray& name) const
    {
        for (const QByteArray& line : out.split('\n')) {
            if (line.startsWith(name + ' '))
                return line.mid(name.size() + 1);
        }
        return {};
    }
};

QByteArray enc(const QByteArray& text)
{
    return text.toPercentEncoding();
}

QString helperPath()
{
    return QStringLiteral(QUORB_TEST_BIN_DIR "/helper_logging");
}

} // namespace

class TestLogging : public QObject {
    Q_OBJECT
private slots:
    void init();

    void lineEndings_data();
    void lineEndings();
    void rotation_data();
    void rotation();
    void stderrCapture();
    void ffmpegLevel_data();
    void ffmpegLevel();
    void ffmpegHookReinstalled();
    void purgeSparesLockedAndSmallFiles();
    void sameSecondStartsGetTheirOwnFile();
    void fallbackBesideTheProgram();
    void shutdownCallers_data();
    void shutdownCallers();
    void consoleCloseSignals_data();
    void consoleCloseSignals();
    void floodFromSeveralThreads();
    void shutdownWhileThreadsKeepLogging();

private:
    HelperRun run(const QStringList& commands, const std::map<QString, QString>& env = {},
                  int timeoutMs = 30000, bool keepStderr = true);
    QString logDir() const { return m_home->path() + "/Orvane/quOrbelPro/logs"; }
    QStringList logFiles() const;
    QByteArray readFile(const QString& path) const;
    // Everything after the mandatory first line, checking that line on the way.
    QByteArray bodyOf(const HelperRun& r) const;

    std::unique_ptr<QTemporaryDir> m_home;
};

void TestLogging::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
}

HelperRun TestLogging::run(const QStringList& commands, const std::map<QString, QString>& env,
                           int timeoutMs, bool keepStderr)
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("XDG_DATA_HOME", m_home->path());
    for (const char* name : {"QUORB_LOG_MAX_BYTES", "QUORB_LOG_MAX_FILES", "QUORB_LOG_QUEUE_MAX",
                             "QUORB_AV_LOG_LEVEL", "QT_MESSAGE_PATTERN"})
        e.remove(name);
    for (const auto& [k, v] : env)
        e.insert(k, v);
    p.setProcessEnvironment(e);
    if (!keepStderr)
        p.setStandardErrorFile(QProcess::nullDevice());
    p.start(helperPath(), commands);
    HelperRun r;
    r.finished = p.waitForStarted(5000) && p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    r.exitStatus = p.exitStatus();
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QStringList TestLogging::logFiles() const
{
    QStringList names = QDir(logDir()).entryList(QDir::Files, QDir::Name);
    return names;
}

QByteArray TestLogging::readFile(const QString& path) const
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QByteArray TestLogging::bodyOf(const HelperRun& r) const
{
    const QString path = QString::fromUtf8(r.value("path"));
    const QByteArray content = readFile(path);
    const QByteArray first = "quorbel log file: \"" + path.toUtf8() + "\"\n";
    if (path.isEmpty() || !content.startsWith(first)) {
        qWarning() << "unexpected log start:" << content.left(200) << "path" << path;
        return "<bad first line>";
    }
    return content.mid(first.size());
}

void TestLogging::lineEndings_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QByteArray>("expectedBody");

    QTest::newRow("message ending in CR LF") << QStringList{"qt:" + enc("a\r\n")} << QByteArray("a\n");
    QTest::newRow("only CR and LF") << QStringList{"qt:" + enc("\r\n\n\r")} << QByteArray();
    QTest::newRow("empty message") << QStringList{"qt:"} << QByteArray();
    QTest::newRow("embedded line break stays") << QStringList{"qt:" + enc("a\nb\r\n")} << QByteArray("a\nb\n");
    QTest::newRow("stderr CR LF line") << QStringList{"stderr:" + enc("s1\r\n")} << QByteArray("s1\n");
    QTest::newRow("stderr CR inside a line") << QStringList{"stderr:" + enc("x\ry\n")} << QByteArray("xy\n");
    QTest::newRow("stderr blank lines") << QStringList{"stderr:" + enc("\n\r\n\n")} << QByteArray();
    QTest::newRow("stderr several lines in one write")
        << QStringList{"stderr:" + enc("one\ntwo\n\nthree\n")} << QByteArray("one\ntwo\nthree\n");
    QTest::newRow("ffmpeg CR LF") << QStringList{"av:16:" + enc("e1\r\n")} << QByteArray("e1\n");
    QTest::newRow("ffmpeg only LF") << QStringList{"av:16:" + enc("\n")} << QByteArray();
}

void TestLogging::lineEndings()
{
    QFETCH(QStringList, commands);
    QFETCH(QByteArray, expectedBody);
    // The pause lets the pipe reader pass captured text on before the writer stops.
    const HelperRun r = run(QStringList{"init", "path"} + commands + QStringList{"sleep:300", "shutdown"});
    QVERIFY2(r.ok(), r.why().constData());
    QCOMPARE(bodyOf(r), expectedBody);
}

void TestLogging::rotation_data()
{
    QTest::addColumn<int>("maxFiles");
    QTest::addColumn<int>("expectedFiles");

    QTest::newRow("three files") << 3 << 3;
    QTest::newRow("two files") << 2 << 2;
    QTest::newRow("one file grows") << 1 << 1;
}

void TestLogging::rotation()
{
    QFETCH(int, maxFiles);
    QFETCH(int, expectedFiles);
    constexpr int kLines = 200;
    constexpr int kLimit = 1000;
    const HelperRun r = run({"init", "path", "lines:" + QString::number(kLines), "shutdown"},
                            {{"QUORB_LOG_MAX_BYTES", QString::number(kLimit)},
                             {"QUORB_LOG_MAX_FILES", QString::number(maxFiles)}});
    QVERIFY2(r.ok(), r.why().constData());
    const QString path = QString::fromUtf8(r.value("path"));
    const QString name = QFileInfo(path).fileName();

    QStringList expectedNames{name};
    for (int i = 1; i < expectedFiles; ++i)
        expectedNames << name + '.' + QString::number(i);
    expectedNames.sort();
    QCOMPARE(logFiles(), expectedNames);

    // Oldest first, the files must hold an unbroken run of lines ending with the last one.
    QByteArray all;
    for (int i = expectedFiles - 1; i >= 1; --i) {
        const QByteArray rotated = readFile(path + '.' + QString::number(i));
        QVERIFY2(rotated.size() >= kLimit && rotated.size() < kLimit + 60,
                 qPrintable(QString("rotated file .%1 has %2 bytes").arg(i).arg(rotated.size())));
        all += rotated;
    }
    const QByteArray current = readFile(path);
    if (maxFiles == 1)
        QVERIFY(current.size() > 8000); // never moved, grows past the limit
    else
        QVERIFY(current.size() < kLimit);
    all += current;

    const QList<QByteArray> lines = all.trimmed().split('\n');
    QRegularExpression numbered("^line (\\d{5}) ");
    int expectNext = -1;
    for (const QByteArray& line : lines) {
        const auto m = numbered.match(QString::fromUtf8(line));
        if (!m.hasMatch())
            continue;
        const int n = m.captured(1).toInt();
        if (expectNext >= 0)
            QCOMPARE(n, expectNext);
        expectNext = n + 1;
    }
    QCOMPARE(expectNext, kLines);
}

void TestLogging::stderrCapture()
{
    const HelperRun r = run({"init", "path", "fd2", "stderr:partial-line", "waitlog:partial-line",
                             "stderr:" + enc("\n"), "sleep:200", "shutdown", "fd2", "stderr:" + enc("after\n"),
                             "shutdown", "fd2"});
    QVERIFY2(r.ok(), r.why().constData());
    QCOMPARE(r.out.count("fd2 other"), 1);
    QCOMPARE(r.out.count("fd2 original"), 2);

    const qint64 waited = r.value("waitlog").toLongLong();
    QVERIFY2(waited >= 350 && waited <= 2000, qPrintable(QString("partial line after %1 ms").arg(waited)));

    // The lone line feed after the flushed partial line adds no empty line.
    QCOMPARE(bodyOf(r), QByteArray("partial-line\n"));
    // The console still saw everything, in one piece.
    QVERIFY2(r.err.contains("partial-line\n"), r.err.constData());
    QVERIFY(r.err.contains("after\n"));
}

void TestLogging::ffmpegLevel_data()
{
    QTest::addColumn<QString>("levelValue");
    QTest::addColumn<QList<int>>("arriving");

    const QList<int> warningAndBelow{16, 24};
    QTest::newRow("unset") << QString() << warningAndBelow;
    QTest::newRow("quiet") << "-8" << QList<int>{};
    QTest::newRow("debug") << "48" << QList<int>{16, 24, 32, 48};
    QTest::newRow("garbage") << "loud" << warningAndBelow;
    QTest::newRow("error") << "16" << QList<int>{16};
}

void TestLogging::ffmpegLevel()
{
    QFETCH(QString, levelValue);
    QFETCH(QList<int>, arriving);
    std::map<QString, QString> env;
    if (!levelValue.isNull())
        env["QUORB_AV_LOG_LEVEL"] = levelValue;
    QStringList commands{"init", "path"};
    for (int level : {16, 24, 32, 48, 56})
        commands << QString("av:%1:level-%1").arg(level);
    commands << "shutdown";
    const HelperRun r = run(commands, env);
    QVERIFY2(r.ok(), r.why().constData());
    QByteArray expected;
    for (int level : arriving)
        expected += "level-" + QByteArray::number(level) + '\n';
    QCOMPARE(bodyOf(r), expected);
}

void TestLogging::ffmpegHookReinstalled()
{
    // Something replaces the hook right after start; the start-up timers put it back.
    const HelperRun r = run({"init", "path", "avreset", "av:16:lost", "events:400", "av:16:found",
                             "avreset", "reinstall", "avctx:16:with-context", "shutdown", "reinstall",
                             "av:16:after-shutdown"});
    QVERIFY2(r.ok(), r.why().constData());
    const QByteArray body = bodyOf(r);
    const QList<QByteArray> lines = body.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QByteArray("found"));
    QVERIFY2(QRegularExpression("^\\[\\S+ @ 0x[0-9a-f]+\\] with-context$")
                 .match(QString::fromUtf8(lines[1]))
                 .hasMatch(),
             lines[1].constData());
    // After shutdown the hook writes straight to standard error.
    QVERIFY(r.err.contains("after-shutdown\n"));
    QVERIFY(!body.contains("after-shutdown"));
}

void TestLogging::purgeSparesLockedAndSmallFiles()
{
    constexpr qint64 kLimit = 10485760;
    QVERIFY(QDir().mkpath(logDir()));
    const std::map<QString, qint64> oldFiles{
        {"quorbel_20200101_000000.log", kLimit + 1},
        {"quorbel_20200101_000001.log", kLimit},
        {"quorbel_20200101_000002.log.3", kLimit + 1},
        {"quorbel_20200101_000003.log.1", 10},
        {"other.log", kLimit + 100},
        {"quorbel_20200101_000004.txt", kLimit + 100},
    };
    for (const auto& [name, size] : oldFiles) {
        QFile f(logDir() + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
    }

    // A running instance whose current log is already over the limit.
    QProcess running;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("XDG_DATA_HOME", m_home->path());
    running.setProcessEnvironment(e);
    running.setStandardErrorFile(QProcess::nullDevice());
    running.start(helperPath(), {"init", "path", "grow:11534336", "ready"});
    QVERIFY(running.waitForStarted(5000));
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains("ready") && timer.elapsed() < 30000 && running.state() == QProcess::Running) {
        running.waitForReadyRead(100);
        out += running.readAllStandardOutput();
    }
    QVERIFY2(out.contains("ready"), out.constData());
    const QString runningLog = QString::fromUtf8(out.mid(out.indexOf("path ") + 5).split('\n').first());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(runningLog).size() > kLimit, 10000);

    const HelperRun purge = run({"purge:" + QString::number(kLimit)});

    running.closeWriteChannel();
    QVERIFY(running.waitForFinished(15000));
    QVERIFY2(purge.ok(), purge.why().constData());

    QStringList expected{"quorbel_20200101_000001.log", "quorbel_20200101_000003.log.1", "other.log",
                         "quorbel_20200101_000004.txt", QFileInfo(runningLog).fileName()};
    expected.sort();
    QCOMPARE(logFiles(), expected);
    QVERIFY(QFileInfo(runningLog).size() > kLimit);
}

void TestLogging::sameSecondStartsGetTheirOwnFile()
{
    // Files of "earlier" starts for every second the helper might start in.
    QVERIFY(QDir().mkpath(logDir()));
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int s = 0; s < 10; ++s) {
        const QString name = "quorbel_" + now.addSecs(s).toString("yyyyMMdd_HHmmss") + ".log";
        QFile f(logDir() + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("earlier start\n");
        taken << name;
    }
    const HelperRun r = run({"init", "path", "qt:mine", "shutdown"});
    QVERIFY2(r.ok(), r.why().constData());
    const QString mine = QFileInfo(QString::fromUtf8(r.value("path"))).fileName();
    QVERIFY2(!taken.contains(mine), qPrintable(mine));
    QVERIFY2(QRegularExpression("^quorbel_\\d{8}_\\d{6}_\\d+\\.log$").match(mine).hasMatch(), qPrintable(mine));
    QCOMPARE(bodyOf(r), QByteArray("mine\n"));
    for (const QString& name : taken)
        QCOMPARE(readFile(logDir() + '/' + name), QByteArray("earlier start\n"));
}

void TestLogging::fallbackBesideTheProgram()
{
    // A data folder below a plain file can never be created.
    QFile blocker(m_home->path() + "/not-a-folder");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const HelperRun r = run({"init", "path", "qt:fallback", "shutdown"},
                            {{"XDG_DATA_HOME", blocker.fileName() + "/data"}});
    const QString path = QString::fromUtf8(r.value("path"));
    const auto cleanup = qScopeGuard([&] {
        QFile::remove(path);
        QDir().rmdir(QStringLiteral(QUORB_TEST_BIN_DIR "/logs"));
    });
    QVERIFY2(r.ok(), r.why().constData());
    QCOMPARE(QFileInfo(path).absolutePath(), QStringLiteral(QUORB_TEST_BIN_DIR "/logs"));
    QCOMPARE(bodyOf(r), QByteArray("fallback\n"));
}

void TestLogging::shutdownCallers_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("crashes");
    QTest::addColumn<QByteArray>("expectedBody");

    QTest::newRow("application quits") << QStringList{"qt:before", "quit", "fd2", "qt:after-quit"} << false
                                       << QByteArray("before\n");
    QTest::newRow("process exits") << QStringList{"qt:tail"} << false << QByteArray("tail\n");
    QTest::newRow("fatal message") << QStringList{"qt:before", "fatal:boom"} << true
                                   << QByteArray("before\nboom\n");
}

void TestLogging::shutdownCallers()
{
    QFETCH(QStringList, commands);
    QFETCH(bool, crashes);
    QFETCH(QByteArray, expectedBody);
    const HelperRun r = run(QStringList{"init", "path"} + commands);
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus == QProcess::CrashExit, crashes);
    if (!crashes)
        QCOMPARE(r.exitCode, 0);
    QCOMPARE(bodyOf(r), expectedBody);
    if (commands.contains("fd2"))
        QVERIFY(r.out.contains("fd2 original"));
}

void TestLogging::consoleCloseSignals_data()
{
    QTest::addColumn<int>("signo");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestLogging::consoleCloseSignals()
{
    QFETCH(int, signo);
    const HelperRun r = run({"init", "path", "qt:before-signal", "waitlog:before-signal",
                             "raise:" + QString::number(signo)});
    QVERIFY(r.finished);
    QCOMPARE(r.exitStatus, QProcess::CrashExit);
    QVERIFY2(!r.out.contains("survived"), r.out.constData());
    QCOMPARE(bodyOf(r), QByteArray("before-signal\n"));
}

void TestLogging::floodFromSeveralThreads()
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250000;
    constexpr int kQueueMax = 1000;
    const HelperRun r = run({"init", "path", QString("flood:%1:%2").arg(kThreads).arg(kPerThread),
                             "qt:last-line", "shutdown", "highwater"},
                            {{"QUORB_LOG_QUEUE_MAX", QString::number(kQueueMax)},
                             {"QUORB_LOG_MAX_BYTES", QString::number(qint64(1) << 40)}},
                            240000, false);
    QVERIFY2(r.finished, "flood did not finish: deadlock or far too slow");
    QVERIFY2(r.ok(), r.why().constData());
    const qint64 highWater = r.value("highwater").toLongLong();
    QVERIFY2(highWater > 0 && highWater <= kQueueMax, r.value("highwater").constData());

    // The flood may push even the first line out of the queue.
    const QByteArray body = readFile(QString::fromUtf8(r.value("path")));
    QVERIFY(body.endsWith("\nlast-line\n"));
    // Lines may be dropped, oldest first, but never reordered or repeated.
    std::vector<int> lastSeen(kThreads, -1);
    qsizetype lines = 0;
    for (const QByteArray& line : body.split('\n')) {
        if (!line.startsWith("flood t"))
            continue;
        ++lines;
        const QList<QByteArray> parts = line.split(' ');
        const int t = parts.value(1).mid(1).toInt();
        const int n = parts.value(2).mid(1).toInt();
        QVERIFY(t >= 0 && t < kThreads);
        QVERIFY2(n > lastSeen[t], line.constData());
        lastSeen[t] = n;
    }
    QVERIFY(lines > 0 && lines <= kThreads * kPerThread);
}

void TestLogging::shutdownWhileThreadsKeepLogging()
{
    const HelperRun r = run({"init", "floodshutdown:4", "fd2"}, {}, 60000, false);
    QVERIFY2(r.finished, "shutdown never returned while other threads logged");
    QVERIFY2(r.ok(), r.why().constData());
    QVERIFY2(r.value("shutdown-ms").toLongLong() < 5000, r.out.constData());
    QVERIFY(r.out.contains("fd2 original"));
}

QUORB_TEST_MAIN(TestLogging)
#include "tst_logging.moc"

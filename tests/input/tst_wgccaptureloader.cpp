#include "input/wgccaptureloader.h"

#include "support/testsupport.h"

#include <QtTest>

// The capture library's loader against fake libraries compiled here: which
// files it tries, which exports it needs, and what it reports.

namespace {

const char* const kCreate = "extern \"C\" __attribute__((visibility(\"default\"))) void* wgc_capture_create(unsigned long w) "
                            "{ return (void*)w; }\n";
const char* const kCreateMonitor = "extern \"C\" __attribute__((visibility(\"default\"))) void* "
                                   "wgc_capture_create_monitor(unsigned long m) { return (void*)m; }\n";
const char* const kDestroy = "extern \"C\" __attribute__((visibility(\"default\"))) void wgc_capture_destroy(void*) {}\n";
const char* const kCopy = "extern \"C\" __attribute__((visibility(\"default\"))) int wgc_capture_copy_bgra(void*, "
                          "unsigned char*, int, int*, int*, long long*) { return -1; }\n";

// Compiles source into dir/libwgccapture.so; an empty error on success.
QString buildLibrary(const QString& dir, const QByteArray& source)
{
    QDir().mkpath(dir);
    QProcess compiler;
    compiler.start("g++", {"-shared", "-fPIC", "-x", "c++", "-", "-o", dir + "/libwgccapture.so"});
    if (!compiler.waitForStarted())
        return "needs g++";
    compiler.write(source);
    compiler.closeWriteChannel();
    compiler.waitForFinished(60000);
    return compiler.exitCode() == 0 ? QString() : QString::fromLocal8Bit(compiler.readAllStandardError());
}

} // namespace

class TestWgcCaptureLoader : public QObject {
    Q_OBJECT

private slots:
    void candidates_data();
    void candidates();
    void failedLoadIsRetried();
};

void TestWgcCaptureLoader::candidates_data()
{
    QTest::addColumn<QString>("where"); // "app", "parent", "cwd" or "" for none
    QTest::addColumn<QByteArray>("source"); // "not a library" writes text instead
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<bool>("hasMonitor");
    QTest::addColumn<QString>("error"); // "*": the system loader's own text

    const QByteArray full = QByteArray(kCreate) + kCreateMonitor + kDestroy + kCopy;
    const QString notFound = "未找到 libwgccapture.so（请用 CMake 构建后放到程序目录或其上一级目录）";
    QTest::newRow("missing") << "" << QByteArray() << false << false << notFound;
    QTest::newRow("beside the program") << "app" << full << true << true << QString();
    QTest::newRow("in the folder above") << "parent" << full << true << true << QString();
    QTest::newRow("working directory is ignored") << "cwd" << full << false << false << notFound;
    QTest::newRow("no monitor export") << "app" << QByteArray(kCreate) + kDestroy + kCopy << true << false
                                       << QString();
    QTest::newRow("no copy export") << "app" << QByteArray(kCreate) + kCreateMonitor + kDestroy << false << false
                                    << "libwgccapture.so 导出符号不完整";
    QTest::newRow("not a library") << "app" << QByteArray("not a library") << false << false << "*";
}

void TestWgcCaptureLoader::candidates()
{
    QFETCH(QString, where);
    QFETCH(QByteArray, source);
    QFETCH(bool, loaded);
    QFETCH(bool, hasMonitor);
    QFETCH(QString, error);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString appDir = root.path() + "/parent/app";
    const QString cwd = root.path() + "/cwd";
    QDir().mkpath(appDir);
    QDir().mkpath(cwd);
    const QString libDir = where == "app" ? appDir : where == "parent" ? root.path() + "/parent" : cwd;
    if (source == "not a library") {
        QFile file(libDir + "/libwgccapture.so");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(source);
    } else if (!where.isEmpty()) {
        const QString failure = buildLibrary(libDir, source);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
    const QString previous = QDir::currentPath();
    QDir::setCurrent(cwd);
    WgcCaptureLoader loader(appDir);
    QString message = "unset";
    const bool ok = loader.ensureLoaded(&message);
    QDir::setCurrent(previous);

    QCOMPARE(ok, loaded);
    const WgcCaptureFunctions fns = loader.functions();
    QCOMPARE(fns.create != nullptr, loaded);
    QCOMPARE(fns.copyBgra != nullptr, loaded);
    QCOMPARE(fns.createMonitor != nullptr, hasMonitor);
    if (loaded) {
        QCOMPARE(message, QString("unset")); // success leaves the caller's text alone the first time
    } else if (error == "*") {
        QVERIFY(!message.isEmpty());
        QVERIFY(!message.contains("未找到"));
        QVERIFY(!message.contains("导出符号不完整"));
    } else {
        QCOMPARE(message, error);
    }
}

void TestWgcCaptureLoader::failedLoadIsRetried()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    WgcCaptureLoader loader(root.path());
    QString message;
    QVERIFY(!loader.ensureLoaded(&message));
    QVERIFY(message.startsWith("未找到"));
    const QString failure =
        buildLibrary(root.path(), QByteArray(kCreate) + kCreateMonitor + kDestroy + kCopy);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(loader.ensureLoaded(&message));
    QVERIFY(loader.ensureLoaded(&message));
    QVERIFY(message.isEmpty());
}

QUORB_TEST_MAIN(TestWgcCaptureLoader)
#include "tst_wgccaptureloader.moc"

// Runs the process log through a script of commands given as arguments, so
// that tests can watch process-wide behaviour (standard error, signals, exit
// hooks) from outside. Text arguments are percent-encoded. Results go to
// standard output, one line per result.

#include "app/logging.h"
#include "app/loggingdiagnostics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct stat originalStderr;

void report(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray decoded(const QByteArray& arg)
{
    return QByteArray::fromPercentEncoding(arg);
}

void writeStderr(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, std::size_t(left));
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

bool fd2IsOriginal()
{
    struct stat now;
    return ::fstat(STDERR_FILENO, &now) == 0 && now.st_dev == originalStderr.st_dev &&
           now.st_ino == originalStderr.st_ino;
}

// Waits until the current log file holds text; returns the milliseconds waited or -1.
qint64 waitForLogText(const QByteArray& text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QFile file(currentLogFilePath());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(text))
            return timer.elapsed();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

void flood(int threads, int perThread)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, perThread] {
            for (int n = 0; n < perThread; ++n)
                qInfo("flood t%d n%d", t, n);
        });
    }
    for (auto& w : workers)
        w.join();
}

// Shuts logging down while other threads keep logging; reports how long it took.
void shutdownUnderFlood(int threads)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&stop, t] {
            for (int n = 0; !stop.load(); ++n)
                qInfo("busy t%d n%d", t, n);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QElapsedTimer timer;
    timer.start();
    shutdownLogging();
    report("shutdown-ms " + QByteArray::number(timer.elapsed()));
    stop.store(true);
    for (auto& w : workers)
        w.join();
}

void logWithContext(int level, const QByteArray& text)
{
    AVFormatContext* context = avformat_alloc_context();
    av_log(context, level, "%s", text.constData());
    avformat_free_context(context);
}

void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    ::fstat(STDERR_FILENO, &originalStderr);
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const QByteArray command = argv[i];
        const QList<QByteArray> parts = command.split(':');
        const QByteArray& verb = parts.first();
        const QByteArray rest = command.mid(verb.size() + 1);
        if (verb == "init") {
            initLogging();
        } else if (verb == "purge") {
            purgeOversizedLogs(rest.toLongLong());
        } else if (verb == "qt") {
            qInfo("%s", decoded(rest).constData());
        } else if (verb == "fatal") {
            qFatal("%s", decoded(rest).constData());
        } else if (verb == "stderr") {
            writeStderr(decoded(rest));
        } else if (verb == "av") {
            av_log(nullptr, parts.value(1).toInt(), "%s", decoded(parts.value(2)).constData());
        } else if (verb == "avctx") {
            logWithContext(parts.value(1).toInt(), decoded(parts.value(2)));
        } else if (verb == "avreset") {
            // What a library that silences FFmpeg would do.
            av_log_set_callback(av_log_default_callback);
            av_log_set_level(AV_LOG_QUIET);
        } else if (verb == "reinstall") {
            installFfmpegLogCallback();
        } else if (verb == "lines") {
            for (int n = 0; n < rest.toInt(); ++n)
                qInfo("line %05d ..............................", n);
        } else if (verb == "grow") {
            const QByteArray chunk(1 << 20, 'x');
            for (qint64 written = 0; written < rest.toLongLong(); written += chunk.size())
                qInfo("%s", chunk.constData());
        } else if (verb == "flood") {
            flood(parts.value(1).toInt(), parts.value(2).toInt());
        } else if (verb == "floodshutdown") {
            shutdownUnderFlood(rest.toInt());
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(rest.toInt()));
        } else if (verb == "events") {
            runEventLoop(rest.toInt());
        } else if (verb == "waitlog") {
            report("waitlog " + QByteArray::number(waitForLogText(decoded(rest), 5000)));
        } else if (verb == "shutdown") {
            shutdownLogging();
        } else if (verb == "quit") {
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
            app.exec();
        } else if (verb == "fd2") {
            report(fd2IsOriginal() ? "fd2 original" : "fd2 other");
        } else if (verb == "path") {
            report("path " + currentLogFilePath().toUtf8());
        } else if (verb == "highwater") {
            report("highwater " + QByteArray::number(logQueueHighWater()));
        } else if (verb == "ready") {
            // Keeps the process (and its log file) alive until the test closes stdin.
            report("ready");
            char buffer[256];
            while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
            }
        } else if (verb == "raise") {
            std::raise(rest.toInt());
            report("survived");
        } else {
            report("unknown command " + command);
            return 2;
        }
    }
    return 0;
}

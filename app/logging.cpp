#include "app/logging.h"

#include "app/loggingdiagnostics.h"
#include "app/loglimits.h"
#include "avglue/avloghook.h"
#include "platform/consolesignals.h"
#include "platform/filelock.h"
#include "platform/stderrpipe.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>
#include <QTimer>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <unistd.h>

// Module state, shared by every thread that logs.
//
// Producers (any thread): take logQueueMutex only to append a line.
// Writer thread: takes logQueueMutex to move a batch out, then logFileMutex to
// write it; both are held together only for the final flush, queue first.
// Reader thread: reads the pipe, echoes through savedStderrMutex, appends.
// initLogging and shutdownLogging: the application's thread (or the exit hook,
// or a thread that logged a fatal message).
// Signal hooks: try-locks only.

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kWriterBatchLines = 512;
constexpr auto kWriterIdleWake = 250ms;
constexpr auto kPartialLineDelay = 400ms;
constexpr int kReaderPollMs = 50;
constexpr std::size_t kPipeReadBytes = 4096;
constexpr int kFfmpegLineBytes = 4096;
constexpr int kFreeNameAttempts = 100;
constexpr int kFfmpegHookRetryMs[] = {0, 200, 2000};

// Written by initLogging, read by every producer.
std::atomic<qint64> logMaxBytes{LogLimits::kDefaultMaxBytes};
std::atomic<int> logMaxFiles{LogLimits::kDefaultMaxFiles};
std::atomic<qint64> logQueueMax{LogLimits::kDefaultQueueMax};
std::atomic<int> ffmpegLogLevel{LogLimits::kDefaultFfmpegLogLevel};

// Guarded by logQueueMutex.
std::mutex logQueueMutex;
std::condition_variable logQueueCond;
std::deque<QByteArray> logLineQueue; // oldest first, no empty entries
qsizetype queueHighWater = 0;
// Lines taken by an emergency flush. Kept, not freed: memory must not be
// released inside a signal handler.
std::deque<QByteArray> emergencyLines;

std::atomic<bool> logStopRequested{false};

// Guarded by logFileMutex.
std::mutex logFileMutex;
std::unique_ptr<QFile> logFile; // null without a file (open failed, or shut down)
QString logFilePath;
qint64 logBytesWritten = 0;

// Guarded by savedStderrMutex: shared while echoing, exclusive to close it, so
// no echo ever writes to a descriptor number that was closed and reused.
std::shared_mutex savedStderrMutex;
int savedStderrFd = -1;

// Set before the reader starts, closed after it is joined.
int stderrPipeReadFd = -1;

std::atomic<bool> stderrPipeActive{false};
std::atomic<bool> stderrReaderStop{false};
std::atomic<bool> qtHandlerInstalled{false};
std::atomic<bool> logStarted{false};
std::atomic<bool> logShutdownDone{false};
std::atomic<bool> logExitHookRegistered{false};

// Started by initLogging, joined by shutdownLogging.
std::thread logWriter;
std::thread stderrReader;

void stripLineEnd(QByteArray& line)
{
    qsizetype n = line.size();
    while (n > 0 && (line.at(n - 1) == '\n' || line.at(n - 1) == '\r'))
        --n;
    line.truncate(n);
}

void enqueueLogLine(QByteArray line)
{
    stripLineEnd(line);
    if (line.isEmpty())
        return;
    {
        std::lock_guard lock(logQueueMutex);
        const auto max = std::size_t(logQueueMax.load(std::memory_order_relaxed));
        while (logLineQueue.size() >= max)
            logLineQueue.pop_front();
        logLineQueue.push_back(std::move(line));
        if (qsizetype(logLineQueue.size()) > queueHighWater)
            queueHighWater = qsizetype(logLineQueue.size());
    }
    logQueueCond.notify_one();
}

void writeToOriginalStderr(const char* data, std::size_t size)
{
    std::shared_lock lock(savedStderrMutex);
    if (savedStderrFd < 0)
        return;
    if (platform::writeAll(savedStderrFd, data, size))
        platform::writeAll(savedStderrFd, "\n", 1);
}

void lockCurrentLogFileLocked()
{
    // Tells the start-up purge of a later start that this file is in use.
    platform::tryLockFileExclusive(logFile->handle());
}

void rotateLogFilesLocked()
{
    const int n = logMaxFiles.load(std::memory_order_relaxed);
    if (n <= 1)
        return;
    const QString& p = logFilePath;
    QFile::remove(p + '.' + QString::number(n - 1));
    for (int i = n - 2; i >= 1; --i) {
        const QString from = p + '.' + QString::number(i);
        if (!QFile::exists(from))
            continue;
        const QString to = p + '.' + QString::number(i + 1);
        QFile::remove(to);
        QFile::rename(from, to);
    }
    if (QFile::exists(p)) {
        QFile::remove(p + ".1");
        QFile::rename(p, p + ".1");
    }
}

void rotateLogIfNeededLocked()
{
    const qint64 maxBytes = logMaxBytes.load(std::memory_order_relaxed);
    if (!logFile || !logFile->isOpen() || maxBytes < 1 || logBytesWritten < maxBytes)
        return;
    logFile->flush();
    logFile->close();
    rotateLogFilesLocked();
    if (logFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        lockCurrentLogFileLocked();
        logBytesWritten = 0;
    } else {
        std::fprintf(stderr, "quorbel: log rotate reopen failed for %s\n",
                     QFile::encodeName(logFilePath).constData());
        std::fflush(stderr);
    }
}

void writeLogLineLocked(const QByteArray& line)
{
    if (!logFile || !logFile->isOpen() || line.isEmpty())
        return;
    logFile->write(line);
    logFile->write("\n", 1);
    logBytesWritten += line.size() + 1;
    rotateLogIfNeededLocked();
}

void flushLogFileLocked()
{
    if (logFile && logFile->isOpen())
        logFile->flush();
}

void logWriterThread()
{
    std::vector<QByteArray> batch;
    batch.reserve(kWriterBatchLines);
    // Once a stop is seen, only the lines pending at that moment are written,
    // so threads that keep logging cannot hold the shutdown forever.
    std::optional<std::size_t> drainLeft;
    std::unique_lock queueLock(logQueueMutex);
    for (;;) {
        const auto deadline = std::chrono::steady_clock::now() + kWriterIdleWake;
        while (!logStopRequested.load() && logLineQueue.empty()) {
            if (logQueueCond.wait_until(queueLock, deadline) == std::cv_status::timeout)
                break;
        }
        if (logStopRequested.load() && !drainLeft)
            drainLeft = logLineQueue.size();
        std::size_t take = std::min(kWriterBatchLines, logLineQueue.size());
        if (drainLeft)
            take = std::min(take, *drainLeft);
        for (std::size_t i = 0; i < take; ++i) {
            batch.push_back(std::move(logLineQueue.front()));
            logLineQueue.pop_front();
        }
        if (drainLeft)
            *drainLeft -= take;
        if (batch.empty() && drainLeft) {
            std::lock_guard fileLock(logFileMutex);
            flushLogFileLocked();
            return;
        }
        queueLock.unlock();
        if (!batch.empty()) {
            std::lock_guard fileLock(logFileMutex);
            for (const QByteArray& line : batch)
                writeLogLineLocked(line);
            flushLogFileLocked();
        }
        batch.clear();
        queueLock.lock();
    }
}

void stderrPipeReaderThread(int readFd)
{
    QByteArray pending;
    pending.reserve(512);
    auto lastData = std::chrono::steady_clock::now();
    char buffer[kPipeReadBytes];

    // The line is handed over, not shared, so the writer alone frees it.
    auto flushPending = [&pending] {
        if (!pending.isEmpty()) {
            enqueueLogLine(std::move(pending));
            pending = QByteArray();
            pending.reserve(512);
        }
    };
    auto consume = [&](std::size_t size) {
        {
            std::shared_lock lock(savedStderrMutex);
            if (savedStderrFd >= 0)
                platform::writeAll(savedStderrFd, buffer, size);
        }
        for (std::size_t i = 0; i < size; ++i) {
            const char c = buffer[i];
            if (c == '\n')
                flushPending();
            else if (c != '\r')
                pending.append(c);
        }
    };

    if (stderrReaderStop.load())
        return;
    for (;;) {
        std::size_t received = 0;
        const platform::PipeRead r =
            platform::readPipe(readFd, buffer, sizeof buffer, &received, kReaderPollMs);
        if (r == platform::PipeRead::Closed)
            break;
        if (r == platform::PipeRead::Data) {
            lastData = std::chrono::steady_clock::now();
            consume(received);
        } else if (!pending.isEmpty() && std::chrono::steady_clock::now() - lastData >= kPartialLineDelay) {
            flushPending();
        }
        if (stderrReaderStop.load()) {
            // Text written just before the stop still reaches the console.
            while (platform::readPipe(readFd, buffer, sizeof buffer, &received, 0) ==
                   platform::PipeRead::Data)
                consume(received);
            break;
        }
    }
    flushPending();
}

void ffmpegLogCallback(void* context, int level, const char* format, va_list arguments)
{
    if (level > ffmpegLogLevel.load(std::memory_order_relaxed))
        return;
    char line[kFfmpegLineBytes];
    int printPrefix = 1;
    av_log_format_line(context, level, format, arguments, line, sizeof line, &printPrefix);
    QByteArray text(line, qsizetype(::strnlen(line, sizeof line - 1)));
    stripLineEnd(text);
    if (text.isEmpty())
        return;
    if (stderrPipeActive.load()) {
        writeToOriginalStderr(text.constData(), std::size_t(text.size()));
    } else {
        std::fwrite(text.constData(), 1, std::size_t(text.size()), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    enqueueLogLine(std::move(text));
}

void qtMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QByteArray text = qFormatLogMessage(type, context, message).toUtf8();
    if (stderrPipeActive.load()) {
        writeToOriginalStderr(text.constData(), std::size_t(text.size()));
        enqueueLogLine(std::move(text));
    } else {
        // Queued first: for a fatal message the framework's output ends the process.
        enqueueLogLine(text);
        qt_message_output(type, context, message);
    }
    if (type == QtFatalMsg) {
        shutdownLogging();
        std::fflush(stderr);
        std::abort();
    }
}

// Best effort when the process is dying: never waits for a lock and never
// allocates, since it runs inside signal handlers.
void emergencyFlushLogs()
{
    {
        std::unique_lock queueLock(logQueueMutex, std::try_to_lock);
        if (!queueLock.owns_lock() || !emergencyLines.empty())
            return;
        emergencyLines.swap(logLineQueue);
    }
    std::unique_lock fileLock(logFileMutex, std::try_to_lock);
    if (!fileLock.owns_lock())
        return;
    flushLogFileLocked();
    for (const QByteArray& line : emergencyLines) {
        if (!logFile || !logFile->isOpen() || line.isEmpty())
            continue;
        const int fd = logFile->handle();
        platform::writeAll(fd, line.constData(), std::size_t(line.size()));
        platform::writeAll(fd, "\n", 1);
        logBytesWritten += line.size() + 1;
        rotateLogIfNeededLocked();
    }
    std::fflush(stderr);
}

void abortSignalHandler(int)
{
    emergencyFlushLogs();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

void exitHook()
{
    shutdownLogging();
}

void setFfmpegHook()
{
    av_log_set_callback(ffmpegLogCallback);
    av_log_set_level(ffmpegLogLevel.load(std::memory_order_relaxed));
}

// Opens a new file for this start. A name taken by a start in the same second
// gets a numbered suffix instead of being truncated.
bool openNewLogFile(const QString& directory, const QString& stamp)
{
    const QString base = QDir(directory).filePath(QStringLiteral("quorbel_%1").arg(stamp));
    QString firstPath;
    for (int attempt = 1; attempt <= kFreeNameAttempts; ++attempt) {
        const QString path = attempt == 1 ? base + ".log" : base + '_' + QString::number(attempt) + ".log";
        if (firstPath.isEmpty())
            firstPath = path;
        if (QFile::exists(path + ".1"))
            continue;
        auto file = std::make_unique<QFile>(path);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text)) {
            std::lock_guard lock(logFileMutex);
            logFilePath = path;
            logFile = std::move(file);
            logBytesWritten = logFile->size();
            lockCurrentLogFileLocked();
            return true;
        }
        if (!QFile::exists(path))
            break;
    }
    {
        std::lock_guard lock(logFileMutex);
        logFilePath = firstPath;
        logFile.reset();
    }
    std::fprintf(stderr, "quorbel: could not open log file %s, stderr only\n",
                 QFile::encodeName(firstPath).constData());
    std::fflush(stderr);
    return false;
}

bool captureStderr()
{
    platform::StderrPipe pipe;
    if (!platform::redirectStderrToPipe(pipe))
        return false;
    {
        std::unique_lock lock(savedStderrMutex);
        savedStderrFd = pipe.savedStderrFd;
    }
    stderrPipeReadFd = pipe.readFd;
    stderrPipeActive.store(true);
    stderrReaderStop.store(false);
    stderrReader = std::thread(stderrPipeReaderThread, stderrPipeReadFd);
    return true;
}

} // namespace

QString logDirectory()
{
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!dataHome.isEmpty()) {
        const QString dir = QDir(dataHome).filePath(QStringLiteral("Orvane/%1/logs").arg(QStringLiteral("quOrbelPro")));
        if (QDir().mkpath(dir))
            return dir;
    }
    const QString fallback = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("logs"));
    QDir().mkpath(fallback);
    return fallback;
}

void purgeOversizedLogs(std::int64_t limitBytes)
{
    if (limitBytes <= 0)
        return;
    const QDir dir(logDirectory());
    const QFileInfoList files = dir.entryInfoList({QStringLiteral("quorbel*.log*")},
                                                  QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo& info : files) {
        if (info.size() <= limitBytes)
            continue;
        QFile file(info.filePath());
        // A running instance keeps a lock on the file it writes; deleting that
        // file would make the rest of its log vanish.
        if (file.open(QIODevice::ReadOnly) && !platform::tryLockFileExclusive(file.handle()))
            continue;
        QFile::remove(info.filePath());
    }
}

void initLogging()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || logShutdownDone.load() || logStarted.exchange(true))
        return;

    const LogLimits limits = LogLimits::fromEnvironment();
    logMaxBytes.store(limits.maxBytes);
    logMaxFiles.store(limits.maxFiles);
    logQueueMax.store(limits.queueMax);

    openNewLogFile(logDirectory(), QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")));

    logStopRequested.store(false);
    logWriter = std::thread(logWriterThread);

    if (!captureStderr()) {
        std::fputs("quorbel: stderr pipe not available; line aggregation disabled\n", stderr);
        std::fflush(stderr);
    }

    ffmpegLogLevel.store(LogLimits::kDefaultFfmpegLogLevel);
    ffmpegLogLevel.store(LogLimits::ffmpegLogLevelFromEnvironment());
    av_log_set_level(ffmpegLogLevel.load());
    av_log_set_callback(ffmpegLogCallback);
    av::setLogHookInstaller(setFfmpegHook);
    qInstallMessageHandler(qtMessageHandler);
    qtHandlerInstalled.store(true);

    std::signal(SIGABRT, abortSignalHandler);
    platform::installConsoleCloseHook(emergencyFlushLogs);

    if (!logExitHookRegistered.exchange(true))
        std::atexit(exitHook);
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, &shutdownLogging, Qt::DirectConnection);

    qInfo() << "quorbel log file:" << currentLogFilePath();

    // Libraries opened during start-up may put their own log hook in place.
    for (int delayMs : kFfmpegHookRetryMs)
        QTimer::singleShot(delayMs, app, setFfmpegHook);
}

void installFfmpegLogCallback()
{
    setFfmpegHook();
}

void shutdownLogging()
{
    bool expected = false;
    if (!logShutdownDone.compare_exchange_strong(expected, true))
        return;

    logStopRequested.store(true);
    {
        // Taking the lock once makes sure the writer is either waiting or
        // will see the flag before it waits.
        std::lock_guard lock(logQueueMutex);
    }
    logQueueCond.notify_all();
    if (logWriter.joinable()) {
        if (logWriter.get_id() == std::this_thread::get_id())
            logWriter.detach();
        else
            logWriter.join();
    }

    av_log_set_callback(nullptr);

    if (stderrPipeActive.load()) {
        stderrReaderStop.store(true);
        {
            std::shared_lock lock(savedStderrMutex);
            if (savedStderrFd >= 0 && savedStderrFd != STDERR_FILENO)
                platform::restoreStderr(savedStderrFd);
        }
        stderrPipeActive.store(false);
        if (stderrReader.joinable())
            stderrReader.join();
        platform::closeDescriptor(stderrPipeReadFd);
        stderrPipeReadFd = -1;
        std::unique_lock lock(savedStderrMutex);
        platform::closeDescriptor(savedStderrFd);
        savedStderrFd = -1;
    }

    if (qtHandlerInstalled.exchange(false))
        qInstallMessageHandler(nullptr);

    std::lock_guard lock(logFileMutex);
    if (logFile) {
        logFile->flush();
        logFile->close();
        logFile.reset();
    }
}

QString currentLogFilePath()
{
    std::lock_guard lock(logFileMutex);
    return logFilePath;
}

qsizetype logQueueHighWater()
{
    std::lock_guard lock(logQueueMutex);
    return queueHighWater;
}

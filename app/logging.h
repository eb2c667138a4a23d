#pragma once

#include <cstdint>

class QString;

// The process log: one rotating file per start that receives Qt's messages,
// FFmpeg's log and every byte written to standard error.
//
// Threads: any thread may log (through Qt's logger, FFmpeg or standard error)
// and may call installFfmpegLogCallback at any time; a logging thread only
// appends to a bounded in-memory queue. A writer thread owns the disk and a
// reader thread drains the standard-error pipe. initLogging runs once on the
// thread of the application object; shutdownLogging does its work once,
// whichever caller (application quit, process exit, fatal message) comes first.

// Deletes log files of earlier starts larger than limitBytes; a file another
// running instance is writing to is left alone. Call before initLogging.
void purgeOversizedLogs(std::int64_t limitBytes);

// Reads the limits, opens this start's file, captures standard error and
// installs the Qt and FFmpeg hooks. Needs the application object; runs once.
void initLogging();

// Puts the log's FFmpeg callback and level back in place, after a library that
// replaced them. Any thread, any time (also after shutdownLogging).
void installFfmpegLogCallback();

// Writes what is queued, restores standard error, removes the hooks and closes
// the file. Later calls return at once; logging never restarts.
void shutdownLogging();

// Folder of the log files, created when missing.
QString logDirectory();

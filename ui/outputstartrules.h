#pragma once

// The plain-value rules of starting the program output: which URL fits a
// destination's protocol, the recording file's name, how sources are compared
// with output targets, and the image pump's interval.

#include <QDateTime>
#include <QString>
#include <QUrl>

#include <functional>

// True when the URL's scheme is the protocol (HTTP also takes https://).
// A URL without a scheme fits no protocol.
bool streamUrlMatchesProtocol(const QString& protocol, const QString& url);

// "flv" for RTMP and RTMPS destinations, "mpegts" for every other protocol.
QString muxerForProtocol(const QString& protocol);

// The configured recording path with the start time put into its file name:
// <dir>/<base>_<yyyyMMdd_HHmmss>.<ext>, "output" for a missing base and
// ".mp4" when neither base nor extension is given. A relative path is taken
// against the current directory.
QString timestampedRecordingPath(const QString& recordPath, const QDateTime& startTime);

// path itself when `exists` says it is free, else the first free name with
// "_2", "_3", ... before the extension, so that an earlier recording of the
// same second is never truncated.
QString freeRecordingPath(const QString& path, const std::function<bool(const QString&)>& exists);

// Keys under which two sources count as the same: absolute path ignoring
// case; URL ignoring case, password and fragment.
QString normalizeLocalPathForCompare(const QString& path);
QString normalizeUrlForCompare(const QUrl& url);

// Image pump interval for an output frame rate: 1000 / fps rounded half away
// from zero, rates below 1 taken as 1, limited to 1..200 ms.
int imagePumpIntervalMs(double fps);

// Slideshow interval limits.
int clampSlideshowIntervalMs(int intervalMs);

// The text with every URL cut down to its scheme and host, so that no stream
// key, password or path reaches the operator's notice or a log line.
QString withoutUrlSecrets(const QString& text);

// The operator's notice for an output the engine stopped by itself. The
// engine's reason comes in Chinese and names the stop itself; the notice says
// it once, in the interface language, with every URL cut down.
QString outputStoppedNotice(const QString& reason, bool chinese);

#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// The rules for the URLs an output publishes to: which schemes are network
// destinations, which carry FLV, how a URL is written into a log line, the
// RTMPS upgrade of a known ingest, and which query parameters travel as
// protocol options instead. Pure functions, any thread.
namespace streamurl {

// A destination the encoder publishes to over the network (not a file).
bool isNetworkOutputUrl(const QByteArray& url);
// Anywhere in the text: an RTMP URL of any flavour (rtmp, rtmps, rtmpt, rtmpe).
bool isRtmpUrl(const QByteArray& text);
// A destination written as FLV: the "flv" muxer or an RTMP-family URL.
// Such a destination is live: encoded at a constant rate with millisecond
// stamps, and it cannot carry HEVC.
bool carriesFlv(const QByteArray& url, const QByteArray& muxer);

// A URL fit for a log line: user name and password, the stream key (the
// last path segment of RTMP and HTTP URLs) and secret query values become
// "***". Text after the first blank is kept.
QByteArray redactUrl(const QByteArray& url);
// The user name and password of a URL's authority replaced by `mask`; an
// empty mask removes them with their "@" (for a URL shown on screen).
QByteArray redactCredentials(const QByteArray& url, const QByteArray& mask = QByteArrayLiteral("***"));

// A YouTube RTMP ingest URL as its RTMPS twin (port 443 unless another
// than 1935 was given); any other URL unchanged.
QByteArray upgradeIngestToRtmps(const QByteArray& url);

using ProtocolOptions = QList<QPair<QByteArray, QByteArray>>;
// FFmpeg names a connection that fails by its whole URL in its own log, so
// SRT and RIST secrets travel as protocol options, which it never logs:
// returns the URL without them and appends them to `secrets`.
QByteArray takeSecretsAsOptions(const QByteArray& url, ProtocolOptions& secrets);

} // namespace streamurl

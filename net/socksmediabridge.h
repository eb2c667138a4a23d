#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class SocksTcpRelay;

// Routes one media connection (RTMP, RTMPE, RTMPS, RTSP, RTSPS or TCP)
// through the effective SOCKS5 proxy: starts a local SocksTcpRelay to the
// real server and rewrites the URL so the media library connects to the
// relay on this machine instead.
//
// A value record, moved and never copied, built on the caller's thread (a
// decoder's or an output's open); prepare() blocks while the SOCKS endpoint
// is probed and the relay starts. The record owns the relay; a caller that
// uses the bridge moves `relay` out and keeps it alive while its connection
// is open. Destroying a relay stops it and resets every tunnel.
struct SocksMediaBridge {
    // The target parsed out of a media URL.
    struct RelayTarget {
        bool ok = false;
        QString scheme;       // lower case
        QString host;         // fully decoded
        std::uint16_t port = 0;
        QString userInfo;     // as written in the URL, kept for the rewritten one
        QString query;        // as written, without "?"
        QString pathAndQuery; // "/" at least
        QString app;
        QString playPath;
    };

    SocksMediaBridge();
    ~SocksMediaBridge();
    SocksMediaBridge(SocksMediaBridge&& other) noexcept;
    SocksMediaBridge& operator=(SocksMediaBridge&& other) noexcept;
    SocksMediaBridge(const SocksMediaBridge&) = delete;
    SocksMediaBridge& operator=(const SocksMediaBridge&) = delete;

    QByteArray effectiveUrl; // UTF-8; empty when no relay is in place
    QByteArray rtmpTcUrl;    // RTMP family: "scheme://host/app" of the real server
    QByteArray rtmpApp;
    QByteArray rtmpPlayPath; // stream name or key, with the URL's query
    std::unique_ptr<SocksTcpRelay> relay;

    static SocksMediaBridge forInput(const QString& url);
    static SocksMediaBridge forOutput(const QString& url);
    static SocksMediaBridge prepare(const QString& url, bool forOutput);

    // Pure parts of prepare(), any thread.
    static RelayTarget parseRelayTarget(const QString& url);
    // The record's URLs for a relay listening on localPort; no relay inside.
    static SocksMediaBridge rewriteForRelay(const RelayTarget& target, bool forOutput, std::uint16_t localPort);
};

// Whether an input URL of this kind is carried through the relay.
bool isSocksRelayableUrl(const QString& url);
// Default port of a media scheme (0 for none); isRtmpFamily is set.
std::uint16_t defaultPortForScheme(const QString& scheme, bool& isRtmpFamily);
// A copy for log lines: the stream key (the last path segment before the
// first blank) and any user name and password hidden.
QString maskStreamUrlForLog(const QString& url);

#pragma once

// What the encoder sink needs from the network access layer and from
// logging, reached through these few functions only.
//
// WIRING SEAM: these are placeholders until the proxy settings, the SOCKS
// media bridge and the log module are merged; each body says what it must
// call then. Any thread.

#include <QByteArray>

#include <memory>

class SocksTcpRelay;

// Deletes a relay (which stops and joins it).
struct SocksRelayDeleter {
    void operator()(SocksTcpRelay* relay) const;
};
using OwnedSocksRelay = std::unique_ptr<SocksTcpRelay, SocksRelayDeleter>;

// The rewritten connection of one RTMP publication through a local relay.
struct OutputSocksBridge {
    QByteArray effectiveUrl; // local 127.0.0.1 relay URL; empty = publish directly
    QByteArray rtmpTcUrl;
    QByteArray rtmpApp;
    QByteArray rtmpPlayPath;
    OwnedSocksRelay relay;
};

// SocksMediaBridge::forOutput (url) when a SOCKS5 proxy is in effect.
OutputSocksBridge socksBridgeForOutput(const QByteArray& publishUrl);

// Whether an HTTP proxy applies to the URL, and the proxy to use
// (NetworkProxySettings::usesHttpProxyUtf8 / effectiveHttpProxyUtf8).
bool usesHttpProxy(const QByteArray& url);
QByteArray effectiveHttpProxy();

// Puts the log's FFmpeg callback back in place (installFfmpegLogCallback).
void reinstallFfmpegLogCallback();

// A proxy URL fit for a log line: user name and password replaced by "***".
QByteArray redactProxyCredentials(const QByteArray& proxyUrl);

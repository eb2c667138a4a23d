#include "output/outputservices.h"

// WIRING SEAM: replace each body below with the call named in the header
// once the network access layer and the log module are on this branch.

void SocksRelayDeleter::operator()(SocksTcpRelay* relay) const
{
    // No relay can exist before socksBridgeForOutput is wired; then this
    // becomes `delete relay;` with the relay's header included here.
    Q_ASSERT(relay == nullptr);
}

OutputSocksBridge socksBridgeForOutput(const QByteArray&)
{
    return {};
}

bool usesHttpProxy(const QByteArray&)
{
    return false;
}

QByteArray effectiveHttpProxy()
{
    return {};
}

void reinstallFfmpegLogCallback() {}

QByteArray redactProxyCredentials(const QByteArray& proxyUrl)
{
    const int schemeEnd = proxyUrl.indexOf("://");
    const int authorityStart = schemeEnd < 0 ? 0 : schemeEnd + 3;
    int authorityEnd = proxyUrl.indexOf('/', authorityStart);
    if (authorityEnd < 0)
        authorityEnd = proxyUrl.size();
    const int at = proxyUrl.lastIndexOf('@', authorityEnd - 1);
    if (at < authorityStart)
        return proxyUrl;
    return proxyUrl.left(authorityStart) + "***" + proxyUrl.mid(at);
}

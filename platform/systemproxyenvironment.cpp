#include "platform/systemproxyenvironment.h"

#include <QtGlobal>

namespace {

QString firstSet(std::initializer_list<const char*> names)
{
    for (const char* name : names) {
        const QString value = qEnvironmentVariable(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

} // namespace

namespace SystemProxyEnvironment {

SystemProxyEntries read()
{
    SystemProxyEntries entries;
    entries.http = firstSet({"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"});
    // all_proxy often names an HTTP proxy for every protocol; only a socks
    // scheme makes it a SOCKS proxy.
    const QString all = firstSet({"all_proxy", "ALL_PROXY"});
    if (all.toLower().startsWith(QLatin1String("socks")))
        entries.socks = all;
    else
        entries.socks = firstSet({"socks_proxy", "SOCKS_PROXY"});
    return entries;
}

} // namespace SystemProxyEnvironment

#pragma once

// nginx with the RTMP module on 127.0.0.1 for network tests: records every
// published stream under dir/rec, and, when given, fronts RTMP with TLS on an
// RTMPS port (certificate made with openssl for 127.0.0.1 and localhost) and
// asks an HTTP URL before it lets a publisher in (on_publish).

#include "support/testsupport.h"

namespace testsupport {

struct NginxRtmpPorts {
    quint16 rtmp = 0;
    quint16 rtmps = 0; // 0: no TLS front end
};

bool startNginxRtmp(PeerProcess& peer, const QString& dir, const NginxRtmpPorts& ports,
                    const QString& onPublishUrl = {});
// Recorded files, oldest first.
QStringList nginxRecordings(const QString& dir);

} // namespace testsupport

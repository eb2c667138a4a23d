#pragma once

#include <QString>
#include <QStringList>

namespace testsupport {

// Collects Qt log messages (any thread) while it lives, and still passes
// them on to the previous handler.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList messages() const;
    // Number of messages containing text.
    int count(const QString& text) const;
};

} // namespace testsupport

#pragma once

#include <QString>
#include <QtGlobal>

// Read-only views of the log's state, for diagnostics and tests.

// Path of this start's log file; empty before initLogging.
QString currentLogFilePath();

// The most lines the queue has held at once since the start.
qsizetype logQueueHighWater();

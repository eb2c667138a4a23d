#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

class QCheckBox;
class ScheduleDateTimeWidget;

// What the base clip row and the overlay clip row of the arrangement editor
// share: their look, and how a clip's times map onto their start and end
// fields. Clip times are milliseconds from the arrangement's base time; the
// fields show absolute local date-times in whole seconds. GUI thread only.

// The rows' check boxes: gold text and a small gold-bordered indicator that
// shows the tick when checked.
QString clipRowCheckBoxStyleSheet();
// The rows' kind list: gold on the control colour, its popup on the deepest
// background.
QString clipRowKindListStyleSheet();

// A clip's start and end as the fields hold them: start from startEdit; end 0
// (no end) while untilStopped is checked, else from endEdit. Start and end are
// not compared here.
qint64 clipStartMs(const QDateTime& base, const ScheduleDateTimeWidget* startEdit);
qint64 clipEndMs(const QDateTime& base, const ScheduleDateTimeWidget* endEdit, const QCheckBox* untilStopped);

// Shows a clip's times. An end of 0 or below checks untilStopped (which
// disables endEdit through the row's own connection) and parks endEdit one
// hour after the start as shown, so unchecking it gives a sensible end.
void showClipTimes(const QDateTime& base, qint64 startMs, qint64 endMs, ScheduleDateTimeWidget* startEdit,
                   ScheduleDateTimeWidget* endEdit, QCheckBox* untilStopped);

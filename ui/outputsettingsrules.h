#pragma once

// The output settings panel's rules over plain values: how a stored value is
// restored, what the 8K rule forces, and which text, colour and look a state
// shows. The panel applies them to its controls; tests cover them as tables.

#include <QSize>
#include <QString>

namespace outputrules {

// Status words of a stream destination as the output reports them.
QString statusColor(const QString& word);                // exact, case-sensitive match
QString statusText(const QString& word, bool chinese);   // unknown words read as idle

// Protocol list tool tip and URL field placeholder of one destination row.
QString protocolToolTip(const QString& protocol, bool chinese);
QString urlPlaceholder(const QString& protocol, int destinationNumber, bool chinese);

// Gain slider percent as the value label shows it ("1.37x").
QString gainText(int percent);

// Restoring stored values.
bool bitrateFollowsFromStore(bool bitrateStored, int bitrateKbps, bool followStored, bool follow);
int fpsIndexForStored(double fps); // 0 = 30 fps, 1 = 60 fps
// A stored list index outside 0..count-1 selects fallback instead.
int listIndexOrDefault(int stored, int count, int fallback);

// The 8K rule: sizes above 4096 (after even rounding) encode in hardware
// HEVC, and at 59 fps or more with the performance preset.
struct EightKDecision {
    bool eightK = false;
    bool forceHardwareEncoder = false;
    bool forcePerformancePreset = false;
    bool encoderEnabled = true;
    bool presetEnabled = true;
    QString encoderToolTip;
    QString presetToolTip;
};
EightKDecision eightKRule(QSize effectiveSize, double fps, bool outputActive, bool chinese);

// Text, tool tip and style sheet of the Start/Stop button.
struct StartStopLook {
    QString text;
    QString toolTip;
    QString styleSheet;
};
StartStopLook startStopLook(bool outputActive, bool stopping, bool chinese);

} // namespace outputrules

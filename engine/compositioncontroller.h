#pragma once

#include <QObject>
#include <QString>

// What feeds the program, as copied into the frame pipeline.
struct ProgramState {
    static constexpr int kNothing = 0;
    static constexpr int kStillImage = 5; // still image or slideshow
    int programSource = kNothing;         // 1..4 = channel 1..4; any other value = nothing
    QString sourceText;                   // channel's local path or URL; empty otherwise
};

// Says what feeds the program and announces every change. GUI thread only.
class CompositionController : public QObject {
    Q_OBJECT
public:
    explicit CompositionController(QObject* parent = nullptr);

    // Stores both values and emits programStateChanged once, unless neither changed.
    void setProgramSource(int source, const QString& text);
    int programSource() const { return m_state.programSource; }
    ProgramState snapshot() const { return m_state; }

signals:
    void programStateChanged();

private:
    ProgramState m_state;
};

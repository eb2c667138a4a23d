#include "engine/compositioncontroller.h"

CompositionController::CompositionController(QObject* parent)
    : QObject(parent)
{
}

void CompositionController::setProgramSource(int source, const QString& text)
{
    if (source == m_state.programSource && text == m_state.sourceText)
        return;
    m_state.programSource = source;
    m_state.sourceText = text;
    emit programStateChanged();
}

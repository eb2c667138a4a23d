#pragma once

struct ProgramArrangement;

// What the arrangement editor asks of the object that runs arrangements (the
// main window): start and stop. The runner reports its state through the
// Qt signal programArrangementRunningChanged(bool) of the same object, which
// the editor connects by name, so schedule/ needs nothing of ui/.
class ArrangementRunControl {
public:
    virtual ~ArrangementRunControl() = default;
    // Stops any earlier run first, then runs the arrangement.
    virtual void startProgramArrangement(const ProgramArrangement& arrangement) = 0;
    virtual void stopProgramArrangement() = 0;
};

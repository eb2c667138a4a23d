#pragma once

#include "engine/textoverlaydata.h"

#include <QPoint>
#include <QPointF>
#include <QSize>
#include <QWidget>

class QListWidget;
class QListWidgetItem;
class QPushButton;

// The overlay model holds at most this many text overlays, so the list offers
// no more rows.
inline constexpr int kMaxTextOverlayRows = 10;

// The record of a new row: defaults of a text overlay with the given id,
// placed one line (26 reference pixels) below the rows already present.
TextOverlayData newTextRowRecord(int id, int rowsBefore);

// A picker position (window pixels) as fractions of the canvas the window
// shows. Dividing by the window's own size keeps an enlarged picker on the
// program; a window without area falls back to the reference canvas.
QPointF textPositionFromPicker(QPoint pos, QSize window);

// The operator's list of text overlays: up to ten rows, each holding one
// record. The panel never touches the overlay model; the main window turns
// its signals into model calls. Created with no parent, GUI thread only.
class TextPanel : public QWidget {
    Q_OBJECT

public:
    explicit TextPanel(QWidget* parent = nullptr);
    ~TextPanel() override;

    void setChineseUi(bool chinese);

signals:
    void textOverlayAdded(TextOverlayData data);
    void textOverlayRemoved(int id);
    void clearOverlaysRequested();

public slots:
    void addTextItem();

private:
    void applyRow(QWidget* row);
    void openRowPreview(QWidget* row);
    void editRowEffects(QWidget* row);
    void deleteRow(QWidget* row, QListWidgetItem* item);
    void applyAllRows();
    void clearAllRows();
    void readRowInto(QWidget* row, TextOverlayData* record) const;
    void updateAddButtonState();
    void retranslateUi();
    void releaseRow(QListWidgetItem* item);
    int rowCount() const;

    QListWidget* m_list = nullptr;
    QPushButton* m_addButton = nullptr;
    QPushButton* m_applyAllButton = nullptr;
    QPushButton* m_clearAllButton = nullptr;
    int m_nextId = 1;
    bool m_chinese = false;
};

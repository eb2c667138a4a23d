#pragma once

// The output settings panel: recording file and segments, four stream
// destinations, output size, frame rate, record gain and encoding. It keeps
// these values in its controls, restores them from the settings store at
// construction and writes them back under "output/" as they change. It holds
// no engine pointer: the main window connects the signals, reads the getters
// when it configures or starts output, and mirrors the output's state back
// through the setters (which emit nothing of their own).
//
// GUI thread only.

#include <QList>
#include <QSize>
#include <QString>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

class OutputSettingsWidget : public QWidget {
    Q_OBJECT

public:
    explicit OutputSettingsWidget(QWidget* parent = nullptr);
    ~OutputSettingsWidget() override;

    // Values as the controls hold them now.
    QString outputFilePath() const; // as typed, not trimmed
    int streamDestinationCount() const;
    QString streamProtocol(int index) const; // empty outside 0..3
    QString streamUrl(int index) const;      // as typed; empty outside 0..3
    int outputWidth() const;                 // 0 for "Same as Program"
    int outputHeight() const;                // 0 for "Same as Program"
    float programRecordLinearGain() const;   // 0.25 .. 4.0
    int videoBitrateKbps() const;            // 0 = automatic
    double outputFps() const;                // 30.0 or 60.0
    int keyframeIntervalSeconds() const;     // 1..4
    int encoderMode() const;                 // 0 automatic, 1 hardware, 2 software
    int qualityPreset() const;               // 0 performance, 1 balanced, 2 quality
    bool segmentEnabled() const;
    qint64 segmentDurationMs() const;
    qint64 segmentSizeBytes() const;
    bool fileRecordingEnabled() const;             // ticked and a non-blank path
    bool streamDestinationEnabled(int index) const; // ticked and a non-blank URL

    // Mirrors of the engine's state. They emit none of the operator's
    // signals: setOutputActive re-evaluates the targets (outputTargetsChanged)
    // and setCanvasSize reports the new encoding while the output follows the
    // program's size.
    void setCanvasSize(QSize size);
    void setStopping(bool stopping);
    void setChineseUi(bool chinese);
    void setStreamStatus(int index, const QString& status);
    void setOutputActive(bool active);

    static QString defaultOutputFilePath();
    static bool isLegacyDefaultOutputPath(const QString& path);

signals:
    void outputFileChanged(QString file);
    void streamSettingsChanged();
    void outputDimensionsChanged(int width, int height);
    void startOutputRequested();
    void stopOutputRequested();
    void outputTargetsChanged();
    void programRecordLinearGainChanged(float linearGain);
    void encodingSettingsChanged();

private:
    friend class OutputSettingsWidgetTestAccess;

    static constexpr int kDestinationCount = 4;

    QSize effectiveOutputSize() const;
    int recommendedBitrateKbps() const;
    void applyRecommendedBitrate();
    void enforce8KRules();
    void refreshTargetAvailability();
    void saveOutputSettings();
    void saveEncodingSettings();
    void browseOutputFile();
    void updateCanvasLabels();
    void updateGainLabel();
    void retranslateAndRefresh();

    void buildControls();
    void restoreFileAndStreams();
    void restoreResolutionAndGain();
    void restoreEncoding();
    void buildLayout();
    void connectReactions();

    // State, set only through the setters and the control reactions.
    bool outputActive = false;
    bool stopping = false;
    bool chineseUi = false;
    bool bitrateFollowsPreset = true;
    bool updatingBitrate = false;
    QSize canvasSize{1920, 1080};

    // Controls; children of the panel, created by the constructor. The
    // resolution list and the gain slider are created after the first save.
    QLineEdit* filePathEdit = nullptr;
    QPushButton* browseButton = nullptr;
    QCheckBox* fileEnabledCheck = nullptr;
    QCheckBox* segmentCheck = nullptr;
    QComboBox* segmentMinutesCombo = nullptr;
    QComboBox* segmentSizeCombo = nullptr;
    QLabel* resolutionLabel = nullptr;
    QComboBox* resolutionCombo = nullptr;
    QComboBox* fpsCombo = nullptr;
    QLabel* gainLabel = nullptr;
    QSlider* gainSlider = nullptr;
    QLabel* gainValueLabel = nullptr;
    QLabel* encodingLabel = nullptr;
    QSpinBox* bitrateSpin = nullptr;
    QCheckBox* followPresetCheck = nullptr;
    QSpinBox* keyframeSpin = nullptr;
    QComboBox* encoderCombo = nullptr;
    QComboBox* presetCombo = nullptr;
    QList<QComboBox*> protocolCombos;
    QList<QLineEdit*> urlEdits;
    QList<QCheckBox*> streamEnabledChecks;
    QList<QLabel*> statusLabels;
    QPushButton* startStopButton = nullptr;

    // Saving rewrites and syncs the settings file on the GUI thread, which can
    // take tens of milliseconds while a recording writes to the same disk: the
    // gain slider saves once it is released or has rested, not at every step.
    QTimer* gainSaveTimer = nullptr;
};

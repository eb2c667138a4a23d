#pragma once

#include <QWidget>

class LedSlider;
class QGroupBox;
class QLabel;

// The audio mixer panel: the program-mix volume of the four overlay videos
// and the program monitor volume, whole percentages 0..100. Holds no audio
// state; the main window turns the values into gains.
class VolumeCtrlWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kOverlayChannels = 4;
    static constexpr int kInitialOverlayVolume = 20;
    static constexpr int kInitialMonitorVolume = 50;

    explicit VolumeCtrlWidget(QWidget* parent = nullptr);

    void setChineseUi(bool chinese);
    int previewVolume() const;
    // 100 for a channel outside 0..3.
    int inputVolume(int channel) const;

signals:
    void inputVolumeChanged(int channel, int volume);
    void previewVolumeChanged(int volume);

private:
    LedSlider* overlaySliders[kOverlayChannels] = {};
    LedSlider* monitorSlider = nullptr;
    QLabel* overlayTitleLabels[kOverlayChannels] = {};
    QLabel* overlayValueLabels[kOverlayChannels] = {};
    QLabel* outputTitleLabel = nullptr;
    QLabel* outputValueLabel = nullptr;
    QGroupBox* overlayGroup = nullptr;
    QGroupBox* outputGroup = nullptr;
    bool chineseUi = false;
};

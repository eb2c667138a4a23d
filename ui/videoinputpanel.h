#pragma once

// The control strip of one input channel: title with time, thumbnail of the
// latest picture and the row of play, seek, volume and program controls.
// The strip never talks to a decoder: every operator action leaves it as a
// signal, and the main window feeds engine state back through the setters,
// which emit nothing.
//
// Threads: GUI thread only. Frames, the end of media and the duration arrive
// through the main window's queued slots.

#include "engine/frametoken.h"

#include <QImage>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class QSlider;
class QStackedWidget;
class QTimer;

// Title text of a strip: "CH<n> | mm:ss / mm:ss", the duration "--:--" while
// unknown (0 or less). Hours are dropped: minutes count modulo 60.
QString channelTitleText(int channel, qint64 positionMs, qint64 durationMs);

// Seek slider position (0..1000) for a position within a known duration.
int seekSliderValueFor(qint64 positionMs, qint64 durationMs);

// Position a seek slider value stands for, cut down to a whole thousandth of
// the duration.
qint64 seekPositionFor(int sliderValue, qint64 durationMs);

// A source text as the strip stores it: the capture forms ("dshow://",
// "desktop://", "wgc://", any letter case) strictly as URLs, anything else
// through QUrl::fromUserInput, so a local path becomes a file URL.
QUrl parseChannelSource(const QString& text);

class VideoInputPanel : public QWidget {
    Q_OBJECT

public:
    using SourceValidator = std::function<bool(const QString& source, QString* error)>;

    explicit VideoInputPanel(int channel, QWidget* parent = nullptr);
    ~VideoInputPanel() override;

    QUrl sourceUrl() const;
    void setSourceValidator(SourceValidator validator);

    qint64 positionMs() const;
    bool isPlaying() const;

    // Setters mirroring engine or program state: no signal is emitted.
    void setOutputToPreviewChecked(bool checked);
    void setProgramActive(bool active);
    bool isLoopEnabled() const;
    void setLoopEnabled(bool enabled);
    int monitorVolume() const;
    void setDurationMs(qint64 ms);
    void setChineseUi(bool chinese);

    void onPlaybackEnded();
    // Reads the token only during the call; keeps its own scaled copy.
    void onChannelFrame(const FrameTokenPtr& frame, qint64 positionMs);

    // Validates and loads a source text without the dialog; an invalid URL
    // is stored as it is.
    void setSource(const QString& source);

signals:
    void outputToPreviewToggled(bool enabled);
    void programSeekRequested(qint64 positionMs);
    void mediaSourceUnloaded(int channel);
    void channelMediaChanged(int channel);
    void playbackStateChanged(bool playing);
    void localChannelVolumeChanged();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void chooseSource();
    // True when the text passed the validator; shows the refusal box.
    bool acceptSourceText(const QString& text);
    void loadSource(const QUrl& url);
    void togglePlayPause();
    void stopAndUnload();
    void seekToSlider(int value);
    void updateTimeLabel();
    void updateThumbnail();
    void retranslateUi();

    int channel_ = 0;
    QLabel* titleLabel_ = nullptr;
    QStackedWidget* videoFrame_ = nullptr;
    QLabel* videoLabel_ = nullptr;
    QPushButton* sourceButton_ = nullptr;
    QPushButton* playButton_ = nullptr;
    QPushButton* stopButton_ = nullptr;
    QPushButton* loopToggle_ = nullptr;
    QPushButton* starToggle_ = nullptr;
    QPushButton* outputToggle_ = nullptr;
    QSlider* seekSlider_ = nullptr;
    QSlider* volumeSlider_ = nullptr;
    QTimer* timeTimer_ = nullptr;

    bool playing_ = false;
    QUrl source_;
    qint64 positionMs_ = 0;
    qint64 durationMs_ = -1;
    bool ended_ = false;
    bool chinese_ = false;
    QImage lastFrame_;
    SourceValidator validator_;

    friend class VideoInputPanelTestAccess;
};

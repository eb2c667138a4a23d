#pragma once

#include "engine/frametoken.h"
#include "output/encoderoptions.h"
#include "output/routersink.h"
#include "output/segmentoptions.h"
#include "output/streamtarget.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ProgramAudioTap;

// Takes composed program frames from the frame pipeline and feeds them to one
// encoder sink per output run through a bounded queue and one encode worker.
// With stream destinations the worker is paced (one frame per interval, the
// newest, the last one repeated when the program stalls); a recording alone
// encodes every queued frame in order.
//
// Threads: the GUI thread makes every call except stop(), which the
// pipeline's asynchronous stop task may call; the encode worker runs
// encodeWorkerMain and the sink; the sink's network threads may fire the
// status callback.
// Lock order: routerMutex only copies or swaps the state and thread, never
// held with another lock. The worker takes EncodeWorkerState::sinkMutex and,
// inside it, EncodeWorkerState::mutex; never the reverse. RouterSink::abort
// is called without sinkMutex so a stop can interrupt blocked I/O.
class OutputRouter {
public:
    OutputRouter();
    // A factory for the sink of each run; the default makes the FFmpeg sink.
    explicit OutputRouter(RouterSinkFactory sinkFactory);
    ~OutputRouter();
    OutputRouter(const OutputRouter&) = delete;
    OutputRouter& operator=(const OutputRouter&) = delete;

    // Settings for the next run (a running run keeps its own). GUI thread.
    void setOutputPath(const QString& path);
    void setStreamTargets(const std::vector<StreamTarget>& targets);
    void setFps(double fps);
    void setFrameSize(int width, int height);
    void setEncoderOptions(int videoBitrateKbps, int keyframeIntervalSeconds, int encoderMode, int qualityPreset);
    void setSegmentOptions(const SegmentOptions& options);
    void setTransportFailedCallback(std::function<void()> callback);
    void setStreamStatusCallback(std::function<void(int, const QString&)> callback);
    // Not owned; the owner clears it before the mixer goes.
    void setAudioMixer(ProgramAudioTap* mixer);
    bool isRunning() const { return running.load(std::memory_order_acquire); }
    double frameRate() const { return fps; }

    bool start();
    // Queues a frame for the encode worker; never waits for encoding.
    void submitFrame(FrameTokenPtr frame);
    // A new timeline generation after a program source switch.
    void resetTimeline();
    // Stops taking frames and aborts the sink's stream destinations; a
    // recording still gets the frames already queued. Does not wait.
    void requestStop();
    // Stops and joins the encode worker; the sink closes on the worker.
    void stop();

    // Queue bound of a run: 4 with stream destinations, else by picture size.
    static std::int64_t queueDepthFor(bool live, int width, int height);
    // Pacing interval of a run, in microseconds.
    static std::int64_t frameIntervalUsFor(double fps);

    // The last start went on stream-only because the recording folder could
    // not be written; the owner tells the operator.
    bool lastStartSkippedRecording() const { return recordingSkipped; }

    // Figures of the current run, for diagnostics and tests; 0 without a run.
    std::uint64_t droppedFrames() const;
    // Ticks of the paced worker that sent the previous picture again because
    // no new program frame had come.
    std::uint64_t repeatedFrames() const;
    // Pictures the paced worker passed over because a newer one had come
    // before its slot, never encoded: a program faster than the output, an
    // encoder that fell behind, or a recomposed copy of a picture already
    // sent (the main window's once-a-second recomposition while playing).
    std::uint64_t passedOverFrames() const;
    std::int64_t maxQueueDepth() const;

private:
    struct QueuedFrame {
        FrameTokenPtr frame;
        std::int64_t generation = 0;
        std::int64_t composedNs = 0; // steady time of its arrival; 0 for a repeat
    };

    // Shared by the router and its worker; the last owner destroys it.
    struct EncodeWorkerState {
        // Guards every field below except sinkMutex and sink.
        std::mutex mutex;
        // Held around every sink call of the worker and of resetTimeline.
        std::mutex sinkMutex;
        std::condition_variable wake;
        std::deque<QueuedFrame> queue;
        std::deque<QueuedFrame> carryOver; // earlier generations kept while recording
        bool stopRequested = false;
        std::int64_t maxDepth = 32;
        bool live = false;
        bool paced = false;
        bool recording = false;
        std::int64_t frameIntervalUs = 33333;
        FrameTokenPtr lastFrame; // repeated by the paced worker when nothing new came
        std::int64_t lastGeneration = 0;
        std::int64_t generation = 1;
        std::uint64_t droppedFrames = 0;
        std::uint64_t repeatedFrames = 0;
        std::uint64_t passedOverFrames = 0;
        // Set before the worker starts, then only read.
        std::shared_ptr<RouterSink> sink;
    };

    static void encodeWorkerMain(std::shared_ptr<EncodeWorkerState> state);
    // The state mutex held: the next frame for the worker, if any.
    enum class Choice { Carried, Queued, Repeat, Stop, Nothing };
    static Choice chooseFrame(EncodeWorkerState& state, QueuedFrame& chosen);
    // Hands the frame to the sink under the sink mutex, unless its timeline
    // has ended and the run does not record.
    static void encodeChosen(EncodeWorkerState& state, QueuedFrame& chosen, std::int64_t pictureNs);
    // Paced worker, the state mutex held: waits for the next slot (or a
    // stop). Returns true when the slot came with nothing new and a late
    // picture was waited for.
    static bool waitForPacedSlot(EncodeWorkerState& state, std::unique_lock<std::mutex>& lock,
                                 std::chrono::steady_clock::time_point& deadline,
                                 std::chrono::steady_clock::duration grace,
                                 std::chrono::steady_clock::time_point notBefore);
    // At a stop: moves the queued frames out (the caller's mutex held) unless
    // the run records them.
    static void takeUnrecordedFrames(EncodeWorkerState& state, std::deque<QueuedFrame>& queue,
                                     std::deque<QueuedFrame>& carryOver);
    void stopWorker();
    void mixerTapOff();
    // One figure of the current run under its state mutex; 0 without a run.
    std::uint64_t counter(std::uint64_t EncodeWorkerState::*field) const;
    std::shared_ptr<EncodeWorkerState> currentState() const;

    // GUI thread only (settings for the next run).
    QString outputPath;
    std::vector<StreamTarget> streamTargets;
    double fps = 30.0;
    int width = 0;
    int height = 0;
    EncoderOptions encoderOptions;
    SegmentOptions segmentOptions;
    RouterSinkFactory sinkFactory;
    bool recordingSkipped = false;

    // Written by the GUI thread and the stop task, read by submitFrame.
    std::atomic<bool> running{false};
    // Written on the GUI thread, read by the stop task: not owned.
    std::atomic<ProgramAudioTap*> mixer{nullptr};

    mutable std::mutex routerMutex;
    // Guarded by routerMutex.
    std::shared_ptr<EncodeWorkerState> workerState;
    std::thread workerThread;

    // GUI thread; copied into the sink at start.
    std::function<void()> transportFailedCallback;
    std::function<void(int, const QString&)> streamStatusCallback;
};

#pragma once

class PreviewAudioMixer;

// What the preview audio mixer reads: the audio of the four input channels
// and the four overlay-video slots, and which channel feeds the program.
// The frame pipeline implements it.
//
// Threads: readChannelAudio, readOverlayAudio and programChannelIndex are
// called on the mixer thread, once per 10 ms tick; detachPreviewAudioMixer on
// the GUI thread from the mixer's destructor.
//
// An implementation that goes away or drops the mixer before the mixer does
// must call PreviewAudioMixer::detachSource first: the mixer's thread may
// outlive the GUI's wait for it, and only that call guarantees that no tick
// is still inside, or will enter, this object.
class MixerAudioSource {
public:
    virtual ~MixerAudioSource() = default;

    // Fill out with 2 x frames interleaved stereo floats at 48 kHz: the queued
    // audio of the channel (0..3) or overlay slot (0..3), zeros where nothing
    // is queued, no decoder is bound or the index is out of range. Nothing
    // for a null out or frames <= 0.
    virtual void readChannelAudio(int channel, float* out, int frames) = 0;
    virtual void readOverlayAudio(int slot, float* out, int frames) = 0;

    // The channel 0..3 that feeds the program, or -1 when the program shows
    // something else.
    virtual int programChannelIndex() const = 0;

    // The mixer is going away. Only the mixer registered with the source is
    // dropped; any other pointer is ignored.
    virtual void detachPreviewAudioMixer(PreviewAudioMixer* mixer) = 0;
};

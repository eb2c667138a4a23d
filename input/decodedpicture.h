#pragma once

#include "avglue/avptr.h"
#include "engine/frametoken.h"

#include <QSize>

extern "C" {
#include <libavformat/avformat.h>
}

// A decoded picture on its way to a pooled RGBA token: its upright display
// size, and the conversion into a token of the output size with black bars,
// turned upright by the stream's display matrix.
namespace decodedpicture {

// Quarter turns, counter-clockwise, that bring the stored picture upright.
int quarterTurns(const AVStream* stream);

// The size the picture is shown at: the coded width stretched by the
// sample aspect ratio (the picture's own, else the stream's; unset or
// invalid ratios count as square), the sides swapped for an odd number of
// quarter turns. (-1, -1) for an empty coded size.
QSize displaySize(int codedWidth, int codedHeight, AVRational pictureAspect, AVRational streamAspect,
                  int quarterTurns);

// The picture in system memory: itself, or its copy in `software` when it
// lives on a hardware device; null when the copy fails.
AVFrame* inSystemMemory(AVFrame* frame, AVFrame* software);

// Whether a picture of this format can be converted at the fitted size:
// the fast converter takes it, or the cached scaler could be set up.
bool prepareScaler(const AVFrame& frame, av::SwsPtr& scaler, QSize scaled);

// Sizes the token to target, fills the bars black and draws the picture
// centred at the fitted size, turned by quarterTurns.
void drawInto(const AVFrame& frame, SwsContext* scaler, int quarterTurns, QSize fitted, QSize target,
              FrameToken& token);

} // namespace decodedpicture

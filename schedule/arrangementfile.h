#pragma once

#include "schedule/programarrangement.h"

#include <QByteArray>
#include <QColor>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Program arrangement files: JSON, one object. The writer always writes the
// current generation (3: overlay geometry as fractions of the program
// picture). Generations 1 and 2 kept overlay geometry and text positions in
// pixels of the 640x360 editor canvas and used older key names; the reader
// converts them.
//
// The reader is lenient about content: missing keys and values of the wrong
// type take defaults and no clip is rejected. It refuses only what is not an
// arrangement file at all, or one too large to edit. Numbers are clamped to
// ranges the rest of the program can hold, so a hostile file cannot overflow
// a conversion downstream.

inline constexpr char kArrangementFormat[] = "quorbel_program_arrangement";
inline constexpr int kArrangementFileVersion = 3;
// More clips than an operator can edit; also bounds the memory a file costs.
inline constexpr int kMaxArrangementClipsPerList = 1000;

QByteArray serializeArrangement(const ProgramArrangement& arrangement);

// On success: the arrangement, *errorText emptied, *ok true. On failure: the
// default arrangement, a non-empty *errorText, *ok false. Either pointer may
// be null.
ProgramArrangement parseArrangement(const QByteArray& bytes, QString* errorText, bool* ok = nullptr);

QJsonObject colorToJson(const QColor& color);
QColor colorFromJson(const QJsonValue& value);

QJsonObject textOverlayToJson(const TextOverlayData& data);
// generation decides whether positions and viewport sizes are fractions (3)
// or editor-canvas pixels (below 3).
TextOverlayData textOverlayFromJson(const QJsonObject& object, int generation);

// Absolute paths of the image files directly in directory (not hidden),
// sorted by name with case-sensitive comparison; empty when it does not exist.
QStringList listImageFiles(const QString& directory);

// The model file: the binary format (.scvm) and the bounds that reading any
// model file keeps, text formats included.
//
// A .scvm file, every number little-endian:
//   magic     8 bytes: 89 'S' 'C' 'V' 'M' 0d 0a 1a
//   version   u32
//   header    u32: bytes from the start of the file to the first array's data
//   scalars   u32 count, then each: name (u8 length, bytes), type (u8), value (8 bytes)
//   arrays    u32 count, then each: name, type, rows (u32), cols (u32)
//   data      each array's elements in that order, row-major
//   checksum  u64: XXH3-64 of every byte before it
// Types: 1 8-bit, 2 32-bit integer, 3 32-bit float, 4 64-bit integer; a
// scalar's value is an int64 for the integer types, else the float in its
// first 4 bytes. Scalars: "frames", "width", "height" (0 before the first
// frame) and every saved row of the parameter table, by its name. Arrays:
// "roi" first (0 x 0: every pixel is processed), then Engine::storedArrays().
// A reader refuses names it does not know, so new state is a new name and a
// new version.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/input_file.h"
#include "engine/engine.h"

// 1: text formats only, the checksum over the arrays alone. 2: .scvm; the
// text formats' checksum is modelDigest(), over everything. 3: the adaptive
// mode's parameters and, when it is on, its per-pixel state (Engine::storedArrays).
constexpr int kModelFormatVersion = 3;
// Frame counts far from any overflow.
constexpr std::int64_t kMaxModelFrames = std::int64_t{1} << 53;

// The refusal of a format version outside oldest..kModelFormatVersion.
std::string unsupportedVersion(long long version, int oldest);

// Whether a path names a binary model file (".scvm", any case), or the
// file starts with the .scvm signature.
bool isBinaryModelName(const std::string& path);
bool hasBinaryModelSignature(InputFile& in);

// Writes the engine as a .scvm file through the atomic writer; false with
// the reason when it cannot.
bool writeBinaryModel(Engine& e, const std::string& path, std::string& why);
// A new engine from a .scvm file, with `threads` workers. Refusals throw
// scvardo::Error with the reason alone (Input for a damaged, foreign or
// mismatched file); nothing is allocated for the model before the file's
// size has been found to match what its header declares.
std::unique_ptr<Engine> readBinaryModel(InputFile& in, int threads);

// XXH3-64 of the engine's .scvm encoding at a format version, checksum
// excluded: what the text formats' checksum holds from version 2 on.
std::uint64_t modelDigest(Engine& e, int version);

// A text model file read whole, within bounds: at most what a model of the
// frame size it declares (in its first 64 KiB) can take, and nested no
// deeper than a model file is. Refusals throw scvardo::Error.
std::string readModelText(InputFile& in);
// Throws Input unless every occurrence of each key in `text` holds exactly
// its value as a decimal integer: a value the parser cut or wrapped
// ("K: 4294967346" read as 50) is refused.
void checkIntegerTexts(const std::string& text,
                       const std::vector<std::pair<std::string, long long>>& values);

// The files of sc-vardo besides the console: masks and model snapshots, each
// written whole or not at all through the atomic writer.
#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

// Saves a finished 0/255 mask as "bin%.6d.png" in the working directory. On
// failure prints one line naming the file on stderr, or puts it in *failure
// when given (for a caller off the main thread), and returns false.
bool saveMask(const cv::Mat& mask, int frameNumber, std::string* failure = nullptr);
// The same in `folder` ("" the working folder).
bool saveMaskIn(const std::string& folder, const cv::Mat& mask, long long frameNumber,
                std::string* failure = nullptr);
std::string maskFileName(long long frameNumber);

// Writes an 8-bit BGR picture as binary PPM ("P6", samples red, green, blue).
// Returns 1 when the file was written; 0 when it cannot be created
// ("Errore apertura file %s" on stdout) or a write fails (one line on
// stderr; the earlier file of that name, if any, stays).
int writePpm(const cv::Mat& bgr, const std::string& path);
std::string snapshotFileName(int frameNumber);

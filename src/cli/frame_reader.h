// Reading frames and the ROI image so that nothing doubtful is trained on.
//
// JPEG files are decoded with libjpeg-turbo, whose warnings (a truncated or
// damaged stream that libjpeg would pad with grey) count as errors; the
// pixels are the same as cv::imread's. Other formats go through cv::imread.
// No call lets an OpenCV exception or an allocation failure escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core/mat.hpp>

// Images above this many pixels are refused from their header alone, before
// anything is allocated (OpenCV's own decoders stop at the same size).
constexpr long long kMaxImagePixels = 1LL << 30;

struct ImageRead {
  enum Status {
    Ok,
    Unreadable,    // missing, not a regular file, or not an image
    Undecodable,   // damaged, truncated, or the decoder refused it
    TooLarge,      // the header declares more than kMaxImagePixels
    WrongSize,     // the header's size differs from the expected one
    NoMemory,      // an allocation failed while decoding
  } status = Ok;
  std::string why;  // for Undecodable and NoMemory
  cv::Size size;    // the header's size, when it could be read
};

class FrameReader {
 public:
  FrameReader();
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // colour: 8-bit BGR, else 8-bit grey. A non-empty `expected` refuses a
  // header of another size before decoding.
  ImageRead read(const std::string& path, bool colour, cv::Mat& out,
                 cv::Size expected = cv::Size());
  // The same for a file already in memory; `path` only serves cv::imread
  // for formats other than JPEG (an empty path refuses them).
  ImageRead decode(const std::uint8_t* data, std::size_t size, const std::string& path,
                   bool colour, cv::Mat& out, cv::Size expected = cv::Size());

 private:
  void* handle_;  // the libjpeg-turbo decompressor, made on first use
};

// For the command-line tools: the image at `path`, or the run ends with the
// status and one line naming the file (1: unreadable, undecodable or too
// large; 4: out of memory). WrongSize is returned to the caller, which knows
// what the size should be.
ImageRead readImageOrExit(FrameReader& reader, const std::string& path, bool colour,
                          cv::Mat& out, cv::Size expected = cv::Size());
// What a failed read says: its exit status and one line naming the file
// (no newline; sc-vardo prints it on stdout, a lack of memory on stderr).
// Status 0 for Ok and WrongSize, which are not failures of the file.
struct ReadFailure {
  int status;
  std::string line;
  bool toStderr;
};
ReadFailure readFailure(const ImageRead& r, const std::string& path);
// The same ending for a read already made (elsewhere, or earlier); returns
// for Ok and WrongSize.
void exitForFailedRead(const ImageRead& r, const std::string& path);

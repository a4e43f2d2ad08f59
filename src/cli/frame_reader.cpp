#include "cli/frame_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "cli/exit.h"

namespace {

bool isJpeg(const std::uint8_t* d, std::size_t n) {
  return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}

// cv::imread turns a picture by its EXIF orientation; such files keep
// OpenCV's pixels, after libjpeg-turbo has checked the stream.
bool hasExif(const std::uint8_t* d, std::size_t n) {
  std::size_t pos = 2;
  while (pos + 4 <= n && d[pos] == 0xFF) {
    const int marker = d[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // image data begins
    const std::size_t len = static_cast<std::size_t>(d[pos + 2]) << 8 | d[pos + 3];
    if (marker == 0xE1 && len >= 8 && pos + 10 <= n && std::memcmp(d + pos + 4, "Exif\0\0", 6) == 0)
      return true;
    pos += 2 + len;
  }
  return false;
}

ImageRead status(ImageRead::Status s, const std::string& why = std::string()) {
  ImageRead r;
  r.status = s;
  r.why = why;
  return r;
}

ImageRead imreadGuarded(const std::string& path, bool colour, cv::Mat& out) {
  if (path.empty()) return status(ImageRead::Unreadable);
  try {
    out = cv::imread(path, colour ? cv::IMREAD_COLOR : cv::IMREAD_GRAYSCALE);
  } catch (const cv::Exception& e) {
    return status(e.code == cv::Error::StsNoMem ? ImageRead::NoMemory : ImageRead::Undecodable,
                  e.err);
  } catch (const std::bad_alloc&) {
    return status(ImageRead::NoMemory, "allocation failed");
  }
  if (out.empty()) return status(ImageRead::Unreadable);
  ImageRead r;
  r.size = out.size();
  return r;
}

}  // namespace

FrameReader::FrameReader() : handle_(nullptr) {}

FrameReader::~FrameReader() {
  if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

ImageRead FrameReader::read(const std::string& path, bool colour, cv::Mat& out,
                            cv::Size expected) {
  out.release();
  // Non-blocking, so that a FIFO named like a frame cannot stall the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return status(ImageRead::Unreadable);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return status(ImageRead::Unreadable);
  }
  std::vector<std::uint8_t> bytes;
  try {
    bytes.resize(static_cast<std::size_t>(st.st_size));
  } catch (const std::exception&) {
    ::close(fd);
    return status(ImageRead::NoMemory, "allocation failed");
  }
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t k = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  ::close(fd);
  bytes.resize(got);
  return decode(bytes.data(), bytes.size(), path, colour, out, expected);
}

ImageRead FrameReader::decode(const std::uint8_t* data, std::size_t size, const std::string& path,
                              bool colour, cv::Mat& out, cv::Size expected) {
  out.release();
  if (!isJpeg(data, size)) {
    ImageRead r = imreadGuarded(path, colour, out);
    if (r.status == ImageRead::Ok && !expected.empty() && r.size != expected) {
      out.release();
      r.status = ImageRead::WrongSize;
    }
    return r;
  }
  if (handle_ == nullptr) handle_ = tjInitDecompress();
  if (handle_ == nullptr) return status(ImageRead::NoMemory, "cannot start the JPEG decoder");
  tjhandle tj = static_cast<tjhandle>(handle_);
  int w = 0, h = 0, subsampling = 0, space = 0;
  if (tjDecompressHeader3(tj, data, static_cast<unsigned long>(size), &w, &h, &subsampling,
                          &space) != 0 || w <= 0 || h <= 0)
    return status(ImageRead::Unreadable);
  ImageRead r;
  r.size = cv::Size(w, h);
  if (!expected.empty() && r.size != expected) r.status = ImageRead::WrongSize;
  else if (static_cast<long long>(w) * h > kMaxImagePixels) r.status = ImageRead::TooLarge;
  if (r.status != ImageRead::Ok) return r;

  // CMYK cannot be turned into BGR or grey by the decoder: check it as CMYK.
  const bool cmyk = space == TJCS_CMYK || space == TJCS_YCCK;
  const int format = cmyk ? TJPF_CMYK : colour ? TJPF_BGR : TJPF_GRAY;
  cv::Mat image;
  try {
    image.create(h, w, cmyk ? CV_8UC4 : colour ? CV_8UC3 : CV_8UC1);
  } catch (const cv::Exception& e) {
    return status(ImageRead::NoMemory, e.err);
  } catch (const std::bad_alloc&) {
    return status(ImageRead::NoMemory, "allocation failed");
  }
  if (tjDecompress2(tj, data, static_cast<unsigned long>(size), image.data, w,
                    static_cast<int>(image.step), h, format, TJFLAG_STOPONWARNING) != 0) {
    const std::string why = tjGetErrorStr2(tj);
    if (why.rfind("Insufficient memory", 0) == 0) return status(ImageRead::NoMemory, why);
    // A fatal error is what cv::imread also fails on; a warning is what it lets by.
    return status(tjGetErrorCode(tj) == TJERR_WARNING ? ImageRead::Undecodable
                                                      : ImageRead::Unreadable,
                  why);
  }
  if (cmyk || hasExif(data, size)) {
    const ImageRead again = imreadGuarded(path, colour, out);
    if (again.status == ImageRead::Ok && again.size != r.size) {  // turned by its orientation
      r.size = again.size;
      if (!expected.empty() && r.size != expected) {
        out.release();
        r.status = ImageRead::WrongSize;
      }
    }
    return again.status == ImageRead::Ok ? r : again;
  }
  out = image;
  return r;
}

ReadFailure readFailure(const ImageRead& r, const std::string& path) {
  switch (r.status) {
    case ImageRead::Ok:
    case ImageRead::WrongSize:
      break;
    case ImageRead::Unreadable:
      return {kExitInput, "Unable to read expected file " + path, false};
    case ImageRead::Undecodable:
      return {kExitInput, "Corrupt image file " + path + ": " + r.why, false};
    case ImageRead::TooLarge:
      return {kExitInput, "Image file " + path + " declares " + std::to_string(r.size.width) + "x" +
                              std::to_string(r.size.height) + " pixels, more than can be read",
              false};
    case ImageRead::NoMemory:
      return {kExitNoMemory, "Not enough memory to read image file " + path, true};
  }
  return {kExitOk, "", false};
}

void exitForFailedRead(const ImageRead& r, const std::string& path) {
  const ReadFailure f = readFailure(r, path);
  if (f.status != kExitOk) failRun(f.status, f.toStderr ? stderr : stdout, "%s\n", f.line.c_str());
}

ImageRead readImageOrExit(FrameReader& reader, const std::string& path, bool colour,
                          cv::Mat& out, cv::Size expected) {
  const ImageRead r = reader.read(path, colour, out, expected);
  exitForFailedRead(r, path);
  return r;
}

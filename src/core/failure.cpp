#include "core/failure.h"

#include <cerrno>
#include <new>
#include <system_error>

#include <opencv2/core.hpp>

Failure failureOf(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    return {4, "Not enough memory"};
  } catch (const cv::Exception& x) {
    if (x.code == cv::Error::StsNoMem) return {4, "Not enough memory"};
    return {1, "Image library failure: " + x.err};
  } catch (const std::system_error& x) {
    const int code = x.code().value();
    if (x.code().category() == std::generic_category() || x.code().category() == std::system_category())
      if (code == EAGAIN || code == ENOMEM)
        return {4, std::string("Cannot start a thread (a limit on processes, threads or memory): ") + x.what()};
    return {1, std::string("Unexpected failure: ") + x.what()};
  } catch (const std::exception& x) {
    return {1, std::string("Unexpected failure: ") + x.what()};
  } catch (...) {
    return {1, "Unexpected failure"};
  }
}

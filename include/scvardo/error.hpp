// The one exception type of the library: what() is a single line.
#pragma once

#include <stdexcept>
#include <string>

namespace scvardo {

class Error : public std::runtime_error {
 public:
  enum class Kind {
    Parameter,  // a parameter out of its range
    Input,      // a frame, ROI or file that cannot be used
    Memory,     // the model does not fit in this machine's memory
    Output,     // a file could not be written
    Unreadable, // a file that cannot be opened or read (missing, no permission, I/O error)
  };
  Error(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

}  // namespace scvardo

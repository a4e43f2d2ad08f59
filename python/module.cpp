// The Python face: scvardo.createBackgroundSubtractor(...) and the
// subtractor's methods, in cv2's conventions, over the C++ face. The
// parameters (keywords, positional order, getters, setters, docstrings,
// the .pyi stub) all come from scvardo::paramTable().
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "scvardo/scvardo.hpp"

namespace py = pybind11;
using scvardo::ParamSpec;

namespace {

// A subtractor and the lock every method holds, so that two Python threads
// never run methods of one subtractor at once (apply() releases the GIL).
struct Subtractor {
  cv::Ptr<scvardo::BackgroundSubtractor> bs;
  std::mutex mutex;
};

// Holds the subtractor's lock; waits for it without the GIL, so that the
// thread holding it can take the GIL back and finish.
class Locked {
 public:
  explicit Locked(Subtractor& s) : lock_(s.mutex, std::defer_lock) {
    if (lock_.try_lock()) return;
    py::gil_scoped_release unlocked;
    lock_.lock();
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Library errors as the Python exceptions a caller expects.
[[noreturn]] void raise(const scvardo::Error& e) {
  switch (e.kind()) {
    case scvardo::Error::Kind::Parameter:
    case scvardo::Error::Kind::Input:
      throw py::value_error(e.what());
    case scvardo::Error::Kind::Memory:
      throw std::bad_alloc();
    case scvardo::Error::Kind::Output:
    case scvardo::Error::Kind::Unreadable:
      break;
  }
  PyErr_SetString(PyExc_OSError, e.what());
  throw py::error_already_set();
}

template <typename F>
auto guarded(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const scvardo::Error& e) {
    raise(e);
  }
}

// f() without the GIL; its error is raised once the GIL is back (an OSError
// is set through the Python API).
template <typename F>
void unlockedGuarded(F&& f) {
  std::unique_ptr<scvardo::Error> error;
  {
    py::gil_scoped_release unlocked;
    try {
      f();
    } catch (const scvardo::Error& e) {
      error = std::make_unique<scvardo::Error>(e);
    }
  }
  if (error) raise(*error);
}

std::string typeName(const py::handle& obj) {
  return py::str(obj.get_type().attr("__name__")).cast<std::string>();
}

std::string shapeText(const py::array& a) {
  std::string shape = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) shape += (i ? ", " : "") + std::to_string(a.shape(i));
  return shape + (a.ndim() == 1 ? ",)" : ")");
}

// An 8-bit image from a numpy array: H x W x `channels`, or H x W when
// `grey` is allowed. Arrays whose rows are not laid out plainly (any other
// strides, a row stride of 0 from numpy.broadcast_to, negative strides) are
// copied by numpy first; `keep` holds what the image's pixels live in.
cv::Mat imageOf(const py::handle& obj, const char* what, int channels, bool grey, py::object& keep) {
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(std::string(what) + " must be a numpy array, not " + typeName(obj));
  py::array a = py::reinterpret_borrow<py::array>(obj);
  if (!a.dtype().is(py::dtype::of<std::uint8_t>()))
    throw py::type_error(std::string(what) + " must have dtype uint8, not " +
                         py::str(a.dtype()).cast<std::string>());
  const bool colour = channels > 1 && a.ndim() == 3 && a.shape(2) == channels;
  if (!colour && !((grey || channels == 1) && a.ndim() == 2))
    throw py::value_error(std::string(what) + " must have shape (H, W" +
                          (channels == 1 ? "" : ", " + std::to_string(channels)) + ")" +
                          (grey && channels != 1 ? " or (H, W)" : "") + ", not " + shapeText(a));
  if (a.shape(0) == 0 || a.shape(1) == 0) throw py::value_error(std::string(what) + " is empty");
  if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX)
    throw py::value_error(std::string(what) + " is too large");
  const py::ssize_t depth = colour ? channels : 1;
  const bool plain = a.strides(a.ndim() - 1) == 1 && (!colour || a.strides(1) == depth) &&
                     a.strides(0) >= a.shape(1) * depth;
  if (!plain) a = py::module_::import("numpy").attr("ascontiguousarray")(a);
  keep = a;
  const cv::Mat m(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)),
                  CV_8UC(static_cast<int>(depth)), const_cast<void*>(a.data()),
                  static_cast<std::size_t>(a.strides(0)));
  if (colour || channels == 1) return m;
  cv::Mat bgr;
  cv::cvtColor(m, bgr, cv::COLOR_GRAY2BGR);  // B = G = R
  return bgr;
}

py::object toArray(const cv::Mat& m) {
  if (m.empty()) return py::none();
  std::vector<py::ssize_t> shape{m.rows, m.cols};
  if (m.channels() > 1) shape.push_back(m.channels());
  py::array_t<std::uint8_t> out(shape);
  const std::size_t rowBytes = static_cast<std::size_t>(m.cols) * m.elemSize();
  for (int r = 0; r < m.rows; ++r) std::memcpy(out.mutable_data(r), m.ptr(r), rowBytes);
  return std::move(out);
}

// A path as os.fspath gives it; a NUL byte would cut it short in C.
std::string pathOf(const py::handle& obj) {
  py::object p = py::module_::import("os").attr("fsdecode")(obj);
  const std::string path = p.cast<std::string>();
  if (path.find('\0') != std::string::npos) throw py::value_error("path contains a NUL byte");
  if (path.empty()) throw py::value_error("path is empty");
  return path;
}

// A Python value for a row: a whole number for Int rows (beyond the C int
// range it is out of range), any real number for Real rows.
double valueOf(const ParamSpec& row, const py::handle& value) {
  if (row.whole()) {
    if (!PyIndex_Check(value.ptr()))
      throw py::type_error(std::string(row.name) + (row.type == ParamSpec::Type::Flag ? " must be a bool, not " : " must be an integer, not ") + typeName(value));
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
      throw py::value_error("invalid " + std::string(row.name) + " " +
                            py::str(index).cast<std::string>() + ": it must be " + row.range);
    return static_cast<double>(v);
  }
  if (!PyNumber_Check(value.ptr()) || PyComplex_Check(value.ptr()))
    throw py::type_error(std::string(row.name) + " must be a number, not " + typeName(value));
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

py::object getFrom(const ParamSpec& row, const scvardo::Params& p) {
  switch (row.type) {
    case ParamSpec::Type::Int:
      return py::int_(static_cast<int>(row.get(p)));
    case ParamSpec::Type::Flag:
      return py::bool_(row.get(p) != 0);
    case ParamSpec::Type::Real:
      break;
  }
  return py::float_(row.get(p));
}

const char* pythonType(const ParamSpec& row) {
  return row.type == ParamSpec::Type::Int ? "int" : row.type == ParamSpec::Type::Flag ? "bool" : "float";
}

// A value as Python writes it: "3", "0.008", "False".
std::string pythonValue(const ParamSpec& row, double v) {
  if (row.type == ParamSpec::Type::Flag) return v != 0 ? "True" : "False";
  return row.format(v);
}

// Python's own argument rules for f(*args, **kwargs) over `names`: at most
// `positional` of them by position, each at most once.
std::vector<py::object> takeArguments(const char* function, const std::vector<std::string>& names,
                                      std::size_t positional, const py::args& args,
                                      const py::kwargs& kwargs) {
  if (args.size() > positional)
    throw py::type_error(std::string(function) + "() takes at most " + std::to_string(positional) +
                         " positional arguments (" + std::to_string(args.size()) + " given)");
  std::vector<py::object> out(names.size());
  for (std::size_t i = 0; i < args.size(); ++i) out[i] = args[i];
  for (const auto& item : kwargs) {
    const std::string key = py::str(item.first).cast<std::string>();
    std::size_t i = 0;
    while (i < names.size() && names[i] != key) ++i;
    if (i == names.size())
      throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" + key + "'");
    if (out[i]) throw py::type_error(std::string(function) + "() got multiple values for argument '" + key + "'");
    out[i] = py::reinterpret_borrow<py::object>(item.second);
  }
  return out;
}

std::vector<std::string> parameterNames() {
  std::vector<std::string> names;
  for (const ParamSpec& row : scvardo::paramTable()) names.emplace_back(row.name);
  return names;
}

std::shared_ptr<Subtractor> create(const py::args& args, const py::kwargs& kwargs) {
  std::vector<std::string> names = parameterNames();
  const std::size_t count = names.size();
  names.emplace_back("roi");
  const std::vector<py::object> given = takeArguments("createBackgroundSubtractor", names, count, args, kwargs);
  scvardo::Params p;
  std::size_t i = 0;
  for (const ParamSpec& row : scvardo::paramTable()) {
    if (given[i] && !given[i].is_none()) row.set(p, valueOf(row, given[i]));
    ++i;
  }
  py::object keep;
  const cv::Mat roi = given[count] && !given[count].is_none()
                          ? imageOf(given[count], "roi", 1, false, keep)
                          : cv::Mat();
  auto s = std::make_shared<Subtractor>();
  s->bs = guarded([&] { return scvardo::createBackgroundSubtractor(p, roi); });
  return s;
}

py::object apply(Subtractor& s, const py::args& args, const py::kwargs& kwargs) {
  const std::vector<py::object> given =
      takeArguments("apply", {"image", "fgmask", "learningRate"}, 3, args, kwargs);
  if (!given[0]) throw py::type_error("apply() missing required argument 'image'");
  py::object keep;
  const cv::Mat image = imageOf(given[0], "image", 3, true, keep);
  double learningRate = -1;
  if (given[2]) {
    if (!PyNumber_Check(given[2].ptr()) || PyComplex_Check(given[2].ptr()))
      throw py::type_error("learningRate must be a number, not " + typeName(given[2]));
    learningRate = PyFloat_AsDouble(given[2].ptr());
    if (learningRate == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  }
  cv::Mat mask;
  {
    Locked lock(s);
    py::gil_scoped_release unlocked;
    guarded([&] { s.bs->apply(image, mask, learningRate); });
  }
  // cv2's rule: a given mask of the right shape and type is filled, else a
  // new one is returned.
  const py::object& out = given[1];
  if (out && py::isinstance<py::array_t<std::uint8_t>>(out)) {
    py::array a = py::reinterpret_borrow<py::array>(out);
    if (a.ndim() == 2 && a.shape(0) == mask.rows && a.shape(1) == mask.cols && a.writeable() &&
        a.dtype().is(py::dtype::of<std::uint8_t>())) {
      for (int r = 0; r < mask.rows; ++r)
        for (int c = 0; c < mask.cols; ++c)
          *static_cast<std::uint8_t*>(a.mutable_data(r, c)) = mask.at<std::uint8_t>(r, c);
      return out;
    }
  }
  return toArray(mask);
}

scvardo::Params paramsOf(Subtractor& s) {
  Locked lock(s);
  return s.bs->getParams();
}

// New values (converted before the lock: the conversion may run Python
// code) applied to the current parameters under the lock.
void changeParams(Subtractor& s, const std::vector<std::pair<const ParamSpec*, double>>& changes) {
  Locked lock(s);
  scvardo::Params p = s.bs->getParams();
  for (const auto& c : changes) c.first->set(p, c.second);
  guarded([&] { s.bs->setParams(p); });
}

std::string parameterDoc(const ParamSpec& row) {
  const std::string range = row.type == ParamSpec::Type::Flag ? "" : std::string(row.range) + "; ";
  std::string doc = std::string(row.name) + " (" + pythonType(row) + "; " + range + "default " +
                    pythonValue(row, row.defaultValue()) + "): " + row.meaning;
  if (row.onlyWith != nullptr) doc += std::string(" (with ") + row.onlyWith + ")";
  return doc;
}

const char* changeDoc(const ParamSpec& row) {
  switch (row.change) {
    case ParamSpec::Change::Never:
      return "Fixed by the first frame: changing it later raises ValueError.";
    case ParamSpec::Change::NextFrame:
      return "Used from the next frame on; the model is kept.";
    case ParamSpec::Change::AnyTime:
      return "Changes only the speed, at any time.";
  }
  return "";
}

std::string createSignature(bool typed) {
  std::string sig = "createBackgroundSubtractor(";
  for (const ParamSpec& row : scvardo::paramTable())
    sig += std::string(row.name) + (typed ? std::string(": ") + pythonType(row) + " = " : "=") +
           pythonValue(row, row.defaultValue()) + ", ";
  return sig + (typed ? "*, roi: numpy.ndarray | None = None) -> BackgroundSubtractor" : "*, roi=None)");
}

// The class's methods besides the parameters' getters and setters: name,
// typed signature (for the docstring and the stub) and meaning.
struct Method {
  const char* name;
  const char* signature;
  const char* doc;
};
const Method kMethods[] = {
    {"apply", "(self, image: numpy.ndarray, fgmask: numpy.ndarray | None = None, learningRate: float = -1) -> numpy.ndarray",
     "Classifies one frame and returns its mask (H x W uint8, 255 foreground; all 0 while\n"
     "calibrating, i.e. for the first K frames). image: H x W x 3 uint8 BGR, or H x W uint8\n"
     "grey (taken as B = G = R), of one size for every call; any strides. fgmask: an H x W\n"
     "uint8 array to fill and return, else a new one is returned. learningRate < 0: the\n"
     "method's schedule; 0: the model is not changed; in (0, 1]: replaces the rate\n"
     "constant for this frame (useful: about 0.01 to 0.2). NaN, infinities and values\n"
     "above 1 raise ValueError."},
    {"getBackgroundImage", "(self) -> numpy.ndarray | None",
     "H x W x 3 BGR: each pixel's central weight vector (None before the first frame)."},
    {"getModelImage", "(self) -> numpy.ndarray | None",
     "n*H x n*W x 3 BGR: every weight vector (None before the first frame)."},
    {"getLabels", "(self) -> numpy.ndarray | None",
     "The last frame's labels: 0 background, 85 shadow, 170 cleared foreground, 255 foreground."},
    {"getParams", "(self) -> dict[str, int | float | bool]",
     "Every parameter by name, in the order of createBackgroundSubtractor's arguments."},
    {"setParams", "(self, **changes: int | float | bool) -> None",
     "Changes parameters by name. Thresholds, rates, the shadow test, the coherence window,\n"
     "the median and the adaptive mode's own parameters apply from the next frame on and\n"
     "keep the model; n, K and adaptive cannot change after the first frame (ValueError).\n"
     "A value out of its range raises ValueError and changes nothing."},
    {"getFrameCount", "(self) -> int", "Frames seen so far, the initialising one included."},
    {"empty", "(self) -> bool", "True while there is no model: no frame seen and none loaded."},
    {"clear", "(self) -> None", "Forgets the model and the frame count; parameters and ROI stay."},
    {"getDefaultName", "(self) -> str", "\"scvardo_BackgroundSubtractor\", the model file's top node."},
    {"save", "(self, path: str | os.PathLike[str]) -> None",
     "Writes the whole model atomically, in the format of the name's extension: .scvm\n"
     "(binary, fast, about the size of the model's floats), or text through OpenCV's\n"
     "FileStorage (.yml, .yml.gz, .xml, .json; slow and large). OSError when it cannot."},
    {"load", "(self, path: str | os.PathLike[str]) -> None",
     "Replaces the model, parameters and ROI by those of a file written with save() (any\n"
     "format, as scvardo.load reads it); the thread count stays. A damaged, foreign or\n"
     "mismatched file raises ValueError naming it, one that cannot be read OSError, and\n"
     "the subtractor is left as it was. A model saved while calibrating goes on\n"
     "calibrating (getFrameCount() < getParams()[\"K\"])."},
};

const char* const kLoadDoc =
    "A new subtractor from a file written by save(), in any of its formats, with every\n"
    "hardware thread. Reading is bounded (the file's size by the frame size it declares,\n"
    "its nesting, its integers, its frame count); a damaged, foreign or mismatched file\n"
    "raises ValueError naming it, one that cannot be read OSError.";

std::string doc(const Method& m) { return std::string(m.name) + m.signature + "\n\n" + m.doc; }
const Method& method(const char* name) {
  for (const Method& m : kMethods)
    if (std::strcmp(m.name, name) == 0) return m;
  throw std::logic_error(name);
}

std::string indented(const std::string& text, const std::string& pad) {
  std::string out = pad;
  for (char c : text) {
    out += c;
    if (c == '\n') out += pad;
  }
  return out;
}

// The type stub: the same signatures and docstrings as the module's.
std::string stub(const std::string& createDoc) {
  std::string out =
      "# scvardo: type stub, generated from the module (scvardo._stub()).\n"
      "import os\n\nimport numpy\n\n__version__: str\n\n\n"
      "class BackgroundSubtractor:\n";
  for (const Method& m : kMethods)
    out += "    def " + std::string(m.name) + m.signature + ":\n        \"\"\"" +
           indented(m.doc, "        ").substr(8) + "\"\"\"\n\n";
  for (const ParamSpec& row : scvardo::paramTable()) {
    const char* type = pythonType(row);
    out += "    def get" + std::string(row.cvName) + "(self) -> " + type + ":\n        \"\"\"" +
           parameterDoc(row) + "\"\"\"\n\n";
    out += "    def set" + std::string(row.cvName) + "(self, value: " + type + ") -> None:\n        \"\"\"" +
           parameterDoc(row) + ". " + changeDoc(row) + "\"\"\"\n\n";
  }
  out += "\ndef " + createSignature(true) + ":\n    \"\"\"" + indented(createDoc, "    ").substr(4) +
         "\"\"\"\n\n\ndef load(path: str | os.PathLike[str]) -> BackgroundSubtractor:\n    \"\"\"" +
         indented(kLoadDoc, "    ").substr(4) + "\"\"\"\n\n\ndef version() -> str: ...\n";
  return out;
}

}  // namespace

PYBIND11_MODULE(scvardo, m) {
  // The docstrings carry the signatures, keywords and defaults included.
  py::options options;
  options.disable_function_signatures();

  m.doc() =
      "SC-VARDO background subtraction in cv2's conventions:\n"
      "    bs = scvardo.createBackgroundSubtractor(K=50)\n"
      "    mask = bs.apply(frame)   # frame: H x W x 3 uint8 BGR; mask: H x W uint8, 255 foreground";
  m.attr("__version__") = scvardo::version();
  m.def("version", [] { return std::string(scvardo::version()); }, "version() -> str");

  py::class_<Subtractor, std::shared_ptr<Subtractor>> cls(m, "BackgroundSubtractor");
  cls.def("apply", &apply, doc(method("apply")).c_str());
  const auto image = [](void (scvardo::BackgroundSubtractor::*get)(cv::OutputArray) const) {
    return [get](Subtractor& s) {
      cv::Mat out;
      {
        Locked lock(s);
        ((*s.bs).*get)(out);
      }
      return toArray(out);
    };
  };
  cls.def("getBackgroundImage", image(&scvardo::BackgroundSubtractor::getBackgroundImage),
          doc(method("getBackgroundImage")).c_str());
  cls.def("getModelImage", image(&scvardo::BackgroundSubtractor::getModelImage),
          doc(method("getModelImage")).c_str());
  cls.def("getLabels", image(&scvardo::BackgroundSubtractor::getLabels), doc(method("getLabels")).c_str());
  cls.def("getParams", [](Subtractor& s) {
    const scvardo::Params p = paramsOf(s);
    py::dict d;
    for (const ParamSpec& row : scvardo::paramTable()) d[row.name] = getFrom(row, p);
    return d;
  }, doc(method("getParams")).c_str());
  cls.def("setParams", [](Subtractor& s, const py::args& args, const py::kwargs& kwargs) {
    if (args.size() != 0) throw py::type_error("setParams() takes keyword arguments only");
    std::vector<std::pair<const ParamSpec*, double>> changes;
    for (const auto& item : kwargs) {
      const std::string key = py::str(item.first).cast<std::string>();
      const ParamSpec* row = scvardo::findParam(key);
      if (row == nullptr) throw py::type_error("setParams() got an unexpected keyword argument '" + key + "'");
      changes.emplace_back(row, valueOf(*row, item.second));
    }
    changeParams(s, changes);
  }, doc(method("setParams")).c_str());
  cls.def("getFrameCount", [](Subtractor& s) {
    Locked lock(s);
    return s.bs->getFrameCount();
  }, doc(method("getFrameCount")).c_str());
  cls.def("empty", [](Subtractor& s) {
    Locked lock(s);
    return s.bs->empty();
  }, doc(method("empty")).c_str());
  cls.def("clear", [](Subtractor& s) {
    Locked lock(s);
    s.bs->clear();
  }, doc(method("clear")).c_str());
  cls.def("getDefaultName", [](Subtractor& s) { return std::string(s.bs->getDefaultName()); },
          doc(method("getDefaultName")).c_str());
  cls.def("save", [](Subtractor& s, const py::object& path) {
    const std::string file = pathOf(path);
    Locked lock(s);
    unlockedGuarded([&] { s.bs->save(file); });
  }, doc(method("save")).c_str());
  cls.def("load", [](Subtractor& s, const py::object& path) {
    const std::string file = pathOf(path);
    cv::Ptr<scvardo::BackgroundSubtractor> loaded;
    unlockedGuarded([&] { loaded = scvardo::load(file); });
    Locked lock(s);
    loaded->setThreads(s.bs->getParams().threads);
    s.bs = loaded;
  }, doc(method("load")).c_str());

  // A getter and a setter per parameter, in cv naming.
  for (const ParamSpec& row : scvardo::paramTable()) {
    const ParamSpec* r = &row;
    const char* type = pythonType(row);
    cls.def(("get" + std::string(row.cvName)).c_str(),
            [r](Subtractor& s) { return getFrom(*r, paramsOf(s)); },
            ("get" + std::string(row.cvName) + "(self) -> " + type + "\n\n" + parameterDoc(row)).c_str());
    cls.def(("set" + std::string(row.cvName)).c_str(),
            [r](Subtractor& s, const py::object& value) { changeParams(s, {{r, valueOf(*r, value)}}); },
            ("set" + std::string(row.cvName) + "(self, value: " + type + ") -> None\n\n" +
             parameterDoc(row) + ". " + changeDoc(row))
                .c_str(),
            py::arg("value"));
  }

  std::string createDoc =
      "A new subtractor. The parameters may be given by position in this order, or by\n"
      "keyword; roi only by keyword: an H x W uint8 array, nonzero where pixels are\n"
      "processed (the frames' size). A value of the wrong type raises TypeError, one\n"
      "out of its range ValueError.\n";
  for (const ParamSpec& row : scvardo::paramTable()) createDoc += "\n  " + parameterDoc(row);
  m.def("createBackgroundSubtractor", &create, (createSignature(false) + "\n\n" + createDoc).c_str());
  m.def("load", [](const py::object& path) {
    const std::string file = pathOf(path);
    auto s = std::make_shared<Subtractor>();
    unlockedGuarded([&] { s->bs = scvardo::load(file); });
    return s;
  }, (std::string("load(path: str | os.PathLike[str]) -> BackgroundSubtractor\n\n") + kLoadDoc).c_str());
  m.def("_stub", [createDoc] { return stub(createDoc); },
        "_stub() -> str\n\nThe text of scvardo.pyi, the module's type stub.");
}

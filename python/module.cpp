// The Python face: scvardo.createBackgroundSubtractor(**params) and the
// subtractor's methods, in cv2's conventions, over the C++ face.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "scvardo/scvardo.hpp"

namespace py = pybind11;

namespace {

// cv::Ptr is a std::shared_ptr, the holder pybind11 knows.
using Subtractor = std::shared_ptr<scvardo::BackgroundSubtractor>;

// Library errors as the Python exceptions a caller expects.
[[noreturn]] void raise(const scvardo::Error& e) {
  switch (e.kind()) {
    case scvardo::Error::Kind::Parameter:
    case scvardo::Error::Kind::Input:
      throw py::value_error(e.what());
    case scvardo::Error::Kind::Memory:
      throw std::bad_alloc();
    case scvardo::Error::Kind::Output:
      break;
  }
  PyErr_SetString(PyExc_OSError, e.what());
  throw py::error_already_set();
}

// A read-only view of an 8-bit array of the given rank; the array must
// outlive the view.
cv::Mat view(const py::handle& obj, const char* what, int ndim, int channels) {
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(std::string(what) + " must be a numpy array, not " +
                         std::string(py::str(obj.get_type().attr("__name__"))));
  const py::array a = py::reinterpret_borrow<py::array>(obj);
  if (!a.dtype().is(py::dtype::of<std::uint8_t>()))
    throw py::type_error(std::string(what) + " must have dtype uint8, not " +
                         std::string(py::str(a.dtype())));
  const bool shapeOk = a.ndim() == ndim && (channels == 1 || a.shape(2) == channels);
  if (!shapeOk) {
    std::string shape = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape += (i ? ", " : "") + std::to_string(a.shape(i));
    throw py::value_error(std::string(what) + " must have shape " +
                          (channels == 1 ? "(H, W)" : "(H, W, 3)") + ", not " + shape +
                          (a.ndim() == 1 ? ",)" : ")"));
  }
  if (a.shape(0) == 0 || a.shape(1) == 0) throw py::value_error(std::string(what) + " is empty");
  const py::ssize_t pixelStride = channels;
  if (a.strides(ndim - 1) != 1 || (ndim == 3 && a.strides(1) != pixelStride) ||
      a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX)
    throw py::value_error(std::string(what) +
                          " must be contiguous within its rows (use numpy.ascontiguousarray)");
  return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_8UC(channels),
                 const_cast<void*>(a.data()), static_cast<std::size_t>(a.strides(0)));
}

py::object toArray(const cv::Mat& m) {
  if (m.empty()) return py::none();
  std::vector<py::ssize_t> shape{m.rows, m.cols};
  if (m.channels() > 1) shape.push_back(m.channels());
  py::array_t<std::uint8_t> out(shape);
  const std::size_t rowBytes = static_cast<std::size_t>(m.cols) * m.elemSize();
  for (int r = 0; r < m.rows; ++r)
    std::memcpy(out.mutable_data(r), m.ptr(r), rowBytes);
  return std::move(out);
}

Subtractor create(int n, int Cw, int shadowRemoval, int medianWidth, float e1, float e2, float c1,
                  float c2, float gamma, float beta, float tau_S, float tau_H, bool adaptive,
                  int absorbSpan, float thresholdLow, float thresholdHigh, float distanceGain,
                  float flickerTrain, int K, int threads, const py::object& roi) {
  scvardo::Params p;
  p.n = n;
  p.Cw = Cw;
  p.shadowRemoval = shadowRemoval;
  p.medianWidth = medianWidth;
  p.e1 = e1;
  p.e2 = e2;
  p.c1 = c1;
  p.c2 = c2;
  p.gamma = gamma;
  p.beta = beta;
  p.tau_S = tau_S;
  p.tau_H = tau_H;
  p.adaptive = adaptive ? 1 : 0;
  p.absorbSpan = absorbSpan;
  p.thresholdLow = thresholdLow;
  p.thresholdHigh = thresholdHigh;
  p.distanceGain = distanceGain;
  p.flickerTrain = flickerTrain;
  p.K = K;
  p.threads = threads;
  try {
    if (roi.is_none()) return scvardo::createBackgroundSubtractor(p);
    return scvardo::createBackgroundSubtractor(p, view(roi, "roi", 2, 1));
  } catch (const scvardo::Error& e) {
    raise(e);
  }
}

py::object apply(Subtractor& bs, const py::object& frame, double learningRate) {
  const cv::Mat image = view(frame, "frame", 3, 3);
  cv::Mat mask;
  try {
    py::gil_scoped_release unlocked;
    bs->apply(image, mask, learningRate);
  } catch (const scvardo::Error& e) {
    raise(e);
  }
  return toArray(mask);
}

py::dict params(const Subtractor& bs) {
  const scvardo::Params p = bs->getParams();
  py::dict d;
  d["n"] = p.n;
  d["Cw"] = p.Cw;
  d["shadowRemoval"] = p.shadowRemoval;
  d["medianWidth"] = p.medianWidth;
  d["e1"] = p.e1;
  d["e2"] = p.e2;
  d["c1"] = p.c1;
  d["c2"] = p.c2;
  d["gamma"] = p.gamma;
  d["beta"] = p.beta;
  d["tau_S"] = p.tau_S;
  d["tau_H"] = p.tau_H;
  d["adaptive"] = p.adaptive != 0;
  d["absorbSpan"] = p.absorbSpan;
  d["thresholdLow"] = p.thresholdLow;
  d["thresholdHigh"] = p.thresholdHigh;
  d["distanceGain"] = p.distanceGain;
  d["flickerTrain"] = p.flickerTrain;
  d["K"] = p.K;
  d["threads"] = p.threads;
  return d;
}

}  // namespace

PYBIND11_MODULE(scvardo, m) {
  m.doc() =
      "SC-VARDO background subtraction in cv2's conventions:\n"
      "    bs = scvardo.createBackgroundSubtractor(K=50)\n"
      "    mask = bs.apply(frame)   # frame: H x W x 3 uint8 BGR; mask: H x W uint8, 255 foreground";
  m.attr("__version__") = scvardo::version();

  py::class_<scvardo::BackgroundSubtractor, Subtractor>(m, "BackgroundSubtractor")
      .def("apply", &apply, py::arg("frame"), py::arg("learningRate") = -1.0,
           "Classifies one H x W x 3 uint8 BGR frame (the first K only train the model, their "
           "masks are all 0) and returns the H x W uint8 mask, 255 foreground. learningRate < 0: "
           "the method's schedule; 0: the model is not changed; > 0: replaces c1/c2 for this frame.")
      .def("getBackgroundImage", [](const Subtractor& bs) {
        cv::Mat m;
        bs->getBackgroundImage(m);
        return toArray(m);
      }, "H x W x 3 BGR: each pixel's central weight vector (None before the first frame).")
      .def("getModelImage", [](const Subtractor& bs) {
        cv::Mat m;
        bs->getModelImage(m);
        return toArray(m);
      }, "n*H x n*W x 3 BGR: every weight vector (None before the first frame).")
      .def("getLabels", [](const Subtractor& bs) {
        cv::Mat m;
        bs->getLabels(m);
        return toArray(m);
      }, "The last frame's labels: 0 background, 85 shadow, 170 cleared foreground, 255 foreground.")
      .def("getParams", &params)
      .def("getFrameCount", [](const Subtractor& bs) { return bs->getFrameCount(); })
      .def("setThreads", [](Subtractor& bs, int threads) {
        try {
          bs->setThreads(threads);
        } catch (const scvardo::Error& e) {
          raise(e);
        }
      }, py::arg("threads"))
      .def("save", [](const Subtractor& bs, const std::string& path) {
        try {
          py::gil_scoped_release unlocked;
          bs->save(path);
        } catch (const scvardo::Error& e) {
          raise(e);
        }
      }, py::arg("path"), "Writes the whole model atomically (e.g. \"model.yml.gz\").")
      .def("load", [](Subtractor& bs, const std::string& path) {
        cv::FileStorage fs;
        try {
          fs.open(path, cv::FileStorage::READ);
        } catch (const cv::Exception&) {
          throw py::value_error("not a usable SC-VARDO model file: " + path);
        }
        if (!fs.isOpened()) {
          PyErr_SetString(PyExc_OSError, ("cannot open model file " + path).c_str());
          throw py::error_already_set();
        }
        try {
          bs->read(fs.root());
        } catch (const scvardo::Error& e) {
          raise(e);
        }
      }, py::arg("path"), "Replaces the model by one written with save(); a bad file changes nothing.");

  // Defaults from Params, shown as the short decimals they stand for.
  const scvardo::Params d;
  // arg_v keeps a pointer to its text: the texts live as long as the module.
  static std::deque<std::string> shown;
  auto real = [](const char* name, float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    shown.emplace_back(text);
    return py::arg_v(name, v, shown.back().c_str());
  };
  m.def("createBackgroundSubtractor", &create, py::kw_only(), py::arg("n") = d.n,
        py::arg("Cw") = d.Cw, py::arg("shadowRemoval") = d.shadowRemoval,
        py::arg("medianWidth") = d.medianWidth, real("e1", d.e1), real("e2", d.e2),
        real("c1", d.c1), real("c2", d.c2), real("gamma", d.gamma), real("beta", d.beta),
        real("tau_S", d.tau_S), real("tau_H", d.tau_H), py::arg("adaptive") = d.adaptive != 0,
        py::arg("absorbSpan") = d.absorbSpan, real("thresholdLow", d.thresholdLow),
        real("thresholdHigh", d.thresholdHigh), real("distanceGain", d.distanceGain),
        real("flickerTrain", d.flickerTrain), py::arg("K") = d.K,
        py::arg("threads") = d.threads, py::arg("roi") = py::none(),
        "A new subtractor; the keywords are the parameters of sc-vardo's switches (K: "
        "calibration frames, default 50; adaptive=True: per-pixel thresholds and absorption of "
        "still foreground). roi: H x W uint8, nonzero where pixels are processed.");
}

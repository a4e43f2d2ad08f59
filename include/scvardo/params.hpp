// The method's parameters: one struct, and one table that says everything
// the tools, the model file and the Python module need to know about each
// of its fields.
#pragma once

#include <cstddef>
#include <string>

namespace scvardo {

// Field names are the Python keywords and the model file's keys; the
// defaults here are the only ones (every interface reads them from a
// default-constructed Params). Meaning, switch and range: paramTable().
struct Params {
  int n = 3;
  int Cw = 5;
  int shadowRemoval = 1;
  int medianWidth = 0;
  float e1 = 0.1f;
  float e2 = 0.008f;
  float c1 = 1.0f;
  float c2 = 0.05f;
  float gamma = 0.7f;
  float beta = 1.0f;
  float tau_S = 0.1f;
  float tau_H = 10.0f;
  // The default suits a stream at 25-30 frames per second with a mostly
  // empty first two seconds; a benchmark sequence uses its own (highway: 469).
  int K = 50;
  int threads = 0;
  // The adaptive mode (0 off: the defined method) and its own parameters.
  int adaptive = 0;
  int absorbSpan = 200;
  float thresholdLow = 0.004f;
  float thresholdHigh = 0.06f;
  float distanceGain = 1.0f;
  float flickerTrain = 0.3f;
};

constexpr int kMaxThreads = 256;

// One row of the parameter table.
struct ParamSpec {
  // A Flag is an int field holding 0 or 1: a switch without a value
  // ("--adaptive"), a bool in Python.
  enum class Type { Int, Real, Flag };
  // When a subtractor that has seen frames may take a new value.
  enum class Change {
    Never,      // fixed by the first frame (the model's shape, the schedule)
    NextFrame,  // used from the next frame on; the model is kept
    AnyTime,    // speed only
  };
  // Where the settings report of sc-vardo shows it.
  enum class Report {
    None,     // not at all
    Defined,  // in the report's defined lines
    Own,      // a line "label: value" of its own (while onlyWith is on; a
              // Flag row's while it is on)
  };

  const char* name;    // the Params field, the Python keyword, the model file's key
  const char* cvName;  // getter and setter stem in cv naming: get<cvName>, set<cvName>
  const char* cliSwitch;  // "-e2"; a "--" switch is a long option
  Type type;
  int Params::*intField;     // Int and Flag rows
  float Params::*realField;  // Real rows
  // The valid range as a message ends "it must be ...": "greater than 0".
  const char* range;
  bool (*inRangeOf)(double value, const Params& all);
  const char* meaning;  // one line, for --help, the README and docstrings
  Change change;
  // A row that only matters while the Int or Flag row of this name is nonzero.
  const char* onlyWith;
  Report report;
  const char* reportLabel;
  // The model file format version that first held it; 0: not saved.
  int fileSince;

  // Whether the field is an int (Int and Flag rows).
  bool whole() const { return type != Type::Real; }
  double get(const Params& p) const {
    return whole() ? static_cast<double>(p.*intField) : static_cast<double>(p.*realField);
  }
  // Int and Flag rows take the value as an int (the caller checks that it
  // is one).
  void set(Params& p, double v) const {
    if (whole())
      p.*intField = static_cast<int>(v);
    else
      p.*realField = static_cast<float>(v);
  }
  double defaultValue() const { return get(Params{}); }
  // Finite, and in the range (which may depend on other fields of p).
  bool inRange(const Params& p) const;
  // The value as the tools print it: "3", "0.008", "1.0".
  std::string format(double value) const;
};

// The rows in the order of sc-vardo's switch lookups and of the Python
// factory's positional arguments.
struct ParamTable {
  const ParamSpec* first;
  std::size_t size;
  const ParamSpec* begin() const { return first; }
  const ParamSpec* end() const { return first + size; }
};
ParamTable paramTable();
// The row of a field name, or nullptr.
const ParamSpec* findParam(const std::string& name);
// The first row out of its range, or nullptr when every value is usable.
const ParamSpec* firstOutOfRange(const Params& p);

}  // namespace scvardo

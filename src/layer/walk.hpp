// Finding a network's arrays by walking its attributes, for the optimizers,
// the gradient check and the state files.
//
// The walk starts at a model (an instance, or a list or tuple of them) and
// visits its instance attributes in insertion order, depth first: into values
// that are instances of classes with a `__dict__` (not modules, classes,
// functions or other built-in objects) and into lists and tuples of them.
// Each object is visited once, so shared and cyclic references are harmless.
// In every instance dictionary it reports
//   * parameters: `owner.<name>` a floating-point ndarray and `owner.dLd<name>`
//     an ndarray of the same shape;
//   * buffers (on request): floating-point ndarrays whose name starts with
//     `running_` (running statistics that are state but not trained).
// A path names each one by the attributes and list indices leading to it:
// "convolutional_layers.0.lintrel_stride1.W".
//
// An array is one parameter however many attributes hold it (tied weights: an
// embedding shared by the input and output layers, one filter bank used twice).
// It is reported once, at the first place the walk meets it; the other places
// where it is a parameter too are listed in `also`, in walk order, so that
// their gradients can be summed and a new array put in every one of them.
#pragma once

#include <string>
#include <vector>

#include "layer/layer.hpp"

namespace ql {

struct Holder {
  Ref owner;
  Ref name;       // "W"
  Ref grad_name;  // "dLdW" (empty for a buffer)
  std::string path;
};

struct Found : Holder {
  bool buffer = false;
  Ref array;                 // the array itself, as found
  std::vector<Holder> also;  // the other attributes holding the same array

  // This place and the others, first to last.
  std::vector<const Holder*> holders() const;
  // Sets owner.<name> = value at every place.
  void assign(const Ref& value) const;
};

// TypeError unless the model is an object the walk can enter.
std::vector<Found> find_arrays(PyObject* model, bool buffers);

// Fills every parameter gradient inside the model with zeros, at every holder:
// in place where it is a writeable array, else as a new float64 array.
void zero_grads(PyObject* model);

// The dotted path as a Python str.
Ref path_str(const Holder& f);

// A writeable, aligned, native-order float64 C-contiguous ndarray: one whose
// values can be replaced in place.
bool writable_f64(PyObject* o);
// The same in float32.
bool writable_f32(PyObject* o);

}  // namespace ql

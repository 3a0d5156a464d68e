// quillet.nn.sequential: a network made of layers applied one after another.
//
// Sequential(*layers) keeps the layers in a plain list `self.layers` that the
// user may edit.  forward passes the input through each layer's forward in
// order; backward passes the gradient through each layer's backward in
// reverse.  Any object with forward and backward methods is a layer: stock
// layers, layers written in Python, other Sequentials.  The layers are called
// from C, one method call each, so chaining adds a small fraction of a
// microsecond per layer.
#include <string>
#include <unordered_set>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

// The class and its mode methods as made at import (strong references).
PyObject* g_class = nullptr;
ql::StockMethods g_modes;  // its train and eval

bool has_method(PyObject* o, PyObject* name) {
  Ref m = Ref::steal(PyObject_GetAttr(o, name));
  if (!m) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
    PyErr_Clear();
    return false;
  }
  return PyCallable_Check(m.get());
}

void check_layer(PyObject* layer, Py_ssize_t i) {
  for (PyObject* name : {QB_ID(forward), QB_ID(backward)})
    if (!has_method(layer, name))
      qb::fail(PyExc_TypeError, "layer %zd (%s) has no %U method; a layer needs forward(A) and backward(dLdZ)", i,
               Py_TYPE(layer)->tp_name, name);
}

Ref init(PyObject* self, PyObject* layers) {
  const Py_ssize_t n = PyTuple_GET_SIZE(layers);
  for (Py_ssize_t i = 0; i < n; ++i) check_layer(PyTuple_GET_ITEM(layers, i), i);
  qb::setattr(self, QB_ID(layers), qb::check(PySequence_List(layers)));
  qb::setattr(self, QB_ID(train_mode), Py_True);
  return {};
}

// Calls `method` of every layer in turn, feeding each the previous result.
// A list is read item by item as it stands at each call (a layer may edit
// it); any other sequence is read once.
Ref chain(PyObject* self, PyObject* method, PyObject* x, bool reverse) {
  // A Sequential inside itself recurses without end: RecursionError, not a
  // C stack overflow.
  qb::RecursionGuard depth(" in a Sequential");
  Ref layers = qb::getattr(self, QB_ID(layers));
  Ref value = Ref::borrow(x);
  if (PyList_CheckExact(layers.get())) {
    PyObject* list = layers.get();
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
      const Py_ssize_t i = reverse ? PyList_GET_SIZE(list) - 1 - k : k;
      Ref layer = Ref::borrow(PyList_GET_ITEM(list, i));
      PyObject* args[2] = {layer.get(), value.get()};
      value = qb::check(PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return value;
  }
  return ql::through_layers(layers.get(), method, x, reverse);
}

Ref forward(PyObject* self, PyObject* A) { return chain(self, QB_ID(forward), A, false); }

// ---------------------------------------------------------------- parameters

// Some layers replace their gradients on every backward and others add to
// them (see the user guide).  With accumulate, every gradient is first set to
// zeros, so that after backward it holds this pass's contribution whichever
// kind the layer is, and the value from before is added back.
Ref backward(PyObject* self, PyObject* dLdZ, bool accumulate) {
  if (!accumulate) return chain(self, QB_ID(backward), dLdZ, true);
  struct Kept {
    ql::Holder at;
    Ref before;
  };
  std::vector<Kept> kept;
  Ref zeros_like = qb::numpy_attr(QB_ID(zeros_like));
  for (const ql::Found& f : ql::find_arrays(self, false)) {
    for (const ql::Holder* h : f.holders()) {
      Ref before = qb::getattr(h->owner.get(), h->grad_name.get());
      kept.push_back({*h, before});
      qb::setattr(h->owner.get(), h->grad_name.get(), qb::call(zeros_like.get(), {before.get()}));
    }
  }
  Ref dLdA;
  qb::guarded([&] { dLdA = chain(self, QB_ID(backward), dLdZ, true); },
              [&] {  // the gradients stay as they were
                for (const Kept& k : kept) PyObject_SetAttr(k.at.owner.get(), k.at.grad_name.get(), k.before.get());
              });
  for (const Kept& k : kept) {
    Ref now = qb::getattr(k.at.owner.get(), k.at.grad_name.get());
    qb::setattr(k.at.owner.get(), k.at.grad_name.get(), qb::check(PyNumber_Add(k.before.get(), now.get())));
  }
  return dLdA;
}

Ref parameters(PyObject* self) {
  Ref out = qb::check(PyList_New(0));
  for (const ql::Found& f : ql::find_arrays(self, false)) qb::check(PyList_Append(out.get(), f.array.get()));
  return out;
}

Ref zero_grad(PyObject* self) {
  ql::zero_grads(self);
  return {};
}

Ref state_call(const char* function, std::initializer_list<PyObject*> args) {
  Ref state = qb::check(PyImport_ImportModule("quillet.state"));
  return qb::call(qb::check(PyObject_GetAttrString(state.get(), function)).get(), args);
}

Ref state_dict(PyObject* self) { return state_call("state_dict", {self}); }
Ref load_state_dict(PyObject* self, PyObject* state, PyObject* strict) {
  return state_call("load_state_dict", {self, state, strict});
}

// ---------------------------------------------------------------- the list of layers

Ref layer_list(PyObject* self) { return qb::getattr(self, QB_ID(layers)); }

Ref length(PyObject* self) { return qb::py_int(qb::len(layer_list(self).get())); }

Ref get_item(PyObject* self, PyObject* index) {
  Ref layers = layer_list(self);
  if (!PySlice_Check(index)) return qb::check(PyObject_GetItem(layers.get(), index));
  Ref part = qb::check(PySequence_Tuple(qb::check(PyObject_GetItem(layers.get(), index)).get()));
  return qb::check(PyObject_Call(g_class, part.get(), nullptr));
}

Ref iterate(PyObject* self) { return qb::check(PyObject_GetIter(layer_list(self).get())); }

Ref append(PyObject* self, PyObject* layer) {
  Ref layers = layer_list(self);
  check_layer(layer, qb::len(layers.get()));
  qb::call_method(layers.get(), QB_ID(append), {layer});
  return Ref::borrow(self);
}

Ref insert(PyObject* self, PyObject* index, PyObject* layer) {
  Ref layers = layer_list(self);
  if (!PyIndex_Check(index)) qb::fail(PyExc_TypeError, "index must be an integer, got %R", index);
  check_layer(layer, static_cast<Py_ssize_t>(qb::as_index(index)));
  qb::call_method(layers.get(), QB_ID(insert), {index, layer});
  return {};
}

// ---------------------------------------------------------------- modes

// Calls train() or eval() on every object inside that has it.  Objects
// without one are searched in turn (their attributes, lists and tuples), so a
// layer with a mode inside a plain container is still reached; an object that
// has the method is trusted to pass it on to its own parts.
class ModeWalk {
 public:
  explicit ModeWalk(PyObject* method) : method_(method) {}

  // True the first time an object is met.
  bool mark(PyObject* o) {
    if (!seen_.insert(o).second) return false;
    held_.push_back(Ref::borrow(o));
    return true;
  }

  void visit(PyObject* o) {
    if (!mark(o)) return;
    qb::RecursionGuard depth(" while setting the mode of layers");
    if (PyList_Check(o) || PyTuple_Check(o)) {
      Ref items = qb::check(PySequence_List(o));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) visit(PyList_GET_ITEM(items.get(), i));
      return;
    }
    if (!ql::enterable(o)) return;
    if (nested(o)) {  // walked here, so a layer it shares with others is reached once
      qb::setattr(o, QB_ID(train_mode), method_ == QB_ID(train) ? Py_True : Py_False);
      visit(qb::getattr(o, QB_ID(layers)).get());
      return;
    }
    Ref m = Ref::steal(PyObject_GetAttr(o, method_));
    if (!m) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
      PyErr_Clear();
    } else if (PyCallable_Check(m.get())) {
      qb::call(m.get(), {});
      return;
    }
    Ref dict = qb::check(PyObject_GenericGetDict(o, nullptr));
    Ref values = qb::check(PyDict_Values(dict.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) visit(PyList_GET_ITEM(values.get(), i));
  }

 private:
  // A Sequential whose train and eval are this module's own.
  static bool nested(PyObject* o) { return g_modes.untouched(Ref::borrow(o)); }

  PyObject* method_;
  std::unordered_set<PyObject*> seen_;
  std::vector<Ref> held_;
};

Ref set_mode(PyObject* self, bool train) {
  qb::setattr(self, QB_ID(train_mode), train ? Py_True : Py_False);
  ModeWalk walk(train ? QB_ID(train) : QB_ID(eval));
  walk.mark(self);  // this container is done; a layer list holding it is harmless
  walk.visit(qb::getattr(self, QB_ID(layers)).get());
  return {};
}

Ref train(PyObject* self) { return set_mode(self, true); }
Ref eval(PyObject* self) { return set_mode(self, false); }

// ---------------------------------------------------------------- repr

// A layer's own repr when its class defines one, else its class name.
std::string layer_text(PyObject* layer) {
  Ref text;
  if (Py_TYPE(layer)->tp_repr != PyBaseObject_Type.tp_repr) {
    text = qb::check(PyObject_Repr(layer));
  } else {
    text = qb::getattr(reinterpret_cast<PyObject*>(Py_TYPE(layer)), QB_ID(__qualname__));
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!s) throw qb::Error{};
  return std::string(s, static_cast<size_t>(n));
}

Ref repr(PyObject* self) {
  Ref layers = qb::check(PySequence_List(qb::getattr(self, QB_ID(layers)).get()));
  const Py_ssize_t n = PyList_GET_SIZE(layers.get());
  if (n == 0) return qb::str("Sequential()");
  const int status = Py_ReprEnter(self);  // a Sequential inside itself
  qb::check(status);
  if (status > 0) return qb::str("Sequential(...)");
  std::string out = "Sequential(\n";
  try {
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string text = layer_text(PyList_GET_ITEM(layers.get(), i));
      for (size_t p = text.find('\n'); p != std::string::npos; p = text.find('\n', p + 3)) text.replace(p, 1, "\n  ");
      out += "  (" + std::to_string(i) + "): " + text + "\n";
    }
  } catch (...) {
    Py_ReprLeave(self);
    throw;
  }
  Py_ReprLeave(self);
  out += ")";
  return qb::check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

const char* const DOC = R"(A network of layers applied one after another.

forward(A) passes A through every layer's forward in order and returns the
last output (calling the object is forward); backward(dLdZ) passes the
gradient through every layer's backward in reverse order and returns the
gradient for the input.  Any object with forward(A) and backward(dLdZ)
methods can be a layer, including other Sequentials and layers written in
Python.

Arguments:
    layers: the layers, in forward order, as separate arguments.

Attributes:
    layers: a plain list: append, remove or replace layers at will.
    train_mode: set by train() and eval(), which also call train() or eval()
        on every object inside that has them (the layers, and what the layers
        hold in their attributes, lists and tuples).

Example:
    >>> from quillet.nn.activation import ReLU
    >>> from quillet.nn.linear import Linear
    >>> net = Sequential(Linear(4, 8), ReLU(), Linear(8, 2))
    >>> net(np.ones((5, 4))).shape
    (5, 2))";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.nn.sequential", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_sequential() {
  return qb::init_module(&module_def, [](PyObject* m) {
    qb::make_class(
        m, "Sequential", DOC,
        {{"__init__", "*layers", nullptr, init},
         {"forward", "A",
          QB_DOC("A (np.array): the input of the first layer", "Z (np.array): the output of the last layer"), forward},
         {"__call__", "A",
          QB_DOC("A (np.array): the input of the first layer", "Z (np.array): the output of the last layer"), forward},
         {"backward", "dLdZ, accumulate=False",
          "Arguments:\n"
          "    dLdZ (np.array): the gradient for the last layer's output\n"
          "    accumulate (bool): when true, every parameter gradient inside ends as its value before plus\n"
          "        this pass's contribution, whether its layer adds to its gradients or replaces them\n"
          "Return:\n"
          "    dLdA (np.array): the gradient for the first layer's input",
          backward},
         {"__len__", "", "The number of layers.", length},
         {"__getitem__", "index", "A layer, or for a slice a new Sequential of those layers (the same objects).",
          get_item},
         {"__iter__", "", "Iterates over the layers.", iterate},
         {"append", "layer", "Appends a layer (an object with forward and backward); returns the Sequential.", append},
         {"insert", "index, layer", "Inserts a layer before index, as list.insert does.", insert},
         {"parameters", "",
          "The parameter arrays inside (W, b, ...), found as quillet.optim.parameters finds them.\n\n"
          "quillet.optim.parameters(net) gives their (owner, name) pairs instead.",
          parameters},
         {"zero_grad", "", "Sets every parameter gradient inside to zero, as the optimizers' zero_grad does.",
          zero_grad},
         {"state_dict", "", "quillet.state.state_dict(self): the parameters and buffers by dotted path.", state_dict},
         {"load_state_dict", "state, strict=True",
          "quillet.state.load_state_dict(self, state, strict): checks every name and shape, then assigns.",
          load_state_dict},
         {"train", "", "Sets train_mode to True and calls train() on every layer inside that has it.", train},
         {"eval", "", "Sets train_mode to False and calls eval() on every layer inside that has it.", eval},
         {"__repr__", "", nullptr, repr}});
    g_class = qb::getattr(m, QB_ID(Sequential)).release();
    g_modes.capture(g_class, QB_ID(train), QB_ID(eval));
  });
}

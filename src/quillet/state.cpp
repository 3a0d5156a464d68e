// quillet.state: a network's weights, and an optimizer's state, by name, in
// memory and in files.
//
// The names are dotted attribute paths ("convolutional_layers.0.lintrel_stride1.W")
// of every parameter quillet.optim.parameters finds, and of every buffer: by
// convention, a floating-point array attribute whose name starts with
// `running_` (running statistics, kept but not trained).  An array held by
// several layers (tied weights) has one name, the first the walk meets.
//
// Files are NumPy .npz archives of plain numeric arrays.  Saving writes a
// temporary file beside the destination (following a symbolic link to its
// target), gives it the destination's permission bits, flushes it to disk and
// renames it over the destination; the temporary file is locked while it is
// written, so the leftovers of saves that were killed can be told from the
// files of saves still running, and the next save of the same path removes
// them.  Loading reads the archive's directory and each member's .npy header
// first and refuses, before reading any array data, a file whose names, dtypes,
// shapes or sizes do not match what it is loaded into; it never unpickles.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

PyObject* g_error = nullptr;  // StateFileError

using qb::import;
using qb::text;

// A name as UTF-8, lone surrogates shown as escapes (such a name is no path of
// any model: the walk skips it).
std::string utf8(PyObject* s) { return Ref::borrow(s).text(); }

std::string pending_message() { return qb::error_text(); }

// "'a.W', 'b.b'" for at most a few names.
std::string names_text(const std::vector<std::string>& names) {
  std::string s;
  const size_t shown = names.size() > 8 ? 6 : names.size();
  for (size_t i = 0; i < shown; ++i) s += (i ? ", '" : "'") + names[i] + "'";
  if (shown < names.size()) s += " and " + std::to_string(names.size() - shown) + " more";
  return s;
}

Ref name_list(const std::vector<std::string>& names) {
  Ref l = qb::check(PyList_New(0));
  for (const std::string& s : names) qb::check(PyList_Append(l.get(), text(s).get()));
  return l;
}

bool real_dtype(PyArray_Descr* d) {
  const int t = d->type_num;
  return !PyDataType_HASFIELDS(d) && (PyTypeNum_ISBOOL(t) || PyTypeNum_ISINTEGER(t) || PyTypeNum_ISFLOAT(t));
}

bool is_optimizer(PyObject* o) {
  Ref optim = import("quillet.optim");
  for (const char* name : {"SGD", "Adam", "AdamW"}) {
    const int yes = PyObject_IsInstance(o, optim.attr(name).get());
    qb::check(yes);
    if (yes) return true;
  }
  return false;
}

// ---------------------------------------------------------------- the model's arrays

// What a state is loaded into: the arrays by name, each with its shape, and
// how a checked value is put in place.
struct Slot {
  std::string name;
  std::vector<npy_intp> shape;
  ql::Found where;  // a model's array (empty owner for an optimizer's)
};

std::vector<Slot> model_slots(PyObject* model) {
  std::vector<Slot> slots;
  for (ql::Found& f : ql::find_arrays(model, true)) {
    Ref current = qb::as_array(f.array.get());
    slots.push_back({f.path, qb::dims(current), std::move(f)});
  }
  return slots;
}

// A value of the state as a new float64 array of the slot's shape, or a
// refusal naming it (nothing is assigned until every value has passed).
Ref checked_value(const Slot& s, PyObject* value, const std::string& where) {
  Ref a = Ref::steal(PyArray_FromAny(value, nullptr, 0, 0, 0, nullptr));
  if (!a) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw qb::Error{};
    const std::string why = pending_message();
    qb::fail(PyExc_ValueError, "%s'%s': the value is not an array of numbers (%s) (nothing was loaded)", where.c_str(),
             s.name.c_str(), why.c_str());
  }
  if (!real_dtype(PyArray_DESCR(qb::arr(a))))
    qb::fail(PyExc_TypeError, "%s'%s': the state holds an array of dtype %S, not real numbers (nothing was loaded)",
             where.c_str(), s.name.c_str(), reinterpret_cast<PyObject*>(PyArray_DESCR(qb::arr(a))));
  if (qb::dims(a) != s.shape)
    qb::fail(PyExc_ValueError,
             "%s'%s': the state's array has shape %s, but the model's has shape %s (nothing was loaded)", where.c_str(),
             s.name.c_str(), qb::shape_text(qb::dims(a)).c_str(), qb::shape_text(s.shape).c_str());
  return qb::f64_copy(a.get(), s.name.c_str());
}

// Whether a loaded value is copied into the array rather than replacing it: a
// writeable float64 one, or a float32 one under quillet.default_dtype(float32)
// (which keeps its dtype).
bool in_place(PyObject* a) { return ql::writable_f64(a) || (ql::writable_f32(a) && ql::single_precision()); }

// Puts the values into the model: into the existing array where it is a
// writeable float64 or float32 one (references to it stay valid, tied layers stay tied),
// else as a new float64 array at every attribute holding it.  The attributes
// are set first, and put back if one of them refuses, so that a failure
// leaves the model as it was; the copies, which cannot fail, come last.
void assign(const std::vector<Slot>& slots, const std::vector<Ref>& values) {
  struct Done {
    const ql::Holder* at;
    Ref old;
  };
  std::vector<Done> done;
  qb::guarded(
      [&] {
        for (size_t i = 0; i < slots.size(); ++i) {
          if (!values[i] || in_place(slots[i].where.array.get())) continue;
          for (const ql::Holder* h : slots[i].where.holders()) {
            Ref old = qb::getattr(h->owner.get(), h->name.get());
            qb::setattr(h->owner.get(), h->name.get(), values[i]);
            done.push_back({h, old});
          }
        }
      },
      [&] {
        for (auto it = done.rbegin(); it != done.rend(); ++it)
          if (PyObject_SetAttr(it->at->owner.get(), it->at->name.get(), it->old.get()) < 0) PyErr_Clear();
      });
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!values[i] || !in_place(slots[i].where.array.get())) continue;
    qb::check(PyArray_CopyInto(qb::arr(slots[i].where.array), qb::arr(values[i])));
  }
}

// Names given against names wanted: the missing and the unexpected ones, and
// for each wanted name the index of its value (or -1).
struct Match {
  std::vector<std::string> missing, unexpected;
  std::vector<Py_ssize_t> index;
};

Match match(const std::vector<Slot>& slots, const std::vector<std::string>& given) {
  std::unordered_map<std::string, size_t> wanted;
  for (size_t i = 0; i < slots.size(); ++i) wanted.emplace(slots[i].name, i);
  Match m;
  m.index.assign(slots.size(), -1);
  for (size_t j = 0; j < given.size(); ++j) {
    auto it = wanted.find(given[j]);
    if (it == wanted.end()) {
      m.unexpected.push_back(given[j]);
    } else {
      m.index[it->second] = static_cast<Py_ssize_t>(j);
    }
  }
  for (size_t i = 0; i < slots.size(); ++i)
    if (m.index[i] < 0) m.missing.push_back(slots[i].name);
  return m;
}

[[noreturn]] void mismatch(PyObject* type, const std::string& where, const Match& m) {
  std::string msg = "the state does not match the model:";
  if (!m.missing.empty()) msg += " missing " + names_text(m.missing) + (m.unexpected.empty() ? "" : ";");
  if (!m.unexpected.empty()) msg += " unexpected " + names_text(m.unexpected);
  qb::fail(type, "%s%s (nothing was loaded)", where.c_str(), msg.c_str());
}

// ---------------------------------------------------------------- an optimizer's state

// The keys of a parameter's entry that a file keeps, and the hyper-parameters
// of each optimizer.
const char* const kEntryKeys[] = {"momentum_buffer", "exp_avg", "exp_avg_sq", "step"};

const char* stock_name(PyObject* opt) {
  Ref optim = import("quillet.optim");
  for (const char* name : {"AdamW", "Adam", "SGD"}) {  // AdamW before Adam: a subclass may be both
    const int yes = PyObject_IsInstance(opt, optim.attr(name).get());
    qb::check(yes);
    if (yes) return name;
  }
  return "";
}

std::vector<const char*> hyper_names(const std::string& kind) {
  if (kind == "SGD") return {"lr", "momentum", "weight_decay", "nesterov"};
  return {"lr", "betas", "eps", "weight_decay"};
}

// Every parameter of the optimizer's model, by path, with its array.
std::vector<ql::Found> optimizer_params(PyObject* opt) {
  Ref model = qb::getattr(opt, QB_ID(model));
  return ql::find_arrays(model.get(), false);
}

// {"optimizer": "Adam", "lr": 0.001, …, "state.<path>.exp_avg": …}: the
// hyper-parameters and each parameter's state, under the model's names.
Ref optimizer_state_dict(PyObject* opt) {
  const std::string kind = stock_name(opt);
  Ref out = qb::check(PyDict_New());
  Ref np_array = qb::numpy_attr(QB_ID(array));
  auto put = [&](const std::string& name, PyObject* value) {
    Ref a = qb::call(np_array.get(), {value});
    qb::check(PyDict_SetItem(out.get(), text(name).get(), a.get()));
  };
  put("optimizer", text(kind).get());
  for (const char* h : hyper_names(kind)) put(h, Ref::borrow(opt).attr(h).get());
  Ref state = qb::getattr(opt, QB_ID(state));
  if (!PyDict_Check(state.get()))
    qb::fail(PyExc_TypeError, "the optimizer's state must be a dict, not %s", Py_TYPE(state.get())->tp_name);
  Ref arrays = Ref::steal(PyObject_GetAttrString(opt, "param_arrays"));
  if (!arrays) PyErr_Clear();
  for (const ql::Found& f : optimizer_params(opt)) {
    Ref key = ql::path_str(f);
    PyObject* e = PyDict_GetItemWithError(state.get(), key.get());
    if (!e && PyErr_Occurred()) throw qb::Error{};
    if (!e || !PyDict_Check(e)) continue;
    if (arrays && PyDict_Check(arrays.get())) {  // an entry kept for another array is not this one's
      PyObject* a = PyDict_GetItemWithError(arrays.get(), key.get());
      if (!a && PyErr_Occurred()) throw qb::Error{};
      if (a && a != f.array.get()) continue;
    }
    for (const char* k : kEntryKeys) {
      PyObject* v = PyDict_GetItemString(e, k);
      if (v) put("state." + f.path + "." + k, v);
    }
  }
  return out;
}

// Checks a state (names → values) against the optimizer and, when all of it
// passes, sets the hyper-parameters and the parameters' entries.  `where`
// prefixes messages ("'opt.npz': ").
void load_optimizer(PyObject* opt, const std::vector<std::string>& names, const std::vector<Ref>& values,
                    const std::string& where) {
  const std::string kind = stock_name(opt);
  std::unordered_map<std::string, size_t> given;
  for (size_t i = 0; i < names.size(); ++i) given.emplace(names[i], i);
  auto value = [&](const std::string& name) -> Ref {
    auto it = given.find(name);
    return it == given.end() ? Ref() : values[it->second];
  };
  Ref saved_kind = value("optimizer");
  if (!saved_kind)
    qb::fail(PyExc_ValueError, "%sthe state holds no 'optimizer' entry: it is not an optimizer's state", where.c_str());
  Ref kind_text = Ref::steal(PyObject_Str(saved_kind.get()));
  if (!kind_text) throw qb::Error{};
  if (utf8(kind_text.get()) != kind)
    qb::fail(PyExc_ValueError, "%sthe state is that of %U, not of %s (nothing was loaded)", where.c_str(),
             kind_text.get(), kind.c_str());

  // Hyper-parameters: every one present, each checked as the constructor
  // would check it, on a scratch optimizer of the same class.
  std::vector<std::string> known = {"optimizer"};
  Ref kw = qb::check(PyDict_New());
  Ref item = qb::str("item"), tolist = qb::str("tolist");
  for (const char* h : hyper_names(kind)) {
    known.push_back(h);
    Ref v = value(h);
    if (!v)
      qb::fail(PyExc_ValueError, "%sthe state lacks the hyper-parameter '%s' (nothing was loaded)", where.c_str(), h);
    Ref plain = std::string(h) == "betas" ? qb::call_method(v.get(), tolist.get(), {})
                                          : Ref::steal(PyObject_CallMethodObjArgs(v.get(), item.get(), nullptr));
    if (!plain) {
      const std::string why = pending_message();
      qb::fail(PyExc_ValueError, "%s'%s' is not a single number (%s) (nothing was loaded)", where.c_str(), h,
               why.c_str());
    }
    if (std::string(h) == "betas" && PyList_Check(plain.get())) plain = qb::check(PyList_AsTuple(plain.get()));
    qb::check(PyDict_SetItemString(kw.get(), h, plain.get()));
  }
  Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(opt)));
  Ref model = qb::getattr(opt, QB_ID(model));
  {
    Ref scratch_cls = import("quillet.optim").attr(kind.c_str());
    Ref args = qb::tuple({model.get()});
    Ref scratch = Ref::steal(PyObject_Call(scratch_cls.get(), args.get(), kw.get()));
    if (!scratch) {
      const std::string why = pending_message();
      qb::fail(PyExc_ValueError, "%sthe hyper-parameters are not valid: %s (nothing was loaded)", where.c_str(),
               why.c_str());
    }
  }

  // Entries: under the names of the model's parameters, with their shapes.
  std::vector<ql::Found> params = optimizer_params(opt);
  std::unordered_map<std::string, size_t> by_path;
  for (size_t i = 0; i < params.size(); ++i) by_path.emplace(params[i].path, i);
  std::vector<Ref> entries(params.size());
  std::vector<std::string> unexpected;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    const char* key = nullptr;
    std::string path;
    if (name.compare(0, 6, "state.") == 0) {
      for (const char* k : kEntryKeys) {
        const std::string suffix = std::string(".") + k;
        if (name.size() > 6 + suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
          key = k;
          path = name.substr(6, name.size() - 6 - suffix.size());
          break;
        }
      }
    }
    auto it = key ? by_path.find(path) : by_path.end();
    if (it == by_path.end()) {
      unexpected.push_back(name);
      continue;
    }
    const ql::Found& f = params[it->second];
    Ref a = qb::as_array(values[i].get());
    if (std::strcmp(key, "step") == 0) {
      const int t = PyArray_TYPE(qb::arr(a));
      if (qb::ndim(a) != 0 || !PyTypeNum_ISINTEGER(t))
        qb::fail(PyExc_ValueError, "%s'%s': a step count must be a single integer (nothing was loaded)", where.c_str(),
                 name.c_str());
      Ref v = qb::call_method(a.get(), item.get(), {});
      if (qb::as_index(v.get()) < 0)
        qb::fail(PyExc_ValueError, "%s'%s': the step count is negative (nothing was loaded)", where.c_str(),
                 name.c_str());
      a = v;
    } else {
      Slot s{name, qb::dims(qb::as_array(f.array.get())), ql::Found()};
      a = checked_value(s, a.get(), where);
    }
    if (!entries[it->second]) entries[it->second] = qb::check(PyDict_New());
    qb::check(PyDict_SetItemString(entries[it->second].get(), key, a.get()));
  }
  if (!unexpected.empty())
    qb::fail(PyExc_ValueError, "%sthe state does not match the optimizer's model: unexpected %s (nothing was loaded)",
             where.c_str(), names_text(unexpected).c_str());

  // Everything has passed: set it.
  PyObject *k, *v;
  Py_ssize_t p = 0;
  while (PyDict_Next(kw.get(), &p, &k, &v)) {
    Ref stored = PyTuple_Check(v) || PyBool_Check(v) ? Ref::borrow(v) : qb::py_float(PyFloat_AsDouble(v));
    if (PyErr_Occurred()) throw qb::Error{};
    qb::setattr(opt, k, stored);
  }
  Ref state = qb::check(PyDict_New()), arrays = qb::check(PyDict_New());
  for (size_t i = 0; i < params.size(); ++i) {
    if (!entries[i]) continue;
    Ref key = ql::path_str(params[i]);
    qb::check(PyDict_SetItem(state.get(), key.get(), entries[i].get()));
    qb::check(PyDict_SetItem(arrays.get(), key.get(), params[i].array.get()));
  }
  qb::setattr(opt, QB_ID(state), state);
  qb::setattr(opt, QB_ID(param_arrays), arrays);
}

// ---------------------------------------------------------------- state_dict, load_state_dict

Ref state_dict(PyObject*, PyObject* model) {
  if (is_optimizer(model)) return optimizer_state_dict(model);
  Ref out = qb::check(PyDict_New());
  for (const ql::Found& f : ql::find_arrays(model, true)) {
    Ref copy = qb::check(PyArray_NewCopy(qb::arr(f.array), NPY_CORDER));
    qb::check(PyDict_SetItem(out.get(), ql::path_str(f).get(), copy.get()));
  }
  return out;
}

// The names and values of a mapping, in its order.
void read_mapping(PyObject* state, std::vector<std::string>* names, std::vector<Ref>* values) {
  if (!PyDict_Check(state) && !(PyObject_HasAttrString(state, "keys") && PyObject_HasAttrString(state, "items")))
    qb::fail(PyExc_TypeError, "state must be a mapping of names to arrays (such as state_dict's dict), not %s",
             Py_TYPE(state)->tp_name);
  Ref items = qb::check(PyMapping_Items(state));
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) qb::fail(PyExc_TypeError, "state.items() must give pairs");
    PyObject* key = PyTuple_GET_ITEM(kv, 0);
    if (!PyUnicode_Check(key))
      qb::fail(PyExc_TypeError, "state names must be str, not %s (%R)", Py_TYPE(key)->tp_name, key);
    names->push_back(utf8(key));
    values->push_back(Ref::borrow(PyTuple_GET_ITEM(kv, 1)));
  }
}

Ref load_state_dict(PyObject*, PyObject* model, PyObject* state, PyObject* strict_arg) {
  const int strict = PyObject_IsTrue(strict_arg);
  qb::check(strict);
  std::vector<std::string> names;
  std::vector<Ref> given;
  if (is_optimizer(model)) {
    read_mapping(state, &names, &given);
    load_optimizer(model, names, given, "");
    return qb::tuple({name_list({}).get(), name_list({}).get()});
  }
  std::vector<Slot> slots = model_slots(model);
  read_mapping(state, &names, &given);
  const Match m = match(slots, names);
  if (strict && (!m.missing.empty() || !m.unexpected.empty())) mismatch(PyExc_ValueError, "", m);
  std::vector<Ref> values(slots.size());
  for (size_t i = 0; i < slots.size(); ++i)
    if (m.index[i] >= 0) values[i] = checked_value(slots[i], given[static_cast<size_t>(m.index[i])].get(), "");
  assign(slots, values);
  Ref missing = name_list(m.missing), unexpected = name_list(m.unexpected);
  return qb::tuple({missing.get(), unexpected.get()});
}

// ---------------------------------------------------------------- reading archives

// An .npz archive opened for reading, its directory checked: every member a
// uniquely named .npy file.  Member data is read only on request, after its
// header has been checked against what the caller expects.
class Archive {
 public:
  Archive(PyObject* source) {
    // A path is opened here (and closed by the destructor); a file object is
    // read as it is.
    if (PyObject_HasAttrString(source, "read")) {
      file_ = Ref::borrow(source);
      Ref name = Ref::steal(PyObject_GetAttrString(source, "name"));
      PyErr_Clear();
      named_ = name && PyUnicode_Check(name.get());
      label_ = named_ ? utf8(name.get()) : std::string("the file");
    } else {
      Ref os = import("os");
      Ref path = qb::call(os.attr("fspath").get(), {source});
      if (!PyUnicode_Check(path.get())) path = qb::call(os.attr("fsdecode").get(), {path.get()});
      label_ = utf8(path.get());
      named_ = true;
      Ref builtins = import("builtins");
      file_ = qb::call(builtins.attr("open").get(), {path.get(), qb::str("rb").get()});
      own_ = true;
    }
    if (named_) {
      Ref quoted = Ref::steal(PyObject_Repr(text(label_).get()));
      if (quoted) label_ = utf8(quoted.get());
      PyErr_Clear();
    }
    qb::guarded([&] { open_directory(); }, [&] { close(); });
  }

  // Closing gives way to an error already raised, and raises none of its own.
  ~Archive() {
    const bool failing = PyErr_Occurred();
    qb::preserving_error([&] { close(); });
    if (!failing) PyErr_Clear();
  }

  const std::vector<std::string>& names() const { return names_; }
  const std::string& label() const { return label_; }

  // Refuses the file: StateFileError naming it (and the member, if given).
  [[noreturn]] void refuse(const std::string& member, const std::string& why) const {
    if (member.empty()) qb::fail(g_error, "%s cannot be loaded: %s (nothing was loaded)", label_.c_str(), why.c_str());
    qb::fail(g_error, "'%s' in %s cannot be loaded: %s (nothing was loaded)", member.c_str(), label_.c_str(),
             why.c_str());
  }

  // Refuses the file for the pending error, which is not an interruption or
  // a lack of memory (those go on as they are).
  [[noreturn]] void refuse_pending(const std::string& member, const std::string& why) const {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw qb::Error{};
    const std::string error = pending_message();
    refuse(member, why.empty() ? error : why + " (" + error + ")");
  }

  // f(), or, if it raises, a refusal for its error.
  template <class F>
  Ref or_refuse(const std::string& member, const std::string& why, F f) const {
    try {
      return f();
    } catch (const qb::Error&) {
      refuse_pending(member, why);
    }
  }

  // The member's array, read after its header has been checked: real numbers,
  // of the given shape, and exactly as many bytes as those need.
  Ref read(size_t i, const std::vector<npy_intp>& shape, bool text = false) {
    const std::string& name = names_[i];
    Ref member = or_refuse(name, "", [&] { return zip_.call("open", infos_[i]); });
    Ref out;
    qb::guarded([&] { out = read_member(member, i, shape, text); }, [&] { member.call("close"); });
    member.call("close");
    return out;
  }

 private:
  void open_directory() {
    // What the file starts with says what it is when it is no archive.
    Ref head = or_refuse("", "", [&] { return file_.call("read", 6); });
    if (!PyBytes_Check(head.get())) refuse("", "the file object does not give bytes");
    const std::string start(PyBytes_AS_STRING(head.get()), static_cast<size_t>(PyBytes_GET_SIZE(head.get())));
    if (start.empty()) refuse("", "the file is empty, not an .npz archive of plain arrays, the only kind load reads");
    if (start == "\x93NUMPY")
      refuse("", "it holds a single array, not a saved state (an .npz archive of named arrays)");
    or_refuse("", "", [&] { return file_.call("seek", 0); });
    zip_ = or_refuse("", "it is not an .npz archive of plain arrays, the only kind load reads",
                     [&] { return import("zipfile").attr("ZipFile")(file_); });
    Ref list = or_refuse("", "", [&] { return qb::check(PySequence_List(zip_.call("infolist").get())); });
    std::unordered_set<std::string> seen;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      PyObject* info = PyList_GET_ITEM(list.get(), i);
      const std::string filename = Ref::borrow(info).attr("filename").text();
      if (filename.size() < 4 || filename.compare(filename.size() - 4, 4, ".npy") != 0)
        refuse(filename, "the member is not an .npy array");
      const std::string name = filename.substr(0, filename.size() - 4);
      if (!seen.insert(name).second) refuse(name, "the archive holds two members of that name");
      const long long flags = Ref::borrow(info).attr("flag_bits").index();
      if (flags & 1) refuse(name, "the member is encrypted");
      names_.push_back(name);
      infos_.push_back(Ref::borrow(info));
    }
  }

  Ref read_member(const Ref& member, size_t i, const std::vector<npy_intp>& shape, bool text) {
    const std::string& name = names_[i];
    auto read_bytes = [&](Py_ssize_t n, const char* what) -> std::string {
      Ref b = or_refuse(name, "its data is damaged", [&] { return member.call("read", n); });
      if (!PyBytes_Check(b.get()) || PyBytes_GET_SIZE(b.get()) != n)
        refuse(name, std::string("the data ends inside the ") + what);
      return std::string(PyBytes_AS_STRING(b.get()), static_cast<size_t>(n));
    };
    // The .npy header: magic, version, length, then a dict literal.
    const std::string magic = read_bytes(8, ".npy header");
    if (magic.compare(0, 6, "\x93NUMPY") != 0) refuse(name, "the member is not an .npy array (bad magic)");
    const int major = static_cast<unsigned char>(magic[6]);
    if (major < 1 || major > 3) refuse(name, "unknown .npy format version " + std::to_string(major));
    const std::string len_bytes = read_bytes(major == 1 ? 2 : 4, ".npy header");
    size_t header_len = 0;
    for (size_t k = len_bytes.size(); k-- > 0;)
      header_len = header_len * 256 + static_cast<unsigned char>(len_bytes[k]);
    constexpr size_t kMaxHeader = 1 << 16;
    if (header_len > kMaxHeader) refuse(name, "its .npy header claims " + std::to_string(header_len) + " bytes");
    const std::string header = read_bytes(static_cast<Py_ssize_t>(header_len), ".npy header");
    Ref header_text = Ref::steal(PyUnicode_Decode(header.data(), static_cast<Py_ssize_t>(header.size()),
                                                  major == 3 ? "utf-8" : "latin-1", "strict"));
    if (!header_text) refuse(name, "its .npy header is not text");
    Ref d = or_refuse(name, "its .npy header cannot be read",
                      [&] { return import("ast").attr("literal_eval")(header_text); });
    if (!PyDict_Check(d.get()) || PyDict_Size(d.get()) != 3) refuse(name, "its .npy header is not a valid one");
    PyObject* descr = PyDict_GetItemString(d.get(), "descr");
    PyObject* fortran = PyDict_GetItemString(d.get(), "fortran_order");
    PyObject* shape_obj = PyDict_GetItemString(d.get(), "shape");
    if (!descr || !fortran || !PyBool_Check(fortran) || !shape_obj || !PyTuple_Check(shape_obj))
      refuse(name, "its .npy header is not a valid one");
    Ref to_dtype = import("numpy.lib.format").attr("descr_to_dtype");
    Ref dtype = Ref::steal(PyObject_CallFunctionObjArgs(to_dtype.get(), descr, nullptr));
    if (!dtype || !PyArray_DescrCheck(dtype.get())) {
      PyErr_Clear();
      refuse(name, "its .npy header names no dtype numpy knows");
    }
    auto* descr_obj = reinterpret_cast<PyArray_Descr*>(dtype.get());
    if (text ? !(descr_obj->type_num == NPY_UNICODE && PyDataType_ELSIZE(descr_obj) <= 1024) : !real_dtype(descr_obj)) {
      Ref shown = Ref::steal(PyObject_Str(dtype.get()));
      PyErr_Clear();
      refuse(name, "it holds an array of dtype " + (shown ? utf8(shown.get()) : std::string("?")) +
                       (text ? ", not a short text"
                             : ", not real numbers; load reads only plain numeric arrays, never pickled objects"));
    }
    std::vector<npy_intp> dims;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(shape_obj); ++k) {
      PyObject* n = PyTuple_GET_ITEM(shape_obj, k);
      if (!PyLong_Check(n) || PyBool_Check(n)) refuse(name, "its .npy header gives an invalid shape");
      const long long v = PyLong_AsLongLong(n);
      if (v < 0 || PyErr_Occurred()) {
        PyErr_Clear();
        refuse(name, "its .npy header gives an invalid shape");
      }
      dims.push_back(static_cast<npy_intp>(v));
    }
    if (dims != shape)
      qb::fail(g_error, "'%s' in %s: the state's array has shape %s, but the model's has shape %s (nothing was loaded)",
               name.c_str(), label_.c_str(), qb::shape_text(dims).c_str(), qb::shape_text(shape).c_str());
    // The shape is the model's, so the size is bounded by the model's own.
    npy_intp count = 1;
    for (npy_intp v : dims) count *= v;
    const size_t nbytes = static_cast<size_t>(count) * static_cast<size_t>(PyDataType_ELSIZE(descr_obj));
    const size_t declared = static_cast<size_t>(infos_[i].attr("file_size").index());
    const size_t expected = 8 + len_bytes.size() + header_len + nbytes;
    if (declared != expected)
      refuse(name, "the archive declares " + std::to_string(declared) + " bytes for it, but its header needs " +
                       std::to_string(expected));
    Ref data = or_refuse(name, "its data is damaged", [&] { return member.call("read", nbytes); });
    if (!PyBytes_Check(data.get()) || static_cast<size_t>(PyBytes_GET_SIZE(data.get())) != nbytes)
      refuse(name, "its data is shorter than its header says");
    // Reading past the end checks the member's CRC.
    Ref rest = or_refuse(name, "its data is damaged", [&] { return member.call("read", 1); });
    if (PyBytes_Check(rest.get()) && PyBytes_GET_SIZE(rest.get()) != 0)
      refuse(name, "its data is longer than its header says");
    Py_INCREF(descr_obj);
    Ref flat = qb::check(
        PyArray_FromString(PyBytes_AS_STRING(data.get()), static_cast<npy_intp>(nbytes), descr_obj, count, nullptr));
    PyArray_Dims newshape{dims.data(), static_cast<int>(dims.size())};
    Ref shaped =
        qb::check(PyArray_Newshape(qb::arr(flat), &newshape, fortran == Py_True ? NPY_FORTRANORDER : NPY_CORDER));
    return shaped;
  }

  void close() {
    if (zip_) {
      Ref z = zip_;
      zip_ = Ref();
      z.call("close");
    }
    if (own_ && file_) {
      Ref f = file_;
      file_ = Ref();
      f.call("close");
    }
  }

  Ref file_, zip_;
  bool own_ = false, named_ = false;
  std::string label_;
  std::vector<std::string> names_;
  std::vector<Ref> infos_;
};

// ---------------------------------------------------------------- load

Ref load(PyObject*, PyObject* model, PyObject* path) {
  const bool optimizer = is_optimizer(model);
  std::vector<Slot> slots;
  if (!optimizer) slots = model_slots(model);
  Archive archive(path);
  const std::string where = archive.label() + ": ";
  if (optimizer) {
    // Small: the hyper-parameters and arrays of the model's shapes.  Each
    // member is checked against its parameter before its data is read.
    std::vector<ql::Found> params = optimizer_params(model);
    std::unordered_map<std::string, std::vector<npy_intp>> shapes;
    for (const ql::Found& f : params) {
      const std::vector<npy_intp> s = qb::dims(qb::as_array(f.array.get()));
      shapes.emplace("state." + f.path + ".momentum_buffer", s);
      shapes.emplace("state." + f.path + ".exp_avg", s);
      shapes.emplace("state." + f.path + ".exp_avg_sq", s);
      shapes.emplace("state." + f.path + ".step", std::vector<npy_intp>{});
    }
    for (const char* h : {"optimizer", "lr", "momentum", "weight_decay", "nesterov", "eps"})
      shapes.emplace(h, std::vector<npy_intp>{});
    shapes.emplace("betas", std::vector<npy_intp>{2});
    std::vector<Ref> values;
    for (size_t i = 0; i < archive.names().size(); ++i) {
      const std::string& name = archive.names()[i];
      auto it = shapes.find(name);
      if (it == shapes.end())
        qb::fail(g_error, "%sthe file does not match the optimizer's model: unexpected '%s' (nothing was loaded)",
                 where.c_str(), name.c_str());
      if (name == "optimizer") {
        values.push_back(Ref());  // read below, as text
        continue;
      }
      values.push_back(archive.read(i, it->second));
    }
    // The optimizer's class, a short text.
    for (size_t i = 0; i < archive.names().size(); ++i)
      if (archive.names()[i] == "optimizer") values[i] = archive.read(i, {}, true);
    load_optimizer(model, archive.names(), values, where);
    return {};
  }
  const Match m = match(slots, archive.names());
  if (!m.missing.empty() || !m.unexpected.empty()) mismatch(g_error, where, m);
  std::vector<Ref> values(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    Ref a = archive.read(static_cast<size_t>(m.index[i]), slots[i].shape);
    values[i] = checked_value(slots[i], a.get(), where);
  }
  assign(slots, values);
  return {};
}

// ---------------------------------------------------------------- save

// The file's contents: the arrays by name, refusing names a file cannot hold.
Ref contents(PyObject* model) {
  Ref state = is_optimizer(model) ? optimizer_state_dict(model) : state_dict(nullptr, model);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(state.get(), &pos, &key, &value))
    if (utf8(key).find('\0') != std::string::npos)
      qb::fail(PyExc_ValueError, "%R cannot be saved: a name in a weight file cannot hold a NUL character", key);
  return state;
}

// Writes the arrays of `state` into the open binary file `f` as an .npz
// archive (what numpy.savez writes), never pickling.
void write_npz(const Ref& f, PyObject* state) {
  Ref zipfile = qb::import("zipfile"), write_array = qb::import("numpy.lib.format").attr("write_array");
  Ref zf = zipfile.attr("ZipFile")(f, "w", zipfile.attr("ZIP_STORED"), qb::kw("allowZip64", true));
  qb::guarded(
      [&] {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(state, &pos, &key, &value)) {
          Ref member =
              zf.call("open", qb::check(PyUnicode_FromFormat("%U.npy", key)), "w", qb::kw("force_zip64", true));
          qb::guarded([&] { write_array(member, value, qb::kw("allow_pickle", false)); },
                      [&] { member.call("close"); });
          member.call("close");
        }
      },
      [&] { zf.call("close"); });
  zf.call("close");
}

// The temporary files of saves of `base` are ".<base>.<12 hex digits>.tmp".
bool temporary_of(const std::string& entry, const std::string& base) {
  const std::string head = "." + base + ".";
  if (entry.size() != head.size() + 12 + 4 || entry.compare(0, head.size(), head) != 0) return false;
  if (entry.compare(entry.size() - 4, 4, ".tmp") != 0) return false;
  return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(head.size()), entry.end() - 4,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// fn(*args), or an empty Ref with the error dropped: for the steps a save may skip.
template <class... A>
Ref attempt(const Ref& fn, A&&... args) {
  try {
    return fn(std::forward<A>(args)...);
  } catch (const qb::Error&) {
    PyErr_Clear();
    return {};
  }
}

// The files of a destination's saves: temporary ones, each locked while its
// save runs, so that the leftovers of killed saves can be told apart.  Where
// there are no such locks (no fcntl), no file is ever taken for a leftover.
struct Saves {
  Ref os = qb::import("os"), fcntl;
  Ref folder, full;
  std::string base;

  explicit Saves(const Ref& path) {
    fcntl = Ref::steal(PyImport_ImportModule("fcntl"));
    if (!fcntl) PyErr_Clear();
    // The real destination: a symbolic link is followed (its target is
    // replaced), and "link/.." means what the system makes of it.
    Ref ospath = os.attr("path");
    full = ospath.attr("realpath")(path);
    folder = ospath.attr("dirname")(full);
    base = ospath.attr("basename")(full).text();
  }

  bool lock_now(const Ref& fd) const {
    return fcntl && attempt(fcntl.attr("flock"), fd, fcntl.attr("LOCK_EX").index() | fcntl.attr("LOCK_NB").index());
  }

  // Removes the leftovers of earlier saves that were killed: temporary files
  // of this destination that no running save holds locked.
  void remove_leftovers() const {
    if (!fcntl) return;
    Ref entries = attempt(os.attr("listdir"), folder);
    if (!entries) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
      if (!PyUnicode_Check(entry.get()) || !temporary_of(entry.text(), base)) continue;
      Ref path = os.attr("path").attr("join")(folder, entry);
      Ref fd = attempt(os.attr("open"), path, os.attr("O_RDONLY"));
      if (!fd) continue;
      if (lock_now(fd)) attempt(os.attr("unlink"), path);
      attempt(os.attr("close"), fd);
    }
  }

  // A new file beside the destination, created as open() would (the umask
  // applies), under a name no one else uses, and locked while it is written.
  // Returns (path, fd); an OSError names the destination.
  std::pair<Ref, Ref> create(const Ref& shown) const {
    long long flags = os.attr("O_WRONLY").index() | os.attr("O_CREAT").index() | os.attr("O_EXCL").index();
    if (PyObject_HasAttrString(os.get(), "O_BINARY")) flags |= os.attr("O_BINARY").index();
    for (int tries = 0; tries < 100; ++tries) {
      Ref token = os.attr("urandom")(6).call("hex");
      Ref tmp = os.attr("path").attr("join")(folder, "." + base + "." + token.text() + ".tmp");
      Ref fd =
          Ref::steal(PyObject_CallFunction(os.attr("open").get(), "OLi", tmp.get(), static_cast<long>(flags), 0666));
      if (!fd) {
        if (PyErr_ExceptionMatches(PyExc_FileExistsError)) {
          PyErr_Clear();
          continue;
        }
        rename_error(shown);
      }
      if (!fcntl) return {tmp, fd};
      // Locked, and still ours: a save cleaning up at this very moment may
      // have taken the new file for a leftover before the lock was on it.
      const bool locked = lock_now(fd);
      Ref mine = attempt(os.attr("fstat"), fd), there = attempt(os.attr("stat"), tmp);
      if (locked && mine && there && mine.attr("st_ino").index() == there.attr("st_ino").index()) return {tmp, fd};
      attempt(os.attr("close"), fd);
    }
    qb::fail(PyExc_OSError, "could not create a temporary file beside %R", shown.get());
  }

  // The pending OSError again, naming the destination as open() would.
  [[noreturn]] static void rename_error(const Ref& shown) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw qb::Error{};
    Ref e;
    {
      qb::SavedError saved;
      e = saved.take();
    }
    Ref named = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(e.get())))(e.attr("errno"), e.attr("strerror"), shown);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), named.get());
    throw qb::Error{};
  }
};

Ref save(PyObject*, PyObject* model, PyObject* path_arg) {
  Ref os = qb::import("os");
  Ref path = os.attr("fspath")(path_arg);
  if (!PyUnicode_Check(path.get())) path = os.attr("fsdecode")(path);
  Ref state = contents(model);
  Saves saves(path);

  // An existing destination must be one open(path, "wb") could write; its
  // permission bits pass to the new file.
  Ref mode;
  Ref st = Ref::steal(PyObject_CallOneArg(os.attr("stat").get(), saves.full.get()));
  if (st) {
    Ref stat = qb::import("stat");
    auto refuse = [&](PyObject* type, int err) {
      PyErr_SetObject(type, qb::tuple({qb::py_int(err).get(), os.attr("strerror")(err).get(), path.get()}).get());
      throw qb::Error{};
    };
    if (stat.attr("S_ISDIR")(st.attr("st_mode")).truthy()) refuse(PyExc_IsADirectoryError, EISDIR);
    if (!os.attr("access")(saves.full, os.attr("W_OK")).truthy()) refuse(PyExc_PermissionError, EACCES);
    mode = stat.attr("S_IMODE")(st.attr("st_mode"));
  } else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
    PyErr_Clear();
  } else {
    throw qb::Error{};
  }

  saves.remove_leftovers();
  Ref tmp, fd;
  std::tie(tmp, fd) = saves.create(path);
  if (mode) attempt(os.attr("fchmod"), fd, mode);
  qb::guarded(
      [&] {
        Ref file;
        qb::guarded([&] { file = os.attr("fdopen")(fd, "wb"); }, [&] { os.attr("close")(fd); });
        qb::guarded(
            [&] {
              write_npz(file, state.get());
              file.call("flush");
              os.attr("fsync")(file.call("fileno"));
              // Renamed while still open (and locked): no cleaner can take it.
              os.attr("replace")(tmp, saves.full);
            },
            [&] { file.call("close"); });
        file.call("close");
      },
      [&] { os.attr("unlink")(tmp); });

  // The rename itself reaches the disk with the folder's entry (POSIX); where
  // a folder cannot be opened this way, the rename stands as it is.
  if (Ref dir_fd = attempt(os.attr("open"), saves.folder, os.attr("O_RDONLY"))) {
    attempt(os.attr("fsync"), dir_fd);
    attempt(os.attr("close"), dir_fd);
  }
  return {};
}

// ---------------------------------------------------------------- docs

const char* const STATE_DICT_DOC =
    "Returns copies of the model's parameters and buffers, by dotted attribute path\n"
    "(\"layers.0.W\"), in the order quillet.optim.parameters finds them.  Buffers are\n"
    "floating-point array attributes whose name starts with `running_`.  An array\n"
    "held by several layers (tied weights) appears once, under the first path.\n\n"
    "Given an optimizer (SGD, Adam, AdamW), returns its state instead: its class\n"
    "name under 'optimizer', its hyper-parameters, and each parameter's entries\n"
    "as 'state.<path>.<entry>' (exp_avg, exp_avg_sq, step, momentum_buffer).";

const char* const LOAD_STATE_DICT_DOC =
    "Loads the arrays of `state` (a mapping of dotted paths to arrays, as\n"
    "state_dict returns) into the model.  Everything is checked before anything is\n"
    "assigned: with `strict`, a name the model lacks or a parameter the state\n"
    "lacks raises ValueError; a wrong shape or a value that is no array of numbers\n"
    "raises ValueError and an array that does not hold real numbers (object,\n"
    "string, complex) raises TypeError, both naming the parameter, and the model is\n"
    "left as it was.  Values are copied into the existing arrays when those are\n"
    "writeable float64 arrays, or float32 ones under quillet.default_dtype(float32)\n"
    "(references stay valid, tied layers stay tied), else\n"
    "set as new float64 arrays at every attribute holding the array.  Returns the\n"
    "lists of missing and of unexpected names (both empty when strict).\n\n"
    "Given an optimizer and a state from state_dict(optimizer), restores its\n"
    "hyper-parameters and each parameter's entries (always strictly).";

const char* const SAVE_DOC =
    "Writes state_dict(model) to `path` as a NumPy .npz archive; `model` may also\n"
    "be an optimizer, whose state (hyper-parameters, moments, step counts) is\n"
    "saved under its model's parameter names, for resuming training.  The file is\n"
    "written under a temporary name in the destination's folder, flushed to disk\n"
    "and then renamed over it, so an interrupted save never leaves a truncated\n"
    "file where a good one was.  A symbolic link is followed (its target is\n"
    "replaced); a destination that exists keeps its permission bits, and one that\n"
    "open(path, 'wb') could not write is refused with the same OSError.  The\n"
    "temporary file is removed on failure, and the leftovers of saves of the same\n"
    "path that were killed are removed by the next save.";

const char* const LOAD_DOC =
    "Reads an archive written by save and loads it into the model as\n"
    "load_state_dict(model, state, strict=True) does (or into an optimizer, from a\n"
    "file that save wrote for an optimizer of the same class over the same\n"
    "model's parameters).  `path` is a path or a binary file object.  The file can\n"
    "hold only plain arrays, and loading it never runs code, so it is the safe way\n"
    "to take weights from others (a pickled model must only be unpickled from a\n"
    "trusted source).  Names, dtypes, shapes and sizes are checked from the\n"
    "archive's directory and each array's header before any array data is read,\n"
    "so a hostile file cannot make load use more memory than the model itself.  A\n"
    "file that does not match, or is damaged, raises StateFileError (a ValueError)\n"
    "naming the file and the member; nothing is loaded then.";

const char* const ERROR_DOC =
    "Raised by quillet.state.load for a file that cannot be loaded: not an .npz\n"
    "archive of plain arrays, damaged, holding duplicate or unexpected names, or\n"
    "arrays whose dtype, shape or size do not match.  The message names the file\n"
    "and the member.  A subclass of ValueError.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.state", nullptr, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_state() {
  return qb::init_module(&module_def, [](PyObject* m) {
    g_error = qb::check(PyErr_NewExceptionWithDoc("quillet.state.StateFileError", ERROR_DOC, PyExc_ValueError, nullptr))
                  .release();
    qb::check(PyObject_SetAttrString(m, "StateFileError", g_error));
    qb::add_functions(m, {{"state_dict", "model", STATE_DICT_DOC, state_dict},
                          {"load_state_dict", "model, state, strict=True", LOAD_STATE_DICT_DOC, load_state_dict},
                          {"save", "model, path", SAVE_DOC, save},
                          {"load", "model, path", LOAD_DOC, load}});
  });
}

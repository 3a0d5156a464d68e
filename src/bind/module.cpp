#include "bind/module.hpp"

#include <cstring>
#include <string>

#ifdef _WIN32
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "bind/array.hpp"
#include "kernels/api.hpp"

namespace qb {

PyObject* make_class(PyObject* module, const char* name, const char* doc, std::initializer_list<Method> methods) {
  Ref modname = getattr(module, QB_ID(__name__));
  const char* modtext = PyUnicode_AsUTF8(modname.get());
  if (!modtext) throw Error{};
  const Method* init = nullptr;
  for (const Method& m : methods)
    if (std::strcmp(m.name, "__init__") == 0) init = &m;
  // The type's own docstring starts with the class signature, where
  // `inspect.signature(cls)` finds it; `cls.__doc__` is then set to the plain
  // text.
  std::string internal = init ? std::string(name) + "(" + init->params + ")\n--\n\n" : std::string();
  internal += doc ? doc : "";
  Ref pyname = str(name);
  Ref ns = check(PyDict_New());
  check(PyDict_SetItemString(ns.get(), "__module__", modname.get()));
  check(PyDict_SetItemString(ns.get(), "__qualname__", pyname.get()));
  check(PyDict_SetItemString(ns.get(), "__doc__", str(internal.c_str()).get()));
  Ref bases = tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {pyname.get(), bases.get(), ns.get()});
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  check(PyObject_SetAttrString(cls.get(), "__doc__", doc ? str(doc).get() : Py_None));
  for (const Method& m : methods) {
    // Setting __init__ on the class also points its tp_init slot at it.
    Ref d =
        &m == init ? init_descriptor(type, modtext, m) : check(PyDescr_NewMethod(type, method_def(modtext, name, m)));
    check(PyObject_SetAttrString(cls.get(), m.name, d.get()));
  }
  check(PyObject_SetAttr(module, pyname.get(), cls.get()));
  return cls.get();
}

void add_functions(PyObject* module, std::initializer_list<Method> functions) {
  Ref modname = getattr(module, QB_ID(__name__));
  const char* modtext = PyUnicode_AsUTF8(modname.get());
  if (!modtext) throw Error{};
  for (const Method& f : functions) {
    Ref fn = check(PyCFunction_NewEx(method_def(modtext, nullptr, f), module, modname.get()));
    check(PyObject_SetAttrString(module, f.name, fn.get()));
  }
}

namespace {
// The path of the shared library this code was loaded from (each module links
// its own copy of this library), or an empty Ref with no error set.
Ref own_file() {
#ifdef _WIN32
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&own_file), &self))
    return {};
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  return check(PyUnicode_FromWideChar(path.data(), static_cast<Py_ssize_t>(n)));
#else
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&own_file), &info) || !info.dli_fname) return {};
  return check(PyUnicode_DecodeFSDefault(info.dli_fname));
#endif
}
}  // namespace

void set_package_path(PyObject* module) {
  Ref file = own_file();
  if (!file) return;
  Ref ospath = check(PyImport_ImportModule("os.path"));
  Ref name = call(getattr(ospath.get(), QB_ID(basename)).get(), {file.get()});
  const char* text = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (!text) throw Error{};
  if (std::strncmp(text, "__init__.", 9) != 0) return;
  Ref folder = call(getattr(ospath.get(), QB_ID(dirname)).get(), {file.get()});
  setattr(module, QB_ID(__path__), list({folder.get()}));
}

void bind_module(PyObject* module, const char* name, const char* as) {
  Ref m = check(PyImport_ImportModule(name));
  check(PyObject_SetAttrString(module, as, m.get()));
}

void bind_numpy(PyObject* module) { bind_module(module, "numpy", "np"); }

namespace {
void star_import(PyObject* module, const char* name) {
  Ref src = check(PyImport_ImportModule(name));
  PyObject* dst = PyModule_GetDict(module);
  if (PyObject_HasAttrString(src.get(), "__all__")) {
    Ref all = getattr(src.get(), QB_ID(__all__));
    Ref it = check(PyObject_GetIter(all.get()));
    while (PyObject* key = PyIter_Next(it.get())) {
      Ref k = Ref::steal(key);
      Ref v = getattr(src.get(), k.get());
      check(PyDict_SetItem(dst, k.get(), v.get()));
    }
    if (PyErr_Occurred()) throw Error{};
    return;
  }
  Ref items = check(PyDict_Items(PyModule_GetDict(src.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* kv = PyList_GET_ITEM(items.get(), i);
    PyObject* k = PyTuple_GET_ITEM(kv, 0);
    if (!PyUnicode_Check(k) || PyUnicode_READ_CHAR(k, 0) == '_') continue;
    check(PyDict_SetItem(dst, k, PyTuple_GET_ITEM(kv, 1)));
  }
}
}  // namespace

void star_import(PyObject* module, std::initializer_list<const char*> names) {
  for (const char* name : names) star_import(module, name);
}

Ref global(PyObject* module, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw Error{};
  raise(PyExc_NameError, "name '%U' is not defined", name);
}

Ref resolve(PyObject* module, const char* path) {
  const char* dot = std::strchr(path, '.');
  Ref head = check(dot ? PyUnicode_FromStringAndSize(path, dot - path) : PyUnicode_FromString(path));
  Ref v = global(module, head.get());
  while (dot) {
    const char* start = dot + 1;
    dot = std::strchr(start, '.');
    Ref name = check(dot ? PyUnicode_FromStringAndSize(start, dot - start) : PyUnicode_FromString(start));
    v = getattr(v.get(), name.get());
  }
  return v;
}

void set_global(PyObject* module, const char* name, const Ref& value) {
  check(PyObject_SetAttrString(module, name, value.get()));
}

void connect_kernels() {
  Ref package = check(PyImport_ImportModule("quillet"));
  Ref capsule = getattr(package.get(), QB_ID(_kernels));
  auto* api = static_cast<const qk::Api*>(PyCapsule_GetPointer(capsule.get(), qk::kCapsuleName));
  if (!api) throw Error{};
  if (api->version != qk::kApiVersion || api->size != sizeof(qk::Api))
    raise(PyExc_ImportError,
          "this quillet module was built for another version of the package (kernel table %u, found %u); "
          "reinstall quillet",
          qk::kApiVersion, api->version);
  qk::connect(api);
}

void seed(PyObject* module, long long value) {
  Ref v = py_int(value);
  call(resolve(module, "np.random.seed").get(), {v.get()});
}

}  // namespace qb

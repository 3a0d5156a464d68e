// quillet.distributed: data-parallel training over MPI, through mpi4py.
//
// Every rank (process) holds a whole copy of the model and trains on its own
// share of each batch (shard); after backward the gradients are summed or
// averaged across the ranks (allreduce_gradients), so every copy takes the same
// step and the copies stay equal.  broadcast_parameters makes them equal to
// begin with.
//
// Communication goes through mpi4py's buffer interface, called like Python
// code calls it.  The arrays are packed in C++ into contiguous float64 buckets
// of at most `bucket_bytes` (16 MiB), each bucket is one comm.Allreduce or
// comm.Bcast, and the results are unpacked: a model with a hundred small
// arrays costs one call, not a hundred.  The copies run without the GIL when
// they are large.
//
// The ranks must agree on what they send, or a collective would mix unrelated
// arrays (or wait forever for a count that never comes).  Before the data
// moves they compare a 62-bit digest of the list of shapes (and the root and
// bucket size) with one Allreduce(MAX) of four integers; only when it differs
// do they exchange the whole lists, and every rank raises the same ValueError
// naming the first difference.
//
// Importing the module imports mpi4py.MPI (which initialises MPI) and chains
// sys.excepthook: an uncaught exception on one rank of a job of several
// prints its traceback and aborts the whole job (COMM_WORLD.Abort(1)), rather
// than leave the other ranks waiting in a collective forever.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "layer/walk.hpp"

using qb::Ref;

namespace {

// mpi4py.MPI and what is used of it, looked up once at import and kept for
// the life of the process (never released: a static Ref would be released
// after the interpreter has gone).
struct Mpi {
  PyObject *module, *world, *in_place, *max;
} g_mpi;
PyObject* g_previous_hook = nullptr;  // the sys.excepthook this module's hook chains to

constexpr long long kDefaultBucket = 16LL << 20;  // bytes
// Copies of at least this many doubles run without the GIL.
constexpr npy_intp kNoGilCopy = npy_intp{1} << 15;

// ---------------------------------------------------------------- communicators

// COMM_WORLD for None; otherwise anything with Get_rank and Get_size (an
// mpi4py communicator).
Ref comm_of(PyObject* comm) {
  if (comm == Py_None) return Ref::borrow(g_mpi.world);
  for (PyObject* name : {QB_ID(Get_rank), QB_ID(Get_size)}) {
    Ref attr = Ref::steal(PyObject_GetAttr(comm, name));
    if (!attr && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
    PyErr_Clear();
    if (!attr)
      qb::fail(PyExc_TypeError, "comm must be an MPI communicator such as mpi4py.MPI.COMM_WORLD, not %s",
               Py_TYPE(comm)->tp_name);
  }
  return Ref::borrow(comm);
}

struct Place {
  long long rank, size;
};

Place place_of(const Ref& comm) {
  const long long size = qb::as_index(qb::call_method(comm.get(), QB_ID(Get_size), {}).get());
  const long long rank = qb::as_index(qb::call_method(comm.get(), QB_ID(Get_rank), {}).get());
  if (size < 1 || rank < 0 || rank >= size)
    qb::fail(PyExc_ValueError, "the communicator reports rank %lld of %lld processes", rank, size);
  return {rank, size};
}

Ref rank(PyObject*, PyObject* comm) { return qb::py_int(place_of(comm_of(comm)).rank); }
Ref size(PyObject*, PyObject* comm) { return qb::py_int(place_of(comm_of(comm)).size); }

// ---------------------------------------------------------------- agreement

// One array the ranks exchange: where it is and its shape, for the digest and
// for the message naming a difference.
struct Entry {
  std::string path;
  std::vector<npy_intp> shape;
};

struct Digest {
  uint64_t h = 1469598103934665603ULL;  // FNV-1a
  void add(int64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= static_cast<uint64_t>(v >> (8 * i)) & 0xff;
      h *= 1099511628211ULL;
    }
  }
};

Ref entries_list(const std::vector<Entry>& entries) {
  Ref out = qb::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (size_t i = 0; i < entries.size(); ++i) {
    Ref path = qb::str(entries[i].path.c_str());
    Ref shape = qb::shape_tuple(entries[i].shape);
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), qb::tuple({path.get(), shape.get()}).release());
  }
  return out;
}

bool equal(PyObject* a, PyObject* b) {
  const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  qb::check(eq);
  return eq == 1;
}

// The first way in which rank r's (setting, entries) differs from rank 0's:
// every rank computes the same text from the same gathered lists.
[[noreturn]] void report_difference(const char* what, const char* one, const std::vector<const char*>& setting_names,
                                    PyObject* gathered) {
  const Py_ssize_t n = qb::len(gathered);
  Ref first = qb::item(gathered, 0);
  Ref first_setting = qb::item(first.get(), 0), first_list = qb::item(first.get(), 1);
  for (Py_ssize_t r = 1; r < n; ++r) {
    Ref other = qb::item(gathered, r);
    Ref other_setting = qb::item(other.get(), 0), other_list = qb::item(other.get(), 1);
    for (size_t k = 0; k < setting_names.size(); ++k) {
      Ref x = qb::item(first_setting.get(), static_cast<Py_ssize_t>(k));
      Ref y = qb::item(other_setting.get(), static_cast<Py_ssize_t>(k));
      if (!equal(x.get(), y.get()))
        qb::fail(PyExc_ValueError, "the ranks disagree on %s: %S on rank 0 but %S on rank %zd", setting_names[k],
                 x.get(), y.get(), r);
    }
    const Py_ssize_t a = qb::len(first_list.get()), b = qb::len(other_list.get());
    for (Py_ssize_t i = 0; i < std::min(a, b); ++i) {
      Ref x = qb::item(first_list.get(), i), y = qb::item(other_list.get(), i);
      if (equal(x.get(), y.get())) continue;
      Ref xp = qb::item(x.get(), 0), xs = qb::item(x.get(), 1), yp = qb::item(y.get(), 0), ys = qb::item(y.get(), 1);
      qb::fail(PyExc_ValueError,
               "the ranks' models differ, so their %s cannot be exchanged: %s %zd is %S of shape %S on rank 0 "
               "but %S of shape %S on rank %zd",
               what, one, i, xp.get(), xs.get(), yp.get(), ys.get(), r);
    }
    if (a != b) {
      Ref extra = qb::item(a > b ? first_list.get() : other_list.get(), std::min(a, b));
      Ref path = qb::item(extra.get(), 0);
      qb::fail(PyExc_ValueError,
               "the ranks' models differ, so their %s cannot be exchanged: rank 0 has %zd of them, rank %zd has %zd "
               "(the first one only rank %zd has: %S)",
               what, a, r, b, a > b ? Py_ssize_t{0} : r, path.get());
    }
  }
  qb::fail(PyExc_ValueError, "the ranks disagree on the %s they exchange", what);
}

// Returns when every rank of `comm` passed the same setting (root, bucket size)
// and entries; otherwise raises the same ValueError on every rank.  A
// collective: every rank must call it.
void agree(const Ref& comm, const std::vector<Entry>& entries, const std::vector<long long>& setting,
           const std::vector<const char*>& setting_names, const char* what, const char* one) {
  Digest d;
  d.add(static_cast<int64_t>(entries.size()));
  for (long long s : setting) d.add(s);
  for (const Entry& e : entries) {
    d.add(static_cast<int64_t>(e.shape.size()));
    for (npy_intp x : e.shape) d.add(x);
  }
  const int64_t h = static_cast<int64_t>(d.h >> 2);  // >= 0, so -h is too
  Ref sig = qb::check(PyArray_SimpleNew(1, std::vector<npy_intp>{2}.data(), NPY_INT64));
  auto* s = static_cast<int64_t*>(PyArray_DATA(qb::arr(sig)));
  s[0] = h;
  s[1] = -h;
  qb::call_method(comm.get(), QB_ID(Allreduce), {g_mpi.in_place, sig.get(), g_mpi.max});
  if (s[0] == h && s[1] == -h) return;  // max == min == h on every rank
  Ref settings = qb::check(PyList_New(static_cast<Py_ssize_t>(setting.size())));
  for (size_t i = 0; i < setting.size(); ++i)
    PyList_SET_ITEM(settings.get(), static_cast<Py_ssize_t>(i), qb::py_int(setting[i]).release());
  Ref mine = qb::tuple({settings.get(), entries_list(entries).get()});
  Ref gathered = qb::call_method(comm.get(), QB_ID(allgather), {mine.get()});
  report_difference(what, one, setting_names, gathered.get());
}

// ---------------------------------------------------------------- fused transfers

// A contiguous float64 or float32 range the transfer reads and writes (the
// buckets hold float64: float32 values travel exactly and are rounded once,
// after the sum).
struct Piece {
  void* data;
  npy_intp n;
  bool single;
};

Piece piece_of(const Ref& array) {
  return {PyArray_DATA(qb::arr(array)), qb::size(array), PyArray_TYPE(qb::arr(array)) == NPY_FLOAT};
}

struct Span {
  size_t piece;
  npy_intp from, at, n;  // piece offset, bucket offset, length
};

template <class F>
void maybe_without_gil(npy_intp n, F work) {
  if (n >= kNoGilCopy) {
    qb::NoGil nogil;
    work();
  } else {
    work();
  }
}

// Moves every piece through buckets of at most `bucket` doubles: packs each
// bucket (when `pack`), runs `communicate(bucket array)`, then unpacks it
// (when `unpack`) dividing by `divisor`.  The pieces are consecutive ranges of
// one virtual vector, so an array larger than a bucket spans several.
template <class F>
void transfer(const std::vector<Piece>& pieces, npy_intp bucket, bool pack, bool unpack, double divisor,
              F communicate) {
  npy_intp total = 0;
  for (const Piece& p : pieces) total += p.n;
  if (total == 0) return;
  const npy_intp cap = std::min(total, bucket);
  Ref buffer = qb::empty({cap});
  double* buf = qb::data(buffer);
  size_t pi = 0;
  npy_intp po = 0;
  for (npy_intp lo = 0; lo < total; lo += cap) {
    const npy_intp len = std::min(cap, total - lo);
    std::vector<Span> spans;
    for (npy_intp at = 0; at < len;) {
      while (pieces[pi].n == po) {
        ++pi;
        po = 0;
      }
      const npy_intp n = std::min(len - at, pieces[pi].n - po);
      spans.push_back({pi, po, at, n});
      at += n;
      po += n;
    }
    if (pack)
      maybe_without_gil(len, [&] {
        for (const Span& s : spans) {
          const Piece& p = pieces[s.piece];
          if (p.single)
            std::copy_n(static_cast<const float*>(p.data) + s.from, s.n, buf + s.at);
          else
            std::memcpy(buf + s.at, static_cast<const double*>(p.data) + s.from,
                        static_cast<size_t>(s.n) * sizeof(double));
        }
      });
    communicate(len == cap ? buffer : qb::slice(buffer.get(), {{0, 0, len, 1}}));
    if (unpack)
      maybe_without_gil(len, [&] {
        for (const Span& s : spans) {
          const Piece& p = pieces[s.piece];
          const double* src = buf + s.at;
          if (p.single) {
            float* dst = static_cast<float*>(p.data) + s.from;
            for (npy_intp i = 0; i < s.n; ++i) dst[i] = static_cast<float>(src[i] / divisor);
          } else if (divisor == 1.0) {
            std::memcpy(static_cast<double*>(p.data) + s.from, src, static_cast<size_t>(s.n) * sizeof(double));
          } else {
            double* dst = static_cast<double*>(p.data) + s.from;
            for (npy_intp i = 0; i < s.n; ++i) dst[i] = src[i] / divisor;
          }
        }
      });
  }
}

npy_intp bucket_elements(PyObject* bucket_bytes) {
  if (PyBool_Check(bucket_bytes) || !PyIndex_Check(bucket_bytes))
    qb::fail(PyExc_TypeError, "bucket_bytes must be an integer, not %s", Py_TYPE(bucket_bytes)->tp_name);
  const long long b = qb::as_index(bucket_bytes);
  if (b < static_cast<long long>(sizeof(double)))
    qb::fail(PyExc_ValueError, "bucket_bytes must be at least 8 (one float64), got %lld", b);
  return static_cast<npy_intp>(b / static_cast<long long>(sizeof(double)));
}

// A writeable float64 C-contiguous copy of the values of `o`.
Ref f64_copy(PyObject* o, const char* what) {
  Ref a = qb::to_f64(o, what);
  if (ql::writable_f64(a.get()) && a.get() != o) return a;
  return qb::check(PyArray_NewCopy(qb::arr(a), NPY_CORDER));
}

// Whether the transfers may read and write `o` in place: a writeable
// C-contiguous float64 array, or float32 one while the default dtype is
// float32 (as the optimizers keep float32 parameters then).
bool in_place(PyObject* o) { return ql::writable_f64(o) || (ql::single_precision() && ql::writable_f32(o)); }

// ---------------------------------------------------------------- broadcast_parameters

const char* const BROADCAST_DOC =
    "broadcast_parameters(model, root=0, comm=None, *, bucket_bytes=16777216)\n\n"
    "Copies every parameter and buffer (running statistics) of the model on rank\n"
    "`root` into the same arrays of the model on every other rank, so that all\n"
    "ranks start from the same weights.  A collective: every rank of `comm`\n"
    "(COMM_WORLD by default) must call it.\n\n"
    "Arrays that are writeable, C-contiguous float64 (or float32 while the\n"
    "default dtype is float32) are overwritten in place; others (float32 under\n"
    "float64, read-only, strided) are replaced, on every rank, by new float64\n"
    "arrays at every attribute holding them.  The arrays travel packed\n"
    "into buckets of at most bucket_bytes, one comm.Bcast each.  When the ranks'\n"
    "models differ in their arrays' number or shapes, or the ranks pass different\n"
    "roots, every rank raises ValueError naming the first difference and no array\n"
    "is changed.";

Ref broadcast_parameters(PyObject*, PyObject* model, PyObject* root, PyObject* comm_arg, PyObject* bucket_bytes) {
  Ref comm = comm_of(comm_arg);
  const Place place = place_of(comm);
  const npy_intp bucket = bucket_elements(bucket_bytes);
  const long long r = qb::as_index(root);
  std::vector<ql::Found> found = ql::find_arrays(model, true);
  std::vector<Entry> entries;
  entries.reserve(found.size());
  for (const ql::Found& f : found) entries.push_back({f.path, qb::dims(qb::arr(f.array))});
  if (place.size > 1)
    agree(comm, entries, {r, static_cast<long long>(bucket)}, {"root", "bucket_bytes // 8"}, "parameters and buffers",
          "array");
  if (r < 0 || r >= place.size)
    qb::fail(PyExc_ValueError, "root must be a rank of the communicator, 0 to %lld, got %lld", place.size - 1, r);
  const bool sender = place.rank == r;

  // The arrays written in place, and the replacements put in afterwards.
  std::vector<Piece> pieces;
  std::vector<std::pair<const ql::Found*, Ref>> replaced;
  for (const ql::Found& f : found) {
    Ref target = f.array;
    if (!in_place(f.array.get())) {
      target = sender ? f64_copy(f.array.get(), f.path.c_str()) : qb::empty(qb::dims(qb::arr(f.array)));
      replaced.emplace_back(&f, target);
    }
    if (qb::size(target) > 0) pieces.push_back(piece_of(target));
  }
  Ref root_int = qb::py_int(r);
  if (place.size > 1)
    transfer(pieces, bucket, sender, !sender, 1.0,
             [&](const Ref& buf) { qb::call_method(comm.get(), QB_ID(Bcast), {buf.get(), root_int.get()}); });
  for (auto& [f, array] : replaced) f->assign(array);
  return {};
}

// ---------------------------------------------------------------- allreduce_gradients

const char* const ALLREDUCE_DOC =
    "allreduce_gradients(model, average=True, comm=None, *, bucket_bytes=16777216)\n\n"
    "Replaces every parameter gradient dLd<name> of the model by its sum over\n"
    "the ranks of `comm` (COMM_WORLD by default), divided by the number of ranks\n"
    "when `average` is true.  A collective: every rank must call it, after its\n"
    "backward pass and before the optimizer's step.\n\n"
    "The gradients are packed into one contiguous buffer (buckets of at most\n"
    "bucket_bytes for large models), reduced with one comm.Allreduce per bucket,\n"
    "and written back in place.  A tied parameter's holders each have their\n"
    "gradient reduced; one gradient array held by several attributes is reduced\n"
    "once.  Gradients that are not writeable C-contiguous float64 arrays (or\n"
    "float32 ones while the default dtype is float32: those are summed in\n"
    "float64 and rounded once) are replaced by float64 arrays holding the\n"
    "result.  When the ranks' models\n"
    "differ in their gradients' number or shapes, every rank raises ValueError\n"
    "naming the first difference, before any gradient changes.\n\n"
    "With average=True and a loss that is a mean over each rank's batch, equal\n"
    "batches on every rank give the gradient of the mean over all of them.";

std::string gradient_path(const ql::Holder& h) {
  const size_t dot = h.path.rfind('.');
  const char* name = PyUnicode_AsUTF8(h.grad_name.get());
  if (!name) throw qb::Error{};
  return (dot == std::string::npos ? std::string() : h.path.substr(0, dot + 1)) + name;
}

Ref allreduce_gradients(PyObject*, PyObject* model, PyObject* average, PyObject* comm_arg, PyObject* bucket_bytes) {
  Ref comm = comm_of(comm_arg);
  const Place place = place_of(comm);
  const npy_intp bucket = bucket_elements(bucket_bytes);
  const int avg = PyObject_IsTrue(average);
  qb::check(avg);
  std::vector<ql::Found> found = ql::find_arrays(model, false);

  // Each gradient array once, whoever holds it; replacements for those that
  // cannot be written in place, put at every attribute that held the original.
  struct Grad {
    Ref original, target;
    std::vector<const ql::Holder*> holders;
  };
  std::vector<Grad> grads;
  std::unordered_map<PyObject*, size_t> index;
  for (const ql::Found& f : found)
    for (const ql::Holder* h : f.holders()) {
      Ref g = qb::getattr(h->owner.get(), h->grad_name.get());
      auto it = index.find(g.get());
      if (it != index.end()) {
        grads[it->second].holders.push_back(h);
        continue;
      }
      index.emplace(g.get(), grads.size());
      grads.push_back({g, g, {h}});
    }

  // Distinct array objects may still view the same memory: the same range
  // counts once; a partial overlap would be reduced twice, and is refused.
  std::vector<Entry> entries;
  std::vector<Piece> pieces;
  std::vector<std::pair<const char*, size_t>> ranges;  // (start, index in grads)
  for (size_t i = 0; i < grads.size(); ++i) {
    Grad& gr = grads[i];
    const std::string path = gradient_path(*gr.holders.front());
    if (!in_place(gr.original.get())) gr.target = f64_copy(gr.original.get(), path.c_str());
    entries.push_back({path, qb::dims(qb::arr(gr.target))});
    if (qb::size(gr.target) > 0) ranges.emplace_back(static_cast<const char*>(PyArray_DATA(qb::arr(gr.target))), i);
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<bool> skip(grads.size(), false);
  for (size_t k = 1; k < ranges.size(); ++k) {
    const Grad &a = grads[ranges[k - 1].second], &b = grads[ranges[k].second];
    const char* a_end = ranges[k - 1].first + PyArray_NBYTES(qb::arr(a.target));
    if (ranges[k].first >= a_end) continue;
    if (ranges[k].first == ranges[k - 1].first && qb::size(a.target) == qb::size(b.target) &&
        PyArray_TYPE(qb::arr(a.target)) == PyArray_TYPE(qb::arr(b.target))) {
      skip[ranges[k].second] = true;
      ranges[k].second = ranges[k - 1].second;  // compare the next with the one kept
      continue;
    }
    const std::string pa = gradient_path(*a.holders.front()), pb = gradient_path(*b.holders.front());
    qb::fail(PyExc_ValueError, "the gradients %s and %s share part of their memory; give each its own array",
             pa.c_str(), pb.c_str());
  }
  for (size_t i = 0; i < grads.size(); ++i)
    if (!skip[i] && qb::size(grads[i].target) > 0) pieces.push_back(piece_of(grads[i].target));

  if (place.size > 1)
    agree(comm, entries, {static_cast<long long>(bucket)}, {"bucket_bytes // 8"}, "gradients", "gradient");
  for (const Grad& gr : grads)
    if (gr.target.get() != gr.original.get())
      for (const ql::Holder* h : gr.holders) qb::setattr(h->owner.get(), h->grad_name.get(), gr.target);
  if (place.size == 1) return {};
  transfer(pieces, bucket, true, true, avg ? static_cast<double>(place.size) : 1.0,
           [&](const Ref& buf) { qb::call_method(comm.get(), QB_ID(Allreduce), {g_mpi.in_place, buf.get()}); });
  return {};
}

// ---------------------------------------------------------------- shard

const char* const SHARD_DOC =
    "shard(n, *, seed=0, epoch=0, drop_last=False, comm=None) -> int64 array\n\n"
    "The indices of the samples of an n-sample data set that this rank trains\n"
    "on in this epoch.  Every rank draws the same permutation of range(n) from\n"
    "numpy.random.default_rng((seed, epoch)) without communicating, and takes\n"
    "every size-th element of it from its rank on, so each sample belongs to\n"
    "exactly one rank's share.  With drop_last=False every rank gets ceil(n / size)\n"
    "indices, the last ranks' shares completed with samples from the start of the\n"
    "permutation; with drop_last=True every rank gets floor(n / size) and the\n"
    "n % size samples left over sit out this epoch.";

long long non_negative(PyObject* value, const char* name) {
  if (PyBool_Check(value) || !PyIndex_Check(value))
    qb::fail(PyExc_TypeError, "%s must be an integer, not %s", name, Py_TYPE(value)->tp_name);
  const long long v = qb::as_index(value);
  if (v < 0) qb::fail(PyExc_ValueError, "%s must be at least 0, got %lld", name, v);
  return v;
}

Ref shard(PyObject*, PyObject* n_arg, PyObject* seed, PyObject* epoch, PyObject* drop_last, PyObject* comm_arg) {
  const long long n = non_negative(n_arg, "n");
  non_negative(seed, "seed");
  non_negative(epoch, "epoch");
  const int drop = PyObject_IsTrue(drop_last);
  qb::check(drop);
  const Place place = place_of(comm_of(comm_arg));
  const long long per = drop ? n / place.size : (n + place.size - 1) / place.size;
  Ref out = qb::check(PyArray_SimpleNew(1, std::vector<npy_intp>{static_cast<npy_intp>(per)}.data(), NPY_INT64));
  if (per == 0) return out;
  Ref random = qb::numpy_attr(QB_ID(random));
  Ref key = qb::tuple({seed, epoch});
  Ref rng = qb::call(qb::getattr(random.get(), QB_ID(default_rng)).get(), {key.get()});
  Ref count = qb::py_int(n);
  Ref perm_any = qb::call_method(rng.get(), QB_ID(permutation), {count.get()});
  Ref perm = qb::check(PyArray_FROMANY(perm_any.get(), NPY_INT64, 1, 1, NPY_ARRAY_CARRAY_RO));
  if (qb::size(perm) != n)
    qb::fail(PyExc_RuntimeError, "numpy's permutation(%lld) has %zd elements", n, qb::size(perm));
  const auto* p = static_cast<const int64_t*>(PyArray_DATA(qb::arr(perm)));
  auto* o = static_cast<int64_t*>(PyArray_DATA(qb::arr(out)));
  for (long long j = 0; j < per; ++j) o[j] = p[(place.rank + j * place.size) % n];
  return out;
}

// ---------------------------------------------------------------- DistributedOptimizer

const char* const OPTIMIZER_DOC =
    "An optimizer whose step first averages the gradients across the ranks.\n\n"
    "DistributedOptimizer(optimizer, comm=None) wraps any quillet.optim optimizer\n"
    "(or any object with a `model` attribute and a step() method): step() calls\n"
    "allreduce_gradients(optimizer.model, average=True, comm=comm), then\n"
    "optimizer.step().  Every other attribute is the wrapped optimizer's: reading\n"
    "or setting lr, state or model, or calling zero_grad(), reaches it.\n\n"
    "Attributes:\n"
    "    optimizer: the wrapped optimizer.\n"
    "    comm: the communicator (None: COMM_WORLD).\n\n"
    "Example:\n"
    "    >>> from quillet.nn.linear import Linear\n"
    "    >>> from quillet.optim import SGD\n"
    "    >>> net = Linear(3, 2)\n"
    "    >>> optimizer = DistributedOptimizer(SGD(net, lr=0.1))\n"
    "    >>> optimizer.lr = 0.05  # the wrapped optimizer's\n"
    "    >>> optimizer\n"
    "    DistributedOptimizer(SGD(lr=0.05, momentum=0.0, weight_decay=0.0, nesterov=False))\n"
    "    >>> optimizer.zero_grad()\n"
    "    >>> optimizer.step()  # gradients averaged over the ranks, then SGD";

Ref own_attr(PyObject* self, PyObject* name) {
  Ref dict = qb::check(PyObject_GenericGetDict(self, nullptr));
  PyObject* v = PyDict_GetItemWithError(dict.get(), name);
  if (!v && PyErr_Occurred()) throw qb::Error{};
  return Ref::borrow(v);
}

Ref wrapped(PyObject* self) {
  Ref inner = own_attr(self, QB_ID(optimizer));
  if (!inner) qb::fail(PyExc_AttributeError, "this DistributedOptimizer wraps no optimizer (it was never initialised)");
  return inner;
}

Ref optimizer_init(PyObject* self, PyObject* optimizer, PyObject* comm) {
  Ref step = Ref::steal(PyObject_GetAttr(optimizer, QB_ID(step)));
  if (!step && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
  PyErr_Clear();
  Ref model = Ref::steal(PyObject_GetAttr(optimizer, QB_ID(model)));
  if (!model && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw qb::Error{};
  PyErr_Clear();
  if (!step || !PyCallable_Check(step.get()) || !model)
    qb::fail(PyExc_TypeError,
             "optimizer must be an optimizer with a model attribute and a step() method (quillet.optim.SGD, Adam, "
             "AdamW), not %s",
             Py_TYPE(optimizer)->tp_name);
  if (comm != Py_None) comm_of(comm);
  qb::check(PyObject_GenericSetAttr(self, QB_ID(optimizer), optimizer));
  qb::check(PyObject_GenericSetAttr(self, QB_ID(comm), comm));
  return {};
}

Ref optimizer_step(PyObject* self) {
  Ref inner = wrapped(self);
  Ref comm = own_attr(self, QB_ID(comm));
  Ref model = qb::getattr(inner.get(), QB_ID(model));
  Ref bucket = qb::py_int(kDefaultBucket);
  allreduce_gradients(nullptr, model.get(), Py_True, comm ? comm.get() : Py_None, bucket.get());
  return qb::call_method(inner.get(), QB_ID(step), {});
}

bool is_dunder(PyObject* name) {
  if (!PyUnicode_Check(name)) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  return n > 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

// Called only for names the wrapper itself lacks.  Special names are not
// passed on: copy and pickle probe for __setstate__ and the like on objects
// whose state is not restored yet.
Ref optimizer_getattr(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name))
    qb::fail(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
  Ref inner = is_dunder(name) ? Ref() : own_attr(self, QB_ID(optimizer));
  if (!inner) {
    PyErr_Format(PyExc_AttributeError, "'DistributedOptimizer' object has no attribute '%U'", name);
    throw qb::Error{};
  }
  return qb::getattr(inner.get(), name);
}

bool own_name(PyObject* name) {
  return PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "optimizer") == 0 ||
                                   PyUnicode_CompareWithASCIIString(name, "comm") == 0 || is_dunder(name));
}

Ref optimizer_setattr(PyObject* self, PyObject* name, PyObject* value) {
  if (own_name(name)) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "comm") == 0 && value != Py_None)
      comm_of(value);
    qb::check(PyObject_GenericSetAttr(self, name, value));
  } else {
    qb::setattr(wrapped(self).get(), name, value);
  }
  return {};
}

Ref optimizer_delattr(PyObject* self, PyObject* name) {
  qb::check(own_name(name) ? PyObject_GenericSetAttr(self, name, nullptr)
                           : PyObject_DelAttr(wrapped(self).get(), name));
  return {};
}

Ref optimizer_repr(PyObject* self) {
  Ref inner = own_attr(self, QB_ID(optimizer));
  if (!inner) return qb::str("DistributedOptimizer(<uninitialised>)");
  return qb::check(PyUnicode_FromFormat("DistributedOptimizer(%R)", inner.get()));
}

// ---------------------------------------------------------------- the excepthook

// sys.excepthook once the module is imported: the previous hook prints the
// traceback; then, in a job of several processes, the whole job is aborted.
Ref excepthook(PyObject*, PyObject* type, PyObject* value, PyObject* traceback) {
  PyObject* hook = g_previous_hook ? g_previous_hook : PySys_GetObject("__excepthook__");
  if (hook) {
    Ref shown = Ref::steal(PyObject_CallFunctionObjArgs(hook, type, value, traceback, nullptr));
    if (!shown) PyErr_Print();
  }
  for (const char* stream : {"stdout", "stderr"}) {
    PyObject* s = PySys_GetObject(stream);
    if (s && s != Py_None) {
      Ref r = Ref::steal(PyObject_CallMethod(s, "flush", nullptr));
      PyErr_Clear();
    }
  }
  Ref initialized = Ref::steal(PyObject_CallMethod(g_mpi.module, "Is_initialized", nullptr));
  Ref finalized = Ref::steal(PyObject_CallMethod(g_mpi.module, "Is_finalized", nullptr));
  if (!initialized || !finalized || initialized.get() != Py_True || finalized.get() != Py_False) {
    PyErr_Clear();
    return {};
  }
  Ref size_obj = Ref::steal(PyObject_CallMethod(g_mpi.world, "Get_size", nullptr));
  Ref rank_obj = Ref::steal(PyObject_CallMethod(g_mpi.world, "Get_rank", nullptr));
  const long long n = size_obj ? PyLong_AsLongLong(size_obj.get()) : -1;
  const long long r = rank_obj ? PyLong_AsLongLong(rank_obj.get()) : -1;
  PyErr_Clear();
  if (n <= 1) return {};
  PySys_FormatStderr("quillet.distributed: uncaught exception on rank %lld of %lld; aborting the job\n", r, n);
  PyObject* err = PySys_GetObject("stderr");
  if (err && err != Py_None) {
    Ref f = Ref::steal(PyObject_CallMethod(err, "flush", nullptr));
    PyErr_Clear();
  }
  Ref done = Ref::steal(PyObject_CallMethod(g_mpi.world, "Abort", "i", 1));
  PyErr_Clear();
  return {};
}

// ---------------------------------------------------------------- the module

const char* const RANK_DOC =
    "rank(comm=None) -> int\n\nThis process's rank in `comm` (mpi4py.MPI.COMM_WORLD by default), from 0.";
const char* const SIZE_DOC = "size(comm=None) -> int\n\nThe number of processes in `comm` (COMM_WORLD by default).";

const char* const MODULE_DOC =
    "Data-parallel training over MPI (through mpi4py).\n\n"
    "Run one process per core or host (mpiexec -n 4 python train.py); each holds\n"
    "the whole model, starts from rank 0's weights (broadcast_parameters), trains\n"
    "on its shard of every epoch (shard) and averages its gradients with the\n"
    "others before each step (DistributedOptimizer, or allreduce_gradients).\n"
    "Importing this module initialises MPI and makes an uncaught exception on any\n"
    "rank abort the whole job.  It needs mpi4py and an MPI library:\n"
    "pip install 'quillet[mpi]'.";

// import mpi4py.MPI, or an ImportError that says how to get it.
Ref import_mpi() {
  PyObject* m = PyImport_ImportModule("mpi4py.MPI");
  if (m) return Ref::steal(m);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw qb::Error{};
#if PY_VERSION_HEX >= 0x030C0000
  Ref cause = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref cause = Ref::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(tb);
#endif
  Ref msg = qb::check(PyUnicode_FromFormat(
      "quillet.distributed needs mpi4py and an MPI library, which could not be imported (%S); install them with  "
      "pip install 'quillet[mpi]'  (or pip install mpi4py mpich)",
      cause.get()));
  Ref kwargs = qb::check(Py_BuildValue("{s:s}", "name", "mpi4py"));
  Ref args = qb::tuple({msg.get()});
  Ref error = qb::check(PyObject_Call(PyExc_ImportError, args.get(), kwargs.get()));
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_ImportError, error.get());
  throw qb::Error{};
}

void install_excepthook(PyObject* module) {
  Ref hook = qb::getattr(module, QB_ID(_excepthook));
  PyObject* current = PySys_GetObject("excepthook");  // borrowed
  Py_XINCREF(current);
  g_previous_hook = current;
  qb::check(PySys_SetObject("excepthook", hook.get()));
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quillet.distributed", MODULE_DOC, -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_distributed() {
  return qb::init_module(&module_def, [](PyObject* m) {
    Ref mpi = import_mpi();
    g_mpi.world = qb::getattr(mpi.get(), QB_ID(COMM_WORLD)).release();
    g_mpi.in_place = qb::getattr(mpi.get(), QB_ID(IN_PLACE)).release();
    g_mpi.max = qb::getattr(mpi.get(), QB_ID(MAX)).release();
    g_mpi.module = mpi.release();
    qb::add_functions(m, {{"rank", "comm=None", RANK_DOC, rank},
                          {"size", "comm=None", SIZE_DOC, size},
                          {"broadcast_parameters", "model, root=0, comm=None, *, bucket_bytes=16777216", BROADCAST_DOC,
                           broadcast_parameters},
                          {"allreduce_gradients", "model, average=True, comm=None, *, bucket_bytes=16777216",
                           ALLREDUCE_DOC, allreduce_gradients},
                          {"shard", "n, *, seed=0, epoch=0, drop_last=False, comm=None", SHARD_DOC, shard},
                          {"_excepthook", "type, value, traceback", nullptr, excepthook}});
    qb::make_class(m, "DistributedOptimizer", OPTIMIZER_DOC,
                   {{"__init__", "optimizer, comm=None", nullptr, optimizer_init},
                    {"step", "", "Averages the model's gradients across the ranks, then steps the wrapped optimizer.",
                     optimizer_step},
                    {"__getattr__", "name", nullptr, optimizer_getattr},
                    {"__setattr__", "name, value", nullptr, optimizer_setattr},
                    {"__delattr__", "name", nullptr, optimizer_delattr},
                    {"__repr__", "", nullptr, optimizer_repr}});
    install_excepthook(m);
  });
}

// elemcount for plain values, counted with a hash table in one pass instead
// of a scan of the distinct elements met so far for every element and a
// `count` call per distinct element.
//
// Plain inputs: an exact list or tuple whose items are all of exact type int,
// bool, float, str, bytes or NoneType; an exact str; an exact bytes. For them
// the table's result is the general algorithm's, because:
// - `==` and hashing of these types run no Python code and change nothing,
//   so leaving out the general algorithm's comparisons and `count` calls
//   cannot be seen;
// - "identity, then `==`" is an equivalence on these values that hashing
//   respects: numbers compare exactly across int, bool and float (1 == 1.0 ==
//   True, 0 == -0.0 == False, 2**53 + 1 != 2.0**53) and equal numbers hash
//   equal; a NaN equals only itself, by identity; a str equals only a str,
//   bytes only bytes, None only None. The table's classes are therefore the
//   scan's classes, the first member met is the key the scan keeps, and the
//   size of a class is what the `count` method of the input returns for it.
//   Iterating a str gives the 1-character strings PyUnicode_FromOrdinal makes
//   and a bytes object gives small ints, which is what is inserted here;
// - the keys and counts are inserted into a new dict in the same order, so
//   the dict is the same.
// With bytes warnings on (-b), `==` between bytes and a str or an int (bool
// included) warns, and the general algorithm makes such comparisons whenever
// both occur; those inputs are left to it.
//
// The general algorithm makes guarded calls (the `count` call, and the
// comparisons inside it and in the membership test), which fail with
// RecursionError near the recursion limit; the table makes none of them, so
// it runs only where all of them would succeed, two levels from the limit.
// When memory runs out, the MemoryError is cleared and the general algorithm
// runs from the start, so the caller sees only its outcome.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <longintrepr.h>  // the digits of an int, after Python.h
#include <string.h>

#include "frame/call.h"
#include "pelmo/list/tally.h"

namespace pelmo {
namespace plain {

// Which kinds of plain values an input holds, as bits.
enum Kinds : unsigned { kNone = 1, kInt = 2, kFloat = 4, kStr = 8, kBytes = 16 };

inline bool is_int(PyTypeObject* t) { return t == &PyLong_Type || t == &PyBool_Type; }

// The hash of a plain value and its kind in `*kind`, which is 0 when `o` is
// not plain. -1 when the hash could not be computed: a str in the legacy
// representation that could not be converted for want of memory.
inline Py_hash_t hash_of(PyObject* o, unsigned* kind) {
  PyTypeObject* t = Py_TYPE(o);
  if (t == &PyUnicode_Type) {
    *kind = kStr;
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(o)->hash;
    return h != -1 ? h : t->tp_hash(o);
  }
  if (is_int(t)) {
    *kind = kInt;
    // One digit or none: the hash is the value (-1 is -2, as for every hash).
    // A zero may have no digit at all.
    Py_ssize_t size = Py_SIZE(o);
    if (size == 0) return 0;
    if (size == 1) return reinterpret_cast<PyLongObject*>(o)->ob_digit[0];
    if (size == -1) {
      Py_hash_t v = -static_cast<Py_hash_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
      return v == -1 ? -2 : v;
    }
    return t->tp_hash(o);
  }
  if (t == &PyFloat_Type) {
    *kind = kFloat;
    return t->tp_hash(o);
  }
  if (t == &PyBytes_Type) {
    *kind = kBytes;
    Py_hash_t h = reinterpret_cast<PyBytesObject*>(o)->ob_shash;
    return h != -1 ? h : t->tp_hash(o);
  }
  if (o == Py_None) {
    *kind = kNone;
    return t->tp_hash(o);
  }
  *kind = 0;
  return 0;
}

// The hash of a value hash_of() has hashed before, for keys the table packed
// without it (Tally::settle()): a str or bytes has it cached by now and a
// small int is its own hash, so it costs little and cannot fail. Out of line,
// so that the counting loop has hash_of() to itself.
__attribute__((noinline)) inline Py_hash_t hash_again(PyObject* o) {
  unsigned kind;
  return hash_of(o, &kind);
}

inline int ints_equal(PyObject* a, PyObject* b) {
  Py_ssize_t size = Py_SIZE(a);
  if (Py_SIZE(b) != size) return 0;
  const digit* da = reinterpret_cast<PyLongObject*>(a)->ob_digit;
  const digit* db = reinterpret_cast<PyLongObject*>(b)->ob_digit;
  if (size == 1 || size == -1) return da[0] == db[0];
  return memcmp(da, db, (size < 0 ? -size : size) * sizeof(digit)) == 0;
}

// a == b for plain values that are not the same object: 1 or 0, -1 when the
// comparison failed (an int against a float may need memory). Both have been
// hashed, so strings are ready: each in the narrowest kind that holds it, so
// that equal strings have equal kinds.
inline int equal(PyObject* a, PyObject* b) {
  PyTypeObject* ta = Py_TYPE(a);
  PyTypeObject* tb = Py_TYPE(b);
  if (is_int(ta) && is_int(tb)) return ints_equal(a, b);
  if (ta == &PyFloat_Type || tb == &PyFloat_Type) {
    if (ta == tb) return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    if (is_int(ta) || is_int(tb)) return PyObject_RichCompareBool(a, b, Py_EQ);
    return 0;
  }
  if (ta != tb) return 0;
  if (ta == &PyUnicode_Type) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), n * PyUnicode_KIND(a)) == 0;
  }
  if (ta == &PyBytes_Type) {
    Py_ssize_t n = PyBytes_GET_SIZE(a);
    return n == PyBytes_GET_SIZE(b) && memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), n) == 0;
  }
  return 0;  // None: only itself
}

enum Outcome { kCounted, kDeclined, kFailed };

// The items of an exact list or tuple. No Python code runs from here to the
// end of the insertions (hashing and comparing plain values run none, and
// nothing allocated here is tracked by the garbage collector), so the items
// stay put and alive while the table borrows them.
inline Outcome count_items(PyObject* const* items, Py_ssize_t n, PyObject* result) {
  if (n == 0) return kCounted;
  Tally<PyObject*> tally;
  if (!tally.start(n)) return kFailed;
  unsigned kinds = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    unsigned kind;
    Py_hash_t hash = hash_of(item, &kind);
    if (!kind) return kDeclined;
    if (hash == -1) return kFailed;
    kinds |= kind;
    if (!tally.add(item, hash, [item](PyObject* stored) { return equal(stored, item); })) return kFailed;
  }
  if (Py_BytesWarningFlag && (kinds & kBytes) && (kinds & (kStr | kInt))) return kDeclined;
  tally.settle();
  bool built = tally.each([result](PyObject* key, Py_ssize_t times, Py_hash_t hash) {
    if (hash == -1) hash = hash_again(key);
    Ref count = Ref::steal(PyLong_FromSsize_t(times));
    return count && _PyDict_SetItem_KnownHash(result, key, count.get(), hash) == 0;
  });
  return built ? kCounted : kFailed;
}

// `key(c)` makes the key of unit c: what iterating the input yields.
template <typename MakeKey>
bool insert(PyObject* result, Py_UCS4 unit, Py_ssize_t count, MakeKey&& key) {
  Ref k = Ref::steal(key(unit));
  Ref v = Ref::steal(k ? PyLong_FromSsize_t(count) : nullptr);
  return v && PyDict_SetItem(result, k.get(), v.get()) == 0;
}

// Units of one byte (bytes, and str of the 1-byte kind): a count per value.
template <typename MakeKey>
Outcome count_bytes(const Py_UCS1* data, Py_ssize_t n, PyObject* result, MakeKey&& key) {
  Py_ssize_t counts[256] = {};
  Py_UCS1 order[256];
  int distinct = 0;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (counts[data[i]]++ == 0) order[distinct++] = data[i];
  for (int i = 0; i < distinct; ++i)
    if (!insert(result, order[i], counts[order[i]], key)) return kFailed;
  return kCounted;
}

// Code points of a str of the 2- or 4-byte kind, through the table.
template <typename Unit>
Outcome count_wide(const Unit* data, Py_ssize_t n, PyObject* result) {
  Tally<Py_UCS4> tally;
  if (!tally.start(n)) return kFailed;
  for (Py_ssize_t i = 0; i < n; ++i)
    // A code point is its own hash: equal hashes are equal keys, found before.
    if (!tally.add(data[i], data[i], [](Py_UCS4) { return 0; })) return kFailed;
  tally.settle();
  bool built = tally.each([result](Py_UCS4 unit, Py_ssize_t times, Py_hash_t) {
    return insert(result, unit, times, PyUnicode_FromOrdinal);
  });
  return built ? kCounted : kFailed;
}

inline Outcome count_str(PyObject* s, PyObject* result) {
  if (PyUnicode_READY(s) < 0) return kFailed;
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      return count_bytes(PyUnicode_1BYTE_DATA(s), n, result, PyUnicode_FromOrdinal);
    case PyUnicode_2BYTE_KIND:
      return count_wide(PyUnicode_2BYTE_DATA(s), n, result);
    default:
      return count_wide(PyUnicode_4BYTE_DATA(s), n, result);
  }
}

// `ls`, an exact list, tuple, str or bytes, counted into `result`.
inline Outcome count_into(PyObject* ls, PyObject* result) {
  PyTypeObject* t = Py_TYPE(ls);
  if (t == &PyList_Type)
    return count_items(reinterpret_cast<PyListObject*>(ls)->ob_item, PyList_GET_SIZE(ls), result);
  if (t == &PyTuple_Type) return count_items(&PyTuple_GET_ITEM(ls, 0), PyTuple_GET_SIZE(ls), result);
  if (t == &PyUnicode_Type) return count_str(ls, result);
  return count_bytes(reinterpret_cast<const Py_UCS1*>(PyBytes_AS_STRING(ls)), PyBytes_GET_SIZE(ls), result,
                     [](Py_UCS4 c) { return PyLong_FromLong(c); });
}

}  // namespace plain

// The dict elemcount returns for a plain `ls`; null, with no exception set,
// when the general algorithm has to make it. Null with an exception set when
// comparing an int with a float raised something other than MemoryError,
// which it does not (it is the one step here that could).
inline PyObject* count_plain(PyObject* ls) {
  using namespace plain;
  PyTypeObject* t = Py_TYPE(ls);
  if (t != &PyList_Type && t != &PyTuple_Type && t != &PyUnicode_Type && t != &PyBytes_Type) return nullptr;
  // The count call and the comparisons it makes.
  if (!within_recursion_limit(PyThreadState_GET(), 2)) return nullptr;
  // Made first: making a dict may run the garbage collector, and with it
  // finalizers that could change a list; nothing after this point can.
  Ref result = Ref::steal(PyDict_New());
  Outcome outcome = result ? count_into(ls, result.get()) : kFailed;
  if (outcome == kCounted) return result.release();
  if (outcome == kFailed && PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
  return nullptr;
}

}  // namespace pelmo

// The builtin types as converters: each function computes what its type's
// tp_new computes for the tuple (x,) and no keywords, in the same order, with
// the interpreter's own routines; int and float read the simplest decimal
// strings themselves, and str writes small ints, where that is provably the
// same.
#include "frame/convert.h"

#include <float.h>
#include <stdint.h>
#include <string.h>

#include "frame/call.h"

namespace pelmo {

namespace {

// The characters of an exact str when it is stored compactly as ASCII
// (one byte a character, right after the header), else null. Anything else
// (a subclass, other characters, a string not yet ready) goes to the
// interpreter's routine.
const char* ascii_chars(PyObject* x, Py_ssize_t& n) {
  if (!PyUnicode_CheckExact(x) || !PyUnicode_IS_COMPACT_ASCII(x)) return nullptr;
  n = PyUnicode_GET_LENGTH(x);
  return ascii_data(x);
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// --- int ---------------------------------------------------------------------------

// Digits that always fit a long long: 10**18 - 1 < 2**63 - 1.
constexpr int kMaxIntDigits = 18;

// For an exact str, int(x) is PyLong_FromUnicodeObject(x, 10): the type has
// no __int__ and no __trunc__, so PyNumber_Long comes straight to it. For
// ASCII that routine hands the characters to PyLong_FromString in base 10,
// which skips whitespace, takes one sign, reads digits with single
// underscores between them, leading zeros included, skips whitespace again
// and fails on anything left. A string of one optional sign and 1 to
// kMaxIntDigits digits and nothing else is read there as exactly the number
// it writes, with the sign applied (-0 being 0), and that number is made
// with PyLong_FromLongLong, which hands out the same shared objects for
// small values. Everything else (whitespace, underscores, more digits, no
// digit, other characters) is left to the interpreter, which also gives
// every error.
bool parse_decimal_int(const char* s, Py_ssize_t n, long long& value) {
  const char* end = s + n;
  bool negative = false;
  if (s != end && (*s == '+' || *s == '-')) {
    negative = *s == '-';
    ++s;
  }
  if (end - s < 1 || end - s > kMaxIntDigits) return false;
  long long v = 0;
  for (; s != end; ++s) {
    if (!is_digit(*s)) return false;
    v = v * 10 + (*s - '0');
  }
  value = negative ? -v : v;
  return true;
}

// --- float -------------------------------------------------------------------------

// The decimal mantissas and powers of ten that a double holds exactly:
// 2**53, and 10**22 = 2**22 * 5**22 with 5**22 < 2**53.
constexpr uint64_t kMaxExactMantissa = uint64_t{1} << 53;
constexpr int kMaxExactPower = 22;
constexpr double kPowersOfTen[kMaxExactPower + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// Digits of a mantissa read at most (10**19 - 1 < 2**64: their value never
// wraps), and the longest string read, which bounds the exponent arithmetic
// below.
constexpr Py_ssize_t kMaxMantissaDigits = 19;
constexpr Py_ssize_t kMaxFloatChars = 64;
constexpr int kExponentCap = 10000;

static_assert(FLT_RADIX == 2 && DBL_MANT_DIG == 53 && DBL_MAX_EXP == 1024,
              "the exact reading of decimal strings needs IEEE binary64 doubles");
static_assert(FLT_EVAL_METHOD == 0, "the exact reading of decimal strings needs double operations in double");

// The decimal digits from s on, added to `number` (which wraps if there are
// too many: the caller counts them); where they end.
const char* add_digits(const char* s, const char* end, uint64_t& number) {
  for (; s != end && is_digit(*s); ++s) number = number * 10 + static_cast<unsigned>(*s - '0');
  return s;
}

// For an exact str, float(x) is PyFloat_FromString(x): for ASCII without an
// underscore, the characters with whitespace stripped from both ends are
// read by the interpreter's strtod, which returns the double nearest to the
// decimal value written (ties to even: it is correctly rounded), and the
// whole of them must be read. A string of the form
// [sign] digits [. digits] [(e|E) [sign] digits] (a point with digits on
// either side or both, at least one digit before the exponent) and nothing
// else is such a value: +-m * 10**k, with m the digits without the point
// (read when there are at most 19 of them, so that m is below 2**64).
// When m <= 2**53 and |k| <= 22, both m and 10**|k| are doubles exactly, so
// one IEEE multiplication (k >= 0) or division (k < 0), correctly rounded in
// the default rounding mode, gives the double nearest to m * 10**k: the same
// double. The sign is applied by negation, which is exact, and gives -0.0
// for a negative zero as strtod does. The value cannot overflow or
// underflow (2**53 * 10**22 is far below the largest double, 10**-22 far
// above the smallest normal one). Everything else (more digits, larger
// powers, "inf", "nan", whitespace, underscores, other characters) is left
// to the interpreter, which also gives every error. The interpreter's
// strtod assumes the default rounding mode too, and takes this very shortcut
// itself for up to 15 digits.
bool parse_decimal_float(const char* s, Py_ssize_t n, double& value) {
  if (n > kMaxFloatChars) return false;
  const char* end = s + n;
  bool negative = false;
  if (s != end && (*s == '+' || *s == '-')) {
    negative = *s == '-';
    ++s;
  }
  uint64_t mantissa = 0;
  const char* first = s;
  s = add_digits(s, end, mantissa);
  Py_ssize_t digits = s - first;
  int power = 0;  // of ten, by which the mantissa is scaled
  if (s != end && *s == '.') {
    const char* fraction = ++s;
    s = add_digits(s, end, mantissa);
    digits += s - fraction;
    power = -static_cast<int>(s - fraction);
  }
  if (digits == 0 || digits > kMaxMantissaDigits) return false;
  if (s != end && (*s == 'e' || *s == 'E')) {
    ++s;
    bool negative_exponent = false;
    if (s != end && (*s == '+' || *s == '-')) {
      negative_exponent = *s == '-';
      ++s;
    }
    if (s == end) return false;
    int exponent = 0;
    for (; s != end && is_digit(*s); ++s) {
      if (exponent < kExponentCap) exponent = exponent * 10 + (*s - '0');
    }
    power += negative_exponent ? -exponent : exponent;
  }
  if (s != end || mantissa > kMaxExactMantissa || power < -kMaxExactPower || power > kMaxExactPower) return false;
  double v = static_cast<double>(mantissa);
  v = power < 0 ? v / kPowersOfTen[-power] : v * kPowersOfTen[power];
  value = negative ? -v : v;
  return true;
}

// --- str ---------------------------------------------------------------------------

// Ints of up to this many digits of the int's own base (2**60 > |x|) are
// written here; a long long holds them.
constexpr Py_ssize_t kMaxSmallIntDigits = 2;
constexpr int kMaxSmallIntDecimals = 19;  // those of 2**60 - 1

// 10**k for k = 0 .. kMaxSmallIntDecimals - 1.
struct PowersOfTen {
  unsigned long long at[kMaxSmallIntDecimals];
  constexpr PowersOfTen() : at() {
    unsigned long long p = 1;
    for (int k = 0; k < kMaxSmallIntDecimals; ++k, p *= 10) at[k] = p;
  }
};
constexpr PowersOfTen kDecimalPowers;

// "00" "01" ... "99": two decimal digits a step.
struct DigitPairs {
  char at[200];
  constexpr DigitPairs() : at() {
    for (int i = 0; i < 100; ++i) {
      at[2 * i] = static_cast<char>('0' + i / 10);
      at[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

// For an exact int, PyObject_Str(x) checks for signals, enters the recursion
// guard (" while getting the str of an object") and calls the type's tp_str,
// long_to_decimal_string: that converts the int's digits into a scratch
// number of decimal digits, checking for signals once per digit of the int,
// then makes a new compact ASCII str of the sign and the decimal digits.
// The same, written from a long long, without the scratch number (which
// nothing outside sees).
PyObject* small_int_str(PyObject* x) {
  if (PyErr_CheckSignals()) return nullptr;
  PyThreadState* ts = _PyThreadState_UncheckedGet();
  if (enter_call(ts, " while getting the str of an object")) return nullptr;
  PyLongObject* number = reinterpret_cast<PyLongObject*>(x);
  unsigned long long magnitude = 0;
  for (Py_ssize_t i = Py_ABS(Py_SIZE(x)); --i >= 0;) {
    magnitude = magnitude << PyLong_SHIFT | number->ob_digit[i];
    if (PyErr_CheckSignals()) {
      leave_call(ts);
      return nullptr;
    }
  }
  int decimals = 1;
  while (decimals < kMaxSmallIntDecimals && magnitude >= kDecimalPowers.at[decimals]) ++decimals;
  bool negative = Py_SIZE(x) < 0;
  PyObject* result = PyUnicode_New(negative + decimals, '9');
  if (result) {
    Py_UCS1* start = PyUnicode_1BYTE_DATA(result);
    if (negative) *start++ = '-';
    Py_UCS1* end = start + decimals;
    for (; magnitude >= 100; magnitude /= 100) {
      end -= 2;
      memcpy(end, &kDigitPairs.at[2 * (magnitude % 100)], 2);
    }
    if (magnitude >= 10) {
      end -= 2;
      memcpy(end, &kDigitPairs.at[2 * magnitude], 2);
    } else {
      *--end = static_cast<Py_UCS1>('0' + magnitude);
    }
  }
  leave_call(ts);
  return result;
}

// --- complex -----------------------------------------------------------------------

_Py_IDENTIFIER(__complex__);

}  // namespace

bool read_int(const char* s, Py_ssize_t n, PyObject*& value) {
  long long number;
  if (!parse_decimal_int(s, n, number)) return false;
  value = PyLong_FromLongLong(number);
  return true;
}

bool read_float(const char* s, Py_ssize_t n, PyObject*& value) {
  double number;
  if (!parse_decimal_float(s, n, number)) return false;
  value = PyFloat_FromDouble(number);
  return true;
}

PyObject* convert_int(PyObject* x) {
  Py_ssize_t n;
  PyObject* value;
  if (const char* s = ascii_chars(x, n)) {
    if (read_int(s, n, value)) return value;
  }
  return PyNumber_Long(x);
}

PyObject* convert_float(PyObject* x) {
  if (!PyUnicode_CheckExact(x)) return PyNumber_Float(x);
  Py_ssize_t n;
  PyObject* value;
  if (const char* s = ascii_chars(x, n)) {
    if (read_float(s, n, value)) return value;
  }
  return PyFloat_FromString(x);
}

PyObject* convert_str(PyObject* x) {
  if (PyLong_CheckExact(x) && Py_ABS(Py_SIZE(x)) <= kMaxSmallIntDigits) return small_int_str(x);
  return PyObject_Str(x);
}

PyObject* convert_bool(PyObject* x) {
  int truth = PyObject_IsTrue(x);
  if (truth < 0) return nullptr;
  return PyBool_FromLong(truth);
}

// complex_new with a real part only, step for step.
PyObject* convert_complex(PyObject* x) {
  if (PyComplex_CheckExact(x)) {
    Py_INCREF(x);
    return x;
  }
  if (PyUnicode_Check(x)) {
    // Strings are read by the type's own constructor (its reading is not
    // the interpreter's to share), given the tuple the call would give it.
    Ref args = Ref::steal(PyTuple_Pack(1, x));
    if (!args) return nullptr;
    return PyComplex_Type.tp_new(&PyComplex_Type, args.get(), nullptr);
  }
  // x.__complex__(), looked up on the type, must give a complex; a strict
  // subclass of complex is taken with a warning.
  Ref special;
  if (PyObject* method = _PyObject_LookupSpecial(x, &PyId___complex__)) {
    special = Ref::steal(_PyObject_CallNoArg(method));
    Py_DECREF(method);
    if (!special) return nullptr;
    if (!PyComplex_CheckExact(special.get())) {
      const char* type_name = Py_TYPE(special.get())->tp_name;
      if (!PyComplex_Check(special.get())) {
        PyErr_Format(PyExc_TypeError, "__complex__ returned non-complex (type %.200s)", type_name);
        return nullptr;
      }
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__complex__ returned non-complex (type %.200s).  The ability to return an instance of "
                           "a strict subclass of complex is deprecated, and may be removed in a future version "
                           "of Python.",
                           type_name))
        return nullptr;
    }
  } else if (PyErr_Occurred()) {
    return nullptr;
  }
  PyObject* real = special ? special.get() : x;
  PyNumberMethods* number = Py_TYPE(real)->tp_as_number;
  if (!number || !number->nb_float) {
    PyErr_Format(PyExc_TypeError, "complex() first argument must be a string or a number, not '%.200s'",
                 Py_TYPE(real)->tp_name);
    return nullptr;
  }
  if (PyComplex_Check(real)) {
    // A complex subclass keeps only its value; the result is a complex.
    Py_complex value = reinterpret_cast<PyComplexObject*>(real)->cval;
    special.reset();
    return PyComplex_FromDoubles(value.real, value.imag);
  }
  // Entirely real: its float is the real part.
  Ref as_float = Ref::steal(PyNumber_Float(real));
  if (!as_float) return nullptr;
  return PyComplex_FromDoubles(PyFloat_AS_DOUBLE(as_float.get()), 0.0);
}

}  // namespace pelmo

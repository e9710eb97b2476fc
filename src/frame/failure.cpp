// The C lines of the frame's failure points, from the place of a function in
// its module.
#include "frame/failure.h"

namespace pelmo {

namespace {

// The function's place among the module's functions: each published one,
// then the functions that are its default values, in parameter order.
int place_of(const Signature& sig) {
  const FunctionList& functions = *kModule.functions;
  int place = 0;
  for (int i = 0; i < functions.count; ++i) {
    const Signature& f = *functions.items[i]->sig;
    if (&f == &sig) return place;
    ++place;
    for (int k = f.min; k < f.nparams; ++k) {
      if (f.defaults[k].kind != Default::kObject) continue;
      if (f.defaults[k].object->sig == &sig) return place;
      ++place;
    }
  }
  return place;  // not listed: after all that are
}

}  // namespace

int c_line(const Signature& sig, FunctionPoint point, int k) {
  return kFrameCLines + kCLinesPerFunction * (1 + place_of(sig)) + static_cast<int>(point) + k;
}

}  // namespace pelmo

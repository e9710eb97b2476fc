// A counting hash table: each distinct key once, in order of first
// insertion, with how often it was added.
//
// Entries (key, hash, count) are kept densely in insertion order; an
// open-addressing slot array (linear probing on a multiplicatively mixed
// hash, at most half full) holds entry numbers plus one, zero marking a free
// slot. Both arrays come from PyMem and belong to the table.
//
// The caller builds its result from the entries once the counting is done,
// and the result grows while they are alive. So settle() first frees the
// slots and, when the entries take much room, packs them in place into keys
// with their counts, without the hashes (which the caller computes again),
// and gives back the room left over: beside the result there stay two words
// a key instead of the whole table.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

namespace pelmo {

// One PyMem block of T, freed with its owner.
template <typename T>
class MemArray {
 public:
  MemArray() = default;
  MemArray(const MemArray&) = delete;
  MemArray& operator=(const MemArray&) = delete;
  ~MemArray() { PyMem_Free(p_); }

  // A new block of n zeroed elements in place of the old one.
  bool zeroed(size_t n) {
    T* p = static_cast<T*>(PyMem_Calloc(n, sizeof(T)));
    if (!p) return false;
    PyMem_Free(p_);
    p_ = p;
    return true;
  }
  // Room for n elements, keeping the first ones.
  bool resize(size_t n) {
    if (n > PY_SSIZE_T_MAX / sizeof(T)) return false;
    T* p = static_cast<T*>(PyMem_Realloc(p_, n * sizeof(T)));
    if (!p) return false;
    p_ = p;
    return true;
  }
  // Keeps the first `bytes` bytes; when that fails the block stays as it is.
  void trim(size_t bytes) {
    if (T* p = static_cast<T*>(PyMem_Realloc(p_, bytes))) p_ = p;
  }
  void free() {
    PyMem_Free(p_);
    p_ = nullptr;
  }
  T& operator[](size_t i) const { return p_[i]; }
  unsigned char* bytes() const { return reinterpret_cast<unsigned char*>(p_); }

 private:
  T* p_ = nullptr;
};

template <typename Key>
class Tally {
 public:
  struct Entry {
    Key key;
    Py_hash_t hash;
    Py_ssize_t count;
  };
  // Room for `expected` keys without growing, within reason: a table grows
  // as keys come, so a long input of few keys does not start out huge.
  bool start(Py_ssize_t expected) {
    int bits = 3;
    while (bits < 12 && (Py_ssize_t{1} << (bits - 1)) < expected) ++bits;
    return resize(bits);
  }

  // Counts `key` once more. Stored keys are matched by identity, then, when
  // the hashes agree, by `equal(stored)`: 1 equal, 0 not, -1 failure. A key
  // that matches none becomes a new entry. False on failure (an exception is
  // set); the table is still sound then.
  template <typename Equal>
  bool add(Key key, Py_hash_t hash, Equal&& equal) {
    size_t i = spot(hash);
    for (uint32_t s; (s = slots_[i]) != 0; i = (i + 1) & mask_) {
      Entry& e = entries_[s - 1];
      if (e.key == key) {
        ++e.count;
        return true;
      }
      if (e.hash == hash) {
        int same = equal(e.key);
        if (same < 0) return false;
        if (same) {
          ++e.count;
          return true;
        }
      }
    }
    if (size_ == capacity_) {
      if (bits_ == kMaxBits || !resize(bits_ + 1)) return no_memory();
      i = free_spot(hash);
    }
    entries_[size_] = Entry{key, hash, 1};
    slots_[i] = static_cast<uint32_t>(++size_);
    return true;
  }

  // Ends the counting: no add() after it. Entry n is packed to byte
  // n * sizeof(Packed), below its own place and ending before that of entry
  // n + 1, so that each is read before anything is written over it.
  void settle() {
    slots_.free();
    size_t room = static_cast<size_t>(capacity_) * sizeof(Entry);
    if (room < kPackFrom) return;
    for (Py_ssize_t n = 0; n < size_; ++n) {
      Packed p{entries_[n].key, entries_[n].count};
      memcpy(entries_.bytes() + n * sizeof(Packed), &p, sizeof p);
    }
    packed_ = true;
    entries_.trim(static_cast<size_t>(size_) * sizeof(Packed));
  }

  // Calls visit(key, count, hash) for each key in order of first insertion,
  // after settle(), until it returns false; `hash` is -1 when settle() has
  // packed the entries without it. False when a visit did.
  template <typename Visit>
  bool each(Visit&& visit) const {
    if (!packed_) {
      for (Py_ssize_t n = 0; n < size_; ++n)
        if (!visit(entries_[n].key, entries_[n].count, entries_[n].hash)) return false;
      return true;
    }
    for (Py_ssize_t n = 0; n < size_; ++n) {
      Packed p;
      memcpy(&p, entries_.bytes() + n * sizeof(Packed), sizeof p);
      if (!visit(p.key, p.count, Py_hash_t{-1})) return false;
    }
    return true;
  }

 private:
  // Entry numbers plus one fit the 32-bit slots: at most 2**31 entries.
  static constexpr int kMaxBits = sizeof(size_t) >= 8 ? 32 : 30;
  // Entries that take less room are read as they are: packing them and
  // hashing their keys again would cost more time than their memory is worth.
  static constexpr size_t kPackFrom = 64 * 1024;

  struct Packed {
    Key key;
    Py_ssize_t count;
  };

  size_t spot(Py_hash_t hash) const {
    // Fibonacci hashing: the top bits of the product depend on every bit of
    // the hash, so hashes that differ only in high bits (floats) spread too.
    return static_cast<size_t>((static_cast<uint64_t>(hash) * 0x9E3779B97F4A7C15u) >> (64 - bits_));
  }
  size_t free_spot(Py_hash_t hash) const {
    size_t i = spot(hash);
    while (slots_[i]) i = (i + 1) & mask_;
    return i;
  }
  // 2**bits slots, half of them usable; the entries are placed again.
  bool resize(int bits) {
    size_t nslots = size_t{1} << bits;
    if (!entries_.resize(nslots / 2) || !slots_.zeroed(nslots)) return no_memory();
    bits_ = bits;
    mask_ = nslots - 1;
    capacity_ = static_cast<Py_ssize_t>(nslots / 2);
    for (Py_ssize_t n = 0; n < size_; ++n) slots_[free_spot(entries_[n].hash)] = static_cast<uint32_t>(n + 1);
    return true;
  }
  static bool no_memory() {
    PyErr_NoMemory();
    return false;
  }

  MemArray<Entry> entries_;
  MemArray<uint32_t> slots_;
  int bits_ = 0;
  size_t mask_ = 0;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = 0;
  bool packed_ = false;
};

}  // namespace pelmo

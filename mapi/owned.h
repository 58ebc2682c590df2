// Owners for what the message service hands out, so that nothing the program
// gets from it is released by hand on each way out of a function:
// - Owned<T>: an interface pointer (IUnknown-style); releases it once.
// - OwnedBuffer<T>: a block from the service (property values and the like);
//   frees it once with MAPIFreeBuffer.
// - OwnedRows: a row set; frees it and its rows once with FreeProws.
//
// Each is move-only. put() hands out the address of the pointer for an
// out-parameter, after giving up what the owner held before, so one owner can
// serve a loop of calls. release() gives the pointer up without freeing it.
// The interface itself (mapi/mapi.h) stays as MAPI has it: these owners are
// the program's side only.
#ifndef TARNVEX_MAPI_OWNED_H_
#define TARNVEX_MAPI_OWNED_H_

#include <cstddef>
#include <utility>

#include "mapi/mapi.h"

// A pointer freed once by `Free`: the common part of the buffer and row-set
// owners (tests count the frees with a free of their own).
template <typename T, void (*Free)(T*)>
class OwnedBlock {
 public:
  OwnedBlock() = default;
  explicit OwnedBlock(T* adopted) : pointer_(adopted) {}
  OwnedBlock(OwnedBlock&& other) noexcept : pointer_(other.release()) {}
  OwnedBlock& operator=(OwnedBlock&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedBlock(const OwnedBlock&) = delete;
  OwnedBlock& operator=(const OwnedBlock&) = delete;
  ~OwnedBlock() { reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  T& operator[](size_t i) const { return pointer_[i]; }
  explicit operator bool() const { return pointer_ != nullptr; }

  T** put() {
    reset();
    return &pointer_;
  }
  T* release() {
    T* pointer = pointer_;
    pointer_ = nullptr;
    return pointer;
  }
  void reset(T* adopted = nullptr) {
    T* old = pointer_;
    pointer_ = adopted;
    if (old != nullptr) Free(old);
  }

 private:
  T* pointer_ = nullptr;
};

namespace owned_detail {
template <typename T>
void ReleaseInterface(T* object) {
  object->Release();
}
}  // namespace owned_detail

// An owned reference to an interface: released once, when the owner ends or
// is reset, never copied. Adopting takes over a reference the caller already
// holds (no AddRef).
template <typename T>
class Owned : public OwnedBlock<T, &owned_detail::ReleaseInterface<T>> {
 public:
  using OwnedBlock<T, &owned_detail::ReleaseInterface<T>>::OwnedBlock;
  // The same reference as another interface of the object, for what the
  // service says the object is (OpenEntry's object type): no QueryInterface.
  template <typename U>
  Owned<U> As() && {
    return Owned<U>(static_cast<U*>(this->release()));
  }
};

namespace owned_detail {
template <typename T>
void FreeBuffer(T* buffer) {
  MAPIFreeBuffer(buffer);
}
inline void FreeRows(SRowSet* rows) { FreeProws(rows); }
}  // namespace owned_detail

// A block of the service's memory (GetProps' values, most often).
template <typename T = SPropValue>
using OwnedBuffer = OwnedBlock<T, &owned_detail::FreeBuffer<T>>;
using OwnedProps = OwnedBuffer<SPropValue>;

// A row set of QueryRows: the set and every row's values.
using OwnedRows = OwnedBlock<SRowSet, &owned_detail::FreeRows>;

#endif  // TARNVEX_MAPI_OWNED_H_

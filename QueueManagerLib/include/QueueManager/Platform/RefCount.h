#pragma once

// Intrusive reference counting: counted base classes and the pointers that
// hold them.
//
//   class CMonitorImpl : public w4core::RefCounted<w4core::AtomicRefCount> { ... };
//   w4core::InterfacePtr<CMonitorImpl> impl = w4core::MakeInterface<CMonitorImpl>(args);
//
// A counted object starts with a count of 0. The first pointer that takes it
// raises the count to 1; the object deletes itself when the last pointer lets
// go. So an object must be allocated with `new` and handed to a pointer (or
// given an explicit AddRef) before it is shared; code that holds only a raw
// pointer to it must not outlive the pointers. A constructor must not hand
// `this` to a pointer that it then drops: the release would delete the object
// under construction.
//
// A class that implements several counted interfaces derives from the counted
// base virtually (`public virtual RefCounted<AtomicRefCount>`) in each of them.

#include <atomic>
#include <compare>
#include <concepts>
#include <cstddef>
#include <functional>
#include <utility>

#include "QueueManager/Export.h"

namespace w4core {

/// A reference count changed with atomic operations. Thread-safe. Copying
/// gives a fresh count of 0: a copy of an object is a new object.
class AtomicRefCount {
 public:
  /// Starts at zero; a copy starts at zero too, since the count belongs to the object, not its
  /// value.
  ///@{
  AtomicRefCount() noexcept = default;
  AtomicRefCount(const AtomicRefCount&) noexcept {}
  AtomicRefCount& operator=(const AtomicRefCount&) noexcept { return *this; }
  ///@}

  /// Taking a reference needs no ordering: the caller already holds one, or
  /// owns the object outright.
  void Increment() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
  /// Returns true when the count reached 0 and the object is to be deleted.
  /// Release orders this thread's use of the object before the decrement;
  /// acquire makes the deleting thread see every other thread's use. (acq_rel
  /// on the operation rather than a separate acquire fence, which
  /// ThreadSanitizer does not model.)
  bool Decrement() noexcept { return count_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  /// The count, for tests and traces.
  ///@{
  long Value() const noexcept { return count_.load(std::memory_order_relaxed); }
  ///@}

 private:
  std::atomic<long> count_{0};
};

/// Base of objects whose lifetime `CountPolicy` counts (AtomicRefCount: shared
/// between threads). AddRef and Release are thread-safe when the policy is;
/// the object deletes itself on the last Release.
template <class CountPolicy>
class RefCounted {
 public:
  /// Takes a reference; Release gives it back.
  ///@{
  void AddRef() const noexcept { count_.Increment(); }
  ///@}
  /// REQUIRES: the caller holds a reference taken with AddRef.
  void Release() const noexcept {
    if (count_.Decrement()) delete this;
  }
  /// The current count; for tests and diagnostics only (it may change at once).
  long UseCount() const noexcept { return count_.Value(); }

 protected:
  /// Starts with a count of zero.
  RefCounted() noexcept = default;
  /// A copy starts with a count of its own (see AtomicRefCount).
  RefCounted(const RefCounted&) noexcept = default;
  /// Keeps this object's count (see AtomicRefCount).
  RefCounted& operator=(const RefCounted&) noexcept = default;
  virtual ~RefCounted() = default;

 private:
  mutable CountPolicy count_;
};

/// A counted pointer to a T that has `AddRef() const` and `Release() const`
/// (such as a RefCounted). Holds one reference while not null. One pointer
/// object is not thread-safe; different pointers to the same object may be
/// used on different threads.
template <class T>
class InterfacePtr {
 public:
  /// The type pointed to.
  ///@{
  using element_type = T;
  ///@}

  /// Null; or a new reference to the object of another pointer (copied), or its reference taken
  /// over (moved).
  ///@{
  constexpr InterfacePtr() noexcept = default;
  constexpr InterfacePtr(std::nullptr_t) noexcept {}
  /// Takes a new reference to `object` (which may be null).
  explicit InterfacePtr(T* object) noexcept : object_(object) { AddRefIfSet(); }

  InterfacePtr(const InterfacePtr& other) noexcept : object_(other.object_) { AddRefIfSet(); }
  InterfacePtr(InterfacePtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  requires std::convertible_to<U*, T*> InterfacePtr(const InterfacePtr<U>& other)
  noexcept : object_(other.get()) { AddRefIfSet(); }
  template <class U>
  requires std::convertible_to<U*, T*> InterfacePtr(InterfacePtr<U>&& other)
  noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ///@}

  ~InterfacePtr() { ReleaseIfSet(); }

  /// Copy-and-swap: safe for self-assignment and for an assignment that drops
  /// the last reference to the object that holds `this`.
  InterfacePtr& operator=(InterfacePtr other) noexcept {
    swap(other);
    return *this;
  }

  /// The object, or null.
  ///@{
  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  ///@}

  /// Drops the held reference and takes one to `object`.
  void reset(T* object = nullptr) noexcept { InterfacePtr(object).swap(*this); }
  /// Exchanges the objects held.
  ///@{
  void swap(InterfacePtr& other) noexcept { std::swap(object_, other.object_); }
  friend void swap(InterfacePtr& a, InterfacePtr& b) noexcept { a.swap(b); }
  ///@}

 private:
  template <class U>
  friend class InterfacePtr;

  void AddRefIfSet() const noexcept {
    if (object_ != nullptr) object_->AddRef();
  }
  void ReleaseIfSet() const noexcept {
    if (object_ != nullptr) object_->Release();
  }

  T* object_ = nullptr;
};

template <class T, class U>
bool operator==(const InterfacePtr<T>& a, const InterfacePtr<U>& b) noexcept {
  return a.get() == b.get();
}
template <class T, class U>
std::strong_ordering operator<=>(const InterfacePtr<T>& a, const InterfacePtr<U>& b) noexcept {
  return std::compare_three_way()(a.get(), b.get());
}
template <class T>
bool operator==(const InterfacePtr<T>& a, std::nullptr_t) noexcept {
  return a.get() == nullptr;
}

/// Allocates a T and returns the first pointer to it.
template <class T, class... Args>
InterfacePtr<T> MakeInterface(Args&&... args) {
  return InterfacePtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace w4core

namespace W4Util {

/// Base of reference-counted objects with an atomic count (see the file
/// comment for the counting rules). AddRef and Release are thread-safe; the
/// object deletes itself on the last Release.
class QM_EXPORT RefCountBase : public w4core::RefCounted<w4core::AtomicRefCount> {
 protected:
  /// Copies start with a count of their own.
  ///@{
  RefCountBase() noexcept = default;
  RefCountBase(const RefCountBase&) noexcept = default;
  RefCountBase& operator=(const RefCountBase&) noexcept = default;
  ///@}
  ~RefCountBase() override;
};

/// The counted pointer of W4Util objects; the same operations as
/// w4core::InterfacePtr, which it is. One pointer object is not thread-safe;
/// different pointers to the same object may be used on different threads.
template <class T>
class ObjectPtr : public w4core::InterfacePtr<T> {
 public:
  using w4core::InterfacePtr<T>::InterfacePtr;
};

/// Allocates a T and returns the first pointer to it.
template <class T, class... Args>
ObjectPtr<T> MakeObject(Args&&... args) {
  return ObjectPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace W4Util

template <class T>
struct std::hash<w4core::InterfacePtr<T>> {
  std::size_t operator()(const w4core::InterfacePtr<T>& pointer) const noexcept {
    return std::hash<T*>()(pointer.get());
  }
};

template <class T>
struct std::hash<W4Util::ObjectPtr<T>> : std::hash<w4core::InterfacePtr<T>> {};

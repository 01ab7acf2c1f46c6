#pragma once
// Intrusive reference counting for the long-lived objects shared between the
// window thread and the UPnP stack's threads.

#include <atomic>
#include <cstdint>
#include <utility>

namespace tovaly {

class IRefCount {
 public:
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual ~IRefCount() = default;
};

// The count starts at 0: the creator takes the first reference itself,
// normally by handing the new object to a RefPtr.
class RefCountImpl : public IRefCount {
 public:
  int32_t AddRef() override { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t Release() override {
    const int32_t n = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }

 protected:
  RefCountImpl() = default;
  RefCountImpl(const RefCountImpl&) = delete;
  RefCountImpl& operator=(const RefCountImpl&) = delete;

 private:
  std::atomic<int32_t> count_{0};
};

// Reference-holding pointer: a new target is AddRef'ed before the old one is
// released, so assigning a pointer to itself is safe.
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  RefPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  RefPtr(const RefPtr& o) : RefPtr(o.p_) {}
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& o) : RefPtr(o.get()) {}
  ~RefPtr() {
    if (p_) p_->Release();
  }
  RefPtr& operator=(const RefPtr& o) {
    reset(o.p_);
    return *this;
  }
  RefPtr& operator=(RefPtr&& o) noexcept {
    if (this != &o) {
      T* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      if (old) old->Release();
    }
    return *this;
  }
  void reset(T* p = nullptr) {
    if (p) p->AddRef();
    T* old = std::exchange(p_, p);
    if (old) old->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace tovaly

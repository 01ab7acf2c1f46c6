#pragma once
// Process-wide instance created on first use and destroyed at exit. The
// language guarantees that concurrent first callers see one construction.

namespace tovaly {

template <class T>
class Singleton {
 public:
  static T& Instance() {
    static T instance;
    return instance;
  }

 protected:
  Singleton() = default;
  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;
};

// Taken by the QR-code dialog before it touches the encoder's shared settings.
class AppContext : public Singleton<AppContext> {};

}  // namespace tovaly

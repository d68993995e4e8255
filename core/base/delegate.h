#pragma once
// hx::Delegate: an object and one of its member functions, called later with the given arguments.
// hx::Delegate0 ... hx::Delegate8 name the argument types first and the result type last
// (void by default): hx::Delegate2<int, const char*> calls void (T::*)(int, const char*).
// A delegate never owns its object.

#include <cstring>
#include <utility>

namespace hx {

template <typename Signature>
class Delegate;

template <typename R, typename... Args>
class Delegate<R(Args...)> {
 public:
  Delegate() = default;

  template <typename T>
  Delegate(T* object, R (T::*method)(Args...)) : object_(object), call_(&CallMember<T>) {
    static_assert(sizeof(method) <= sizeof(method_), "member function pointer does not fit");
    std::memcpy(method_, &method, sizeof(method));
  }

  // Calls the member function on the object. An empty delegate must not be called.
  R operator()(Args... args) const { return call_(object_, method_, std::forward<Args>(args)...); }

  explicit operator bool() const { return call_ != nullptr; }

  // Equal when both the objects and the member functions are the same.
  bool operator==(const Delegate& other) const {
    return object_ == other.object_ && call_ == other.call_ &&
           std::memcmp(method_, other.method_, sizeof(method_)) == 0;
  }

 private:
  using Caller = R (*)(void* object, const unsigned char* method, Args... args);

  // One caller per object type restores the member function pointer it was given.
  template <typename T>
  static R CallMember(void* object, const unsigned char* method, Args... args) {
    R (T::*member)(Args...);
    std::memcpy(&member, method, sizeof(member));
    return (static_cast<T*>(object)->*member)(std::forward<Args>(args)...);
  }

  // Room for any member function pointer: two words on this ABI, virtual bases included.
  struct AnyClass;
  void* object_ = nullptr;
  Caller call_ = nullptr;
  alignas(void*) unsigned char method_[sizeof(void (AnyClass::*)())] = {};
};

template <typename R = void>
using Delegate0 = Delegate<R()>;
template <typename A1, typename R = void>
using Delegate1 = Delegate<R(A1)>;
template <typename A1, typename A2, typename R = void>
using Delegate2 = Delegate<R(A1, A2)>;
template <typename A1, typename A2, typename A3, typename R = void>
using Delegate3 = Delegate<R(A1, A2, A3)>;
template <typename A1, typename A2, typename A3, typename A4, typename R = void>
using Delegate4 = Delegate<R(A1, A2, A3, A4)>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename R = void>
using Delegate5 = Delegate<R(A1, A2, A3, A4, A5)>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6,
          typename R = void>
using Delegate6 = Delegate<R(A1, A2, A3, A4, A5, A6)>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6,
          typename A7, typename R = void>
using Delegate7 = Delegate<R(A1, A2, A3, A4, A5, A6, A7)>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6,
          typename A7, typename A8, typename R = void>
using Delegate8 = Delegate<R(A1, A2, A3, A4, A5, A6, A7, A8)>;

}  // namespace hx

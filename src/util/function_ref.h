// A non-owning reference to a callable, for synchronous callbacks such as the
// window and monitor enumerations (no allocation, unlike std::function).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace vorel {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F,
            class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                     std::is_invocable_r_v<R, F&, Args...>>>
  FunctionRef(F&& f) noexcept {  // NOLINT: implicit by design
    using Target = std::remove_reference_t<F>;
    if constexpr (std::is_function_v<Target>) {
      fn_ = reinterpret_cast<void (*)()>(&f);
      call_ = [](Storage s, Args... args) -> R {
        return reinterpret_cast<Target*>(s.fn)(std::forward<Args>(args)...);
      };
    } else {
      obj_ = const_cast<void*>(static_cast<const void*>(std::addressof(f)));
      call_ = [](Storage s, Args... args) -> R {
        return (*static_cast<Target*>(s.obj))(std::forward<Args>(args)...);
      };
    }
  }

  R operator()(Args... args) const {
    Storage s;
    s.obj = obj_;
    s.fn = fn_;
    return call_(s, std::forward<Args>(args)...);
  }

 private:
  struct Storage {
    void* obj = nullptr;
    void (*fn)() = nullptr;
  };
  void* obj_ = nullptr;
  void (*fn_)() = nullptr;
  R (*call_)(Storage, Args...) = nullptr;
};

}  // namespace vorel

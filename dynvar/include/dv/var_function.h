#pragma once
// Function records: a callable behind one uniform entry, its recorded
// signature and its overload chain. Include "dv/var.h".

#include <functional>
#include <iosfwd>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "dv/var_class.h"
#include "dv/var_containers.h"
#include "dv/var_holder.h"
#include "dv/var_value.h"

namespace dv {

namespace detail {

template <typename T>
struct CallableTraits : CallableTraits<decltype(&T::operator())> {};
template <typename R, typename... A>
struct CallableTraits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};
template <typename R, typename... A>
struct CallableTraits<R(A...)> : CallableTraits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...)> : CallableTraits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...) const> : CallableTraits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...) noexcept> : CallableTraits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct CallableTraits<R (C::*)(A...) const noexcept> : CallableTraits<R (*)(A...)> {};
template <typename R, typename... A>
struct CallableTraits<R (*)(A...) noexcept> : CallableTraits<R (*)(A...)> {};

template <typename T, typename = void>
struct HasCallOperator : std::false_type {};
template <typename T>
struct HasCallOperator<T, std::void_t<decltype(&T::operator())>> : std::true_type {};

// Plain functions, function pointers and objects with one call operator.
template <typename F>
constexpr bool isWrappable = !std::is_same_v<F, VarFunction> &&
                             (std::is_function_v<std::remove_pointer_t<F>> || HasCallOperator<F>::value);

// Reads argument i as parameter type P: a Var as is, a reference as the held
// object (exact type), a value through conversion.
template <typename P>
struct ArgReader {
    using D = Bare<P>;
    static decltype(auto) read(Var& arg) {
        if constexpr (std::is_same_v<D, Var>) {
            if constexpr (std::is_lvalue_reference_v<P>) {
                return static_cast<P>(arg);
            } else {
                return Var(arg);
            }
        } else if constexpr (std::is_lvalue_reference_v<P>) {
            return static_cast<P>(arg.convertRef<D>());
        } else {
            return arg.convert<D>();
        }
    }
};

template <typename R>
Var wrapResult(R&& r) {
    return Var(std::forward<R>(r));
}

template <typename R, typename F, typename... A, size_t... I>
Var invokeWith(F& f, std::vector<Var>& args, std::tuple<A...>*, std::index_sequence<I...>) {
    // Braced initialisation reads the arguments left to right.
    std::tuple<decltype(ArgReader<A>::read(args[I]))...> params{ArgReader<A>::read(args[I])...};
    if constexpr (std::is_void_v<R>) {
        std::apply(f, std::move(params));
        return Var();
    } else {
        return wrapResult<R>(std::apply(f, std::move(params)));
    }
}

template <typename R, typename... A>
std::vector<Var> signatureOf(std::tuple<A...>*) {
    return {VarClass::forType<Bare<R>>(), VarClass::forType<Bare<A>>()...};
}

}  // namespace detail

class VarFunction {
public:
    using Callable = std::function<Var(std::vector<Var>&)>;

    VarFunction() = default;
    // A record around a raw entry with the given signature classes.
    static VarFunction fromCallable(Callable callable, std::vector<Var> signatureClasses);
    // Wraps a callable; its signature is recorded as class objects (result first).
    template <typename F, typename = std::enable_if_t<detail::isWrappable<std::decay_t<F>>>>
    VarFunction(F f);

    // Runs the overload chain starting here.
    Var dispatch(std::vector<Var> args) const;
    // Packs the arguments (strings become string values) and dispatches.
    template <typename... A>
    Var call(A&&... args) const {
        return dispatch(std::vector<Var>{Var(std::forward<A>(args))...});
    }

    // The signature text: the doc when set, else "(arg,...)->result".
    static std::string signature(const VarFunction& f);

    std::string functionName;
    std::string signatureText;
    std::vector<Var> signatureClasses;
    Var nextOverload;
    Callable callable;
    bool boundAsMethod = false;
    bool registeredAsInit = false;
    bool checkArgCount = true;
};

std::ostream& operator<<(std::ostream& os, const VarFunction& f);

template <typename F, typename>
VarFunction::VarFunction(F f) {
    using Traits = detail::CallableTraits<std::decay_t<F>>;
    using R = typename Traits::Result;
    using Args = typename Traits::Args;
    signatureClasses = detail::signatureOf<R>(static_cast<Args*>(nullptr));
    callable = [f = std::move(f)](std::vector<Var>& args) mutable -> Var {
        return detail::invokeWith<R>(f, args, static_cast<Args*>(nullptr),
                                     std::make_index_sequence<std::tuple_size_v<Args>>{});
    };
}

template <typename F>
VarClass& VarClass::addMethod(const std::string& name, F callable) {
    return def(name, Var(VarFunction(std::move(callable))), true);
}

}  // namespace dv

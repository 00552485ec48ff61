// Named parameters: a binding declares its parameter list once, as a constant table, and its body
// reaches each argument by name, resolved when the binding is compiled.
//
//   constexpr auto kTrendParams = qn::params(qn::arg("performance_history", "list"),
//                                            qn::opt("window_start_time", "double", 0.0));
//
//   PyObject* calculate_performance_trend(qn::Function*, qn::Args<kTrendParams> a) {
//       PyObject* history;   // an exact list or None
//       double start;
//       if (!a.list<"performance_history">(history) || !a.get<"window_start_time">(start)) return nullptr;
//       ...
//   }
//
//   qn::add_function<calculate_performance_trend>(m, "calculate_performance_trend", "float", "doc");
//
// The table is the one place that says which parameters there are, in which order, with which
// annotation (the string put into __annotations__; nullptr for none) and default. The body names
// its table in its own signature, and registration takes the body, so the two cannot disagree. A
// name the table does not declare is a compile error; reordering or inserting parameters changes
// no body. Calls cost what the numbered form costs (at most one jump more, see below): a name is
// an array index fixed at compile time, and the typed accessors are the qn:: conversions themselves.
//
// Table entries:
//   qn::arg(name, annotation = nullptr)        required
//   qn::opt(name, annotation, default)         default: an int, a double, a bool, a string, or
//                                              qn::none_default (None)
//
// Accessors of qn::Args<T> (all arguments borrowed; each conversion leaves `out` untouched and
// returns false with the exception set on failure, with the conversion's own messages):
//   a.get<"x">()            the argument object
//   a.get<"x">(out)         by the type of `out`: double -> qn::to_double, bool -> qn::arg_bool,
//                           int32_t/int64_t/uint32_t/uint64_t -> qn::to_i32/to_i64/to_u32/to_u64
//   a.as_int<"x">(out)      the `int` parameter convention: qn::arg_int_i32/_i64/_u32/_u64 with the
//                           parameter's name in the TypeError
//   a.str<"x">(out), a.list<"x">(out), a.tuple<"x">(out)      (PyObject*& out)
//                           the argument when it is that exact type or None (qn::arg_exact, the
//                           TypeError naming the parameter)
//   a.exact<"x">(type, out) the same for any exact type
//   qn::Args<T>::index<"x">  the argument's position (self excluded)
//
// Methods take qn::MethodArgs<T> instead (the table lists the parameters after self), which adds
//   a.self()                the instance (PyObject*), a.self<Struct>() cast to its struct
// and are installed with qn::add_method<body>(type, ...), qn::add_static<body> (with qn::Args),
// or qn::new_method<body>(...) for a plain Python class.
//
// A body takes the function object first, as in the numbered form: the registered entry is a
// thunk that passes both registers on unchanged, so a body the compiler does not inline into it
// compiles exactly as its numbered version did and is reached by one jump. A body may also leave
// the function object out, PyObject* body(qn::Args<T> a), which costs a register move there.
//
// It is the one way a binding declares a function: the table becomes the qn::FuncSpec from which
// qn::new_function (function.hpp) makes the function object.
#pragma once

#include "convert.hpp"
#include "function.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace qn {

// A string literal as a template argument: a.get<"name">().
template <std::size_t N>
struct Name {
    char text[N];
    consteval Name(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

struct NoneDefault {};
inline constexpr NoneDefault none_default{};

// One declared parameter.
struct ArgDef {
    enum class Default { required, integer, real, boolean, string, none };
    const char* name;
    const char* annotation = nullptr;
    Default kind = Default::required;
    long long integer = 0;
    double real = 0.0;
    const char* string = nullptr;

    // The default as a new reference (nullptr for a required parameter, or on failure with the
    // exception set).
    PyObject* make_default() const {
        switch (kind) {
            case Default::integer:
                return PyLong_FromLongLong(integer);
            case Default::real:
                return PyFloat_FromDouble(real);
            case Default::boolean:
                return newref(integer ? Py_True : Py_False);
            case Default::string:
                return PyUnicode_FromString(string);
            case Default::none:
                return newref(Py_None);
            case Default::required:
                break;
        }
        return nullptr;
    }
};

consteval ArgDef arg(const char* name, const char* annotation = nullptr) { return {name, annotation}; }

template <class T>
consteval ArgDef opt(const char* name, const char* annotation, T value) {
    ArgDef d{name, annotation};
    if constexpr (std::is_same_v<T, bool>) {
        d.kind = ArgDef::Default::boolean;
        d.integer = value ? 1 : 0;
    } else if constexpr (std::is_integral_v<T>) {
        d.kind = ArgDef::Default::integer;
        d.integer = value;
    } else if constexpr (std::is_floating_point_v<T>) {
        d.kind = ArgDef::Default::real;
        d.real = value;
    } else if constexpr (std::is_same_v<T, NoneDefault>) {
        d.kind = ArgDef::Default::none;
    } else {
        static_assert(std::is_convertible_v<T, const char*>,
                      "a default is an int, a double, a bool, a string or qn::none_default");
        d.kind = ArgDef::Default::string;
        d.string = value;
    }
    return d;
}

namespace detail {
consteval bool same_text(const char* a, const char* b) {
    for (std::size_t i = 0;; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == '\0') return true;
    }
}
}  // namespace detail

// The parameter table of one function.
template <std::size_t N>
struct ParamTable {
    static constexpr std::size_t size = N;
    ArgDef at[N > 0 ? N : 1];

    // Position of `name`, or N when there is no such parameter.
    consteval std::size_t find(const char* name) const {
        for (std::size_t i = 0; i < N; ++i)
            if (detail::same_text(at[i].name, name)) return i;
        return N;
    }
    // The table is well formed: names distinct, no required parameter after one with a default.
    consteval bool valid() const {
        for (std::size_t i = 0; i < N; ++i) {
            for (std::size_t j = 0; j < i; ++j)
                if (detail::same_text(at[i].name, at[j].name)) return false;
            if (i > 0 && at[i].kind == ArgDef::Default::required && at[i - 1].kind != ArgDef::Default::required)
                return false;
        }
        return true;
    }
};

template <class... A>
consteval ParamTable<sizeof...(A)> params(A... defs) {
    static_assert((std::is_same_v<A, ArgDef> && ...), "qn::params takes qn::arg / qn::opt entries");
    return ParamTable<sizeof...(A)>{{defs...}};
}

inline constexpr ParamTable<0> no_params{};

// The arguments of one call, as the body sees them.
template <const auto& Table, bool Method>
class ArgsOf {
public:
    static_assert(Table.valid(), "parameter names must be distinct, and defaults must come last");
    static_assert(Table.size + (Method ? 1 : 0) <= static_cast<std::size_t>(kMaxParams), "too many parameters");
    static constexpr const auto& table = Table;
    static constexpr bool method = Method;
    static constexpr std::size_t offset = Method ? 1 : 0;

    explicit ArgsOf(PyObject* const* argv) : argv_(argv) {}

    template <Name P>
    static constexpr std::size_t index = [] {
        constexpr std::size_t i = Table.find(P.text);
        static_assert(i < Table.size, "no parameter of that name");
        return i;
    }();

    template <Name P>
    PyObject* get() const {
        return argv_[offset + index<P>];
    }

    template <Name P, class T>
    bool get(T& out) const {
        PyObject* o = get<P>();
        if constexpr (std::is_same_v<T, double>) {
            return to_double(o, out);
        } else if constexpr (std::is_same_v<T, bool>) {
            return arg_bool(o, out);
        } else if constexpr (std::is_same_v<T, std::int32_t>) {
            return to_i32(o, out);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return to_i64(o, out);
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
            return to_u32(o, out);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            return to_u64(o, out);
        } else {
            static_assert(sizeof(T) == 0, "no conversion to that type");
            return false;
        }
    }

    template <Name P, class T>
    bool as_int(T& out) const {
        PyObject* o = get<P>();
        const char* name = Table.at[index<P>].name;
        if constexpr (std::is_same_v<T, std::int32_t>) {
            return arg_int_i32(o, name, out);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return arg_int_i64(o, name, out);
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
            return arg_int_u32(o, name, out);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            return arg_int_u64(o, name, out);
        } else {
            static_assert(sizeof(T) == 0, "no int conversion to that type");
            return false;
        }
    }

    // The argument when it is None or exactly of `type` (subclasses rejected); false with TypeError
    // otherwise, `out` untouched.
    template <Name P>
    bool exact(PyTypeObject* type, PyObject*& out) const {
        PyObject* o = get<P>();
        if (!arg_exact(o, type, Table.at[index<P>].name)) return false;
        out = o;
        return true;
    }
    template <Name P>
    bool str(PyObject*& out) const {
        return exact<P>(&PyUnicode_Type, out);
    }
    template <Name P>
    bool list(PyObject*& out) const {
        return exact<P>(&PyList_Type, out);
    }
    template <Name P>
    bool tuple(PyObject*& out) const {
        return exact<P>(&PyTuple_Type, out);
    }

    PyObject* self() const
        requires Method
    {
        return argv_[0];
    }
    template <class T>
    T* self() const
        requires Method
    {
        return reinterpret_cast<T*>(argv_[0]);
    }

private:
    PyObject* const* argv_;
};

template <const auto& Table>
using Args = ArgsOf<Table, false>;
template <const auto& Table>
using MethodArgs = ArgsOf<Table, true>;

namespace detail {

// What a body is: its argument view, and whether it takes the function object first.
template <class F>
struct BodyTraits;
template <class A>
struct BodyTraits<PyObject* (*)(A)> {
    using ArgsType = A;
    static constexpr bool takes_function = false;
};
template <class A>
struct BodyTraits<PyObject* (*)(Function*, A)> {
    using ArgsType = A;
    static constexpr bool takes_function = true;
};

template <auto Body>
PyObject* call_body(Function* f, PyObject* const* argv) {
    using T = BodyTraits<decltype(Body)>;
    if constexpr (T::takes_function) {
        return Body(f, typename T::ArgsType(argv));
    } else {
        (void)f;
        return Body(typename T::ArgsType(argv));
    }
}

template <auto Body>
using BodyArgs = typename BodyTraits<decltype(Body)>::ArgsType;

// Makes the function object of `Body`, its qn::FuncSpec built from the table in this one
// expression (the defaults, new references, are taken over by new_function).
template <auto Body, std::size_t... I>
PyObject* new_typed_function(std::index_sequence<I...>, const char* name, const char* returns, const char* doc,
                             void* data, bool has_self, PyTypeObject* self_type, const char* qualprefix,
                             const char* module) {
    constexpr const auto& table = BodyArgs<Body>::table;
    return new_function(FuncSpec{name,
                                 call_body<Body>,
                                 {Param{table.at[I].name, table.at[I].make_default(), table.at[I].annotation}...},
                                 returns,
                                 doc,
                                 data},
                        has_self, self_type, qualprefix, module);
}

template <auto Body>
PyObject* new_typed_function(const char* name, const char* returns, const char* doc, void* data, bool has_self,
                             PyTypeObject* self_type, const char* qualprefix, const char* module) {
    constexpr std::size_t n = BodyArgs<Body>::table.size;
    return new_typed_function<Body>(std::make_index_sequence<n>{}, name, returns, doc, data, has_self, self_type,
                                    qualprefix, module);
}

}  // namespace detail

// Module-level function; returns it borrowed (the module holds it).
template <auto Body>
PyObject* add_function(PyObject* module, const char* name, const char* returns = nullptr, const char* doc = nullptr,
                       void* data = nullptr) {
    static_assert(!detail::BodyArgs<Body>::method, "a module function takes qn::Args");
    const char* mname = PyModule_GetName(module);
    if (mname == nullptr) return nullptr;
    Ref fn = Ref::steal(detail::new_typed_function<Body>(name, returns, doc, data, false, nullptr, nullptr, mname));
    if (!fn || PyModule_AddObjectRef(module, name, fn.get()) < 0) return nullptr;
    return fn.get();
}

// Method of an extension type (self must be an instance); returns it borrowed.
template <auto Body>
PyObject* add_method(PyTypeObject* t, const char* name, const char* returns = nullptr, const char* doc = nullptr,
                     void* data = nullptr) {
    static_assert(detail::BodyArgs<Body>::method, "a method takes qn::MethodArgs");
    Ref mod;
    PyObject* m = type_module_name(t, mod);
    const char* mname = m ? PyUnicode_AsUTF8(m) : nullptr;
    return install_in_type(
        t, name, detail::new_typed_function<Body>(name, returns, doc, data, true, t, type_short_name(t), mname));
}

// Static method of an extension type; returns the function, borrowed.
template <auto Body>
PyObject* add_static(PyTypeObject* t, const char* name, const char* returns = nullptr, const char* doc = nullptr,
                     void* data = nullptr) {
    static_assert(!detail::BodyArgs<Body>::method, "a static method takes qn::Args");
    Ref mod;
    PyObject* m = type_module_name(t, mod);
    const char* mname = m ? PyUnicode_AsUTF8(m) : nullptr;
    Ref fn = Ref::steal(
        detail::new_typed_function<Body>(name, returns, doc, data, false, nullptr, type_short_name(t), mname));
    if (!fn) return nullptr;
    PyObject* sm = PyStaticMethod_New(fn.get());
    if (install_in_type(t, name, sm) == nullptr) return nullptr;
    return fn.get();
}

// Method for a plain Python class (self may be any object); a new reference.
template <auto Body>
PyObject* new_method(const char* name, const char* class_name, const char* module, const char* returns = nullptr,
                     const char* doc = nullptr, void* data = nullptr) {
    static_assert(detail::BodyArgs<Body>::method, "a method takes qn::MethodArgs");
    return detail::new_typed_function<Body>(name, returns, doc, data, true, nullptr, class_name, module);
}

// qn::set_direct for a body with a parameter table (see function.hpp): the body inlined into the
// entry point of its arity. On that path an omitted parameter reads as nullptr from a.get<"x">().
template <auto Body>
bool set_direct(PyObject* fn) {
    using A = detail::BodyArgs<Body>;
    constexpr Py_ssize_t np = static_cast<Py_ssize_t>(A::table.size + A::offset);
    constexpr Py_ssize_t nr = [] {
        Py_ssize_t n = static_cast<Py_ssize_t>(A::offset);
        for (std::size_t i = 0; i < A::table.size; ++i) n += A::table.at[i].kind == ArgDef::Default::required;
        return n;
    }();
    return set_direct<detail::call_body<Body>, np, nr>(fn);
}

}  // namespace qn

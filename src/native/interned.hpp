// Interned string constants, created when the module loads.
//
//   PyObject* name = QN_STR("get_stats");   // borrowed; never NULL once the module has loaded
//
// Each distinct literal written as QN_STR(...) anywhere in an extension is one constant of that
// extension: the spelling names a template variable (one per literal) that enters itself into the
// extension's list while the shared library is being loaded (static initialisation, before any
// Python code runs), and the module frame (QN_MODULE) creates every listed string before the
// module's own initialisation runs. A failed allocation fails the import with MemoryError, and a
// later import creates what is still missing; after a successful import a use is a plain load
// that can never be NULL. The argument must be a string literal or a constexpr char array.
//
// The list and the slots have hidden visibility: each extension has its own, even when several
// are loaded into one process. The strings live for the process (never released: the library's
// static destructors may run after the interpreter has gone).
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace qn {

namespace detail {

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

struct InternedSlot;

// This extension's constants (constant-initialised, so filled in whatever order the slots'
// initialisers run).
[[gnu::visibility("hidden")]] inline constinit InternedSlot* interned_list = nullptr;

struct [[gnu::visibility("hidden")]] InternedSlot {
    InternedSlot(const char* t, Py_ssize_t n) noexcept : text(t), size(n), next(interned_list) { interned_list = this; }
    InternedSlot(const InternedSlot&) = delete;
    InternedSlot& operator=(const InternedSlot&) = delete;

    const char* text;
    Py_ssize_t size;
    PyObject* obj = nullptr;  // owned for the process once created
    InternedSlot* next;
};

// One per literal. The text is a copy of its own, so the template argument object itself is never
// emitted (which some compilers would give default visibility).
template <Literal L>
struct [[gnu::visibility("hidden")]] Interned {
    static constexpr Literal<sizeof(L.text)> text = L;
    static inline InternedSlot slot{text.text, sizeof(L.text) - 1};
};

// Creates every constant not created yet: 0, or -1 with MemoryError set (what was created stays).
inline int create_interned() {
    for (InternedSlot* s = interned_list; s != nullptr; s = s->next) {
        if (s->obj != nullptr) continue;
        PyObject* o = PyUnicode_FromStringAndSize(s->text, s->size);
        if (o == nullptr) return -1;
        PyUnicode_InternInPlace(&o);
        s->obj = o;
    }
    return 0;
}

}  // namespace detail

}  // namespace qn

#define QN_STR(lit) (static_cast<PyObject*>(::qn::detail::Interned<::qn::detail::Literal{lit}>::slot.obj))

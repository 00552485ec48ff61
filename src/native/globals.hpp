// Module globals as the module's own code sees them, and a cache over "is this global still the
// standard function?".
//
//   PyObject* v = qn::lookup_global(globals, name);   // new reference; NameError when neither the
//                                                     // module's globals nor the builtins have it
//
// qn::StdFunction answers, cheaply on every call, whether `<global>.<attr>` as the module's code
// would evaluate it (`time.perf_counter_ns`, `time.time`) is still the standard function of the
// standard module, so that the caller may compute the same value natively instead of calling it:
//
//   static qn::StdFunction clock;
//   clock.setup(module_dict, "time", "perf_counter_ns");     // at module load, after `import time`
//   int standard = clock.is_standard();                        // 1 / 0; -1 with an exception
//
// Lookups are redone only when the module namespace or the standard module's namespace may have
// changed since the last check (compat.hpp's dictionary stamps).
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstdint>

namespace qn {

inline PyObject* lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (v == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return v == nullptr ? nullptr : newref(v);
}

// Lives for the whole process (its references are never released: module-level statics must not
// run Python code at exit).
class StdFunction {
public:
    // `module_dict`: the namespace the module's code runs in (kept alive by its module).
    // 0, or -1 with an exception.
    int setup(PyObject* module_dict, const char* global_name, const char* attr_name) {
        module_dict_ = nullptr;
        // What an earlier, failed module initialisation made (never used since).
        Py_CLEAR(global_name_);
        Py_CLEAR(attr_name_);
        Py_CLEAR(std_module_);
        Py_CLEAR(std_fn_);
        global_name_ = PyUnicode_InternFromString(global_name);
        attr_name_ = PyUnicode_InternFromString(attr_name);
        if (global_name_ == nullptr || attr_name_ == nullptr) return -1;
        std_module_ = PyImport_Import(global_name_);
        if (std_module_ == nullptr) return -1;
        std_dict_ = PyModule_GetDict(std_module_);  // borrowed: the module is kept
        std_fn_ = PyObject_GetAttr(std_module_, attr_name_);
        if (std_dict_ == nullptr || std_fn_ == nullptr) return -1;
        if (compat::watch_dict(module_dict) < 0 || compat::watch_dict(std_dict_) < 0) return -1;
        module_stamp_ = 0;
        module_dict_ = module_dict;
        return 0;
    }

    // The global's name and the attribute's name, for callers that take the ordinary path.
    PyObject* global_name() const noexcept { return global_name_; }
    PyObject* attr_name() const noexcept { return attr_name_; }

    int is_standard() {
        if (module_dict_ == nullptr) return 0;
        if (module_stamp_ != 0 && compat::dict_stamp(module_dict_) == module_stamp_ &&
            compat::dict_stamp(std_dict_) == std_stamp_)
            return standard_;
        PyObject* mod = PyDict_GetItemWithError(module_dict_, global_name_);
        if (mod == nullptr && PyErr_Occurred()) return -1;
        PyObject* fn = nullptr;
        if (mod == std_module_) {
            fn = PyDict_GetItemWithError(std_dict_, attr_name_);
            if (fn == nullptr && PyErr_Occurred()) return -1;
        }
        standard_ = fn != nullptr && fn == std_fn_;
        module_stamp_ = compat::dict_stamp(module_dict_);
        std_stamp_ = compat::dict_stamp(std_dict_);
        return standard_;
    }

private:
    PyObject* module_dict_ = nullptr;  // borrowed (module lifetime)
    PyObject* global_name_ = nullptr;  // owned, never released
    PyObject* attr_name_ = nullptr;
    PyObject* std_module_ = nullptr;
    PyObject* std_dict_ = nullptr;  // borrowed from std_module_
    PyObject* std_fn_ = nullptr;
    uint64_t module_stamp_ = 0;  // 0: not checked yet
    uint64_t std_stamp_ = 0;
    int standard_ = 0;
};

}  // namespace qn

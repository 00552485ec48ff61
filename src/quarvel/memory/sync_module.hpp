// State of quarvel.memory.sync_kernel that its types share, set up when the module loads: the
// module's namespace (owned for the process) and the maker of the objects' locks, which follows the
// module's `threading.Lock` (a caller may rebind `threading`, to a lock class of its own for
// instance).
#pragma once

#include "native/qn.hpp"

namespace {

PyObject* g_module_dict = nullptr;
qn::LockFactory g_locks;

}  // namespace

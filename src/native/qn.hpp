// The shared native layer: include this one header.
//
//   ref.hpp       owned references (qn::Ref), qn::newref, qn::none, qn::boolean
//   convert.hpp   integer/float conversions and the parameter conventions (qn::to_i64, arg_int...)
//   function.hpp  the native function object, argument parsing, method installation
//   params.hpp    parameter tables and arguments by name (qn::params, qn::Args, a.get<"x">)
//   types.hpp     static extension types, pickling refusal
//   module.hpp    the module frame (QN_MODULE), imports, logger
//   lock.hpp      locks and locked sections (native, or a substituted threading.Lock), re-entry, `with`
//   dict.hpp      result dictionaries with fixed keys
//   globals.hpp   module globals lookup, "is this still the standard function" cache
//   interned.hpp  QN_STR("name"): interned string constants, created when the module loads
//   compat.hpp    the only version-specific code (backports, measured fast paths)
//   atomic.hpp    sequentially consistent 64-bit atomics with wrap-around
//   format.hpp    the interpreter's number formatting (str of an int, ".1f") into a buffer
//   unpack.hpp    `a, b = value` with the interpreter's errors (qn::unpack2)
//   shared.hpp    reference-counted native state shared by an object and its calls (qn::Shared)
//
// Statics. This layer is header-only and every extension is a shared library of its own, so each
// function-local static below exists once per extension. That is by design for what is a cache of
// the interpreter's objects (the lock type and its methods, threading.Lock, interned strings) or
// belongs to one extension's objects (the re-entry marks of its locks: an object's sections all run
// in its own extension): a copy costs one lookup at first use. The two interpreter resources are
// handled where they are made: one dictionary watcher shared by all extensions (compat.hpp), and a
// function type per extension, named after it (function.hpp).
#pragma once

#include "atomic.hpp"
#include "convert.hpp"
#include "format.hpp"
#include "dict.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "interned.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "params.hpp"
#include "ref.hpp"
#include "shared.hpp"
#include "types.hpp"
#include "unpack.hpp"

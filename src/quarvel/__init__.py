"""quarvel: native core of the quarvel performance runtime.

The hot-path modules are CPython extension modules in the sub-packages; import them directly, e.g.
``from quarvel.memory.sync_kernel import AtomicCounter``.
"""

import logging

__version__ = "0.1.0"

# A library leaves the output of its log records to the application: without this handler, a
# program that configured no logging would see the modules' warnings on stderr through logging's
# last-resort handler. Records still propagate to whatever handlers the application installs.
logging.getLogger(__name__).addHandler(logging.NullHandler())
del logging

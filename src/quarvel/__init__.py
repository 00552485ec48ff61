"""quarvel: native core of the quarvel performance runtime.

The hot-path modules are CPython extension modules in the sub-packages; import them directly, e.g.
``from quarvel.memory.sync_kernel import AtomicCounter``.
"""

__version__ = "0.1.0"

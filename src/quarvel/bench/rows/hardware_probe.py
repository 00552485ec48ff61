"""Benchmark rows for quarvel.native.hardware_probe.

The pure-Python equivalent is the same detection written as ordinary interpreted code
(quarvel.bench.models.hardware_probe).
"Cold" rows re-import the back-end registry before every call, as the first detection of a
process does; "warm" rows call again with everything imported.
"""

from __future__ import annotations


def register(suite):
    from quarvel.bench._floor import Floor
    from quarvel.bench.models import hardware_probe as py
    from quarvel.native import hardware_probe as hp

    caps = hp.detect_capabilities()
    ns = {"hp": hp, "py": py, "forget": py.forget_registry,
          "f": Floor(value=2, dict=caps, obj=("3.11.7", False))}
    g = "hardware_probe"
    suite.row(g, "detect_capabilities() warm", "hp.detect_capabilities()",
              python="py.detect_capabilities()", floor="f.dict0()", ns=ns, goal=">=2x python")
    suite.row(g, "detect_capabilities() cold (registry import)", "hp.detect_capabilities()",
              python="py.detect_capabilities()", floor="f.dict0()", ns=ns, setup="forget()",
              number=1, goal="<=5 ms")
    suite.row(g, "detect_physical_cores()", "hp.detect_physical_cores()",
              python="py.detect_physical_cores()", floor="f.int0()", ns=ns)
    suite.row(g, "detect_numa_nodes()", "hp.detect_numa_nodes()",
              python="py.detect_numa_nodes()", floor="f.int0()", ns=ns)
    suite.row(g, "detect_gpu_backends()", "hp.detect_gpu_backends()",
              python="py.detect_gpu_backends()", floor="f.dict0()", ns=ns)
    suite.row(g, "detect_python_version()", "hp.detect_python_version()",
              python="py.detect_python_version()", floor="f.obj0()", ns=ns)

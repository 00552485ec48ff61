"""Pure-Python reference models of the native modules, one submodule per module.

The test suite compares each native module with its model, and the benchmark times the native calls
against the same code as their pure-Python equivalent, so each model is written once.
"""

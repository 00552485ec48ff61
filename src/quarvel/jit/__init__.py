"""quarvel.jit"""

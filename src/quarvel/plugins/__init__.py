"""quarvel.plugins"""

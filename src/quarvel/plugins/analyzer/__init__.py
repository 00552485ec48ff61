"""quarvel.plugins.analyzer"""

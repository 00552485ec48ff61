"""quarvel.gpu"""

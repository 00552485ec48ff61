"""quarvel.native"""

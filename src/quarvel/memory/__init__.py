"""quarvel.memory"""

"""quarvel.monitoring"""

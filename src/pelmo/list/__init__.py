"""pelmo.list: list utilities as native extension modules.

Modules: read, write, count, ambrel and strutils.sprell.
"""

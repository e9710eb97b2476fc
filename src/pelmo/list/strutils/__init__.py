"""pelmo.list.strutils: string helpers (sprell)."""

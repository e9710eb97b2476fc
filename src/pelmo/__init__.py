"""pelmo: small native utilities for Python programs."""

"""The reserved prefixes __Pyx_ and __pyx_ belong to the names the system's
documents give the frame's contract (the function record, the module state,
the traceback machinery, the entry points); every other name in src/ is the
project's own. A new helper gets an own name, or its name is added here
beside the documented ones it joins."""
import os
import re
import unittest

from support import SOURCE

DOCUMENTED = {
    "__Pyx_AddTraceback", "__Pyx_CodeObjectCache", "__Pyx_CodeObjectCacheEntry",
    "__Pyx_CreateStringTabAndInitStrings", "__Pyx_CyFunction_New", "__Pyx_GetBuiltinName",
    "__Pyx_ParseOptionalKeywords", "__Pyx_copy_spec_to_module",
    "__pyx_CyFunctionObject", "__pyx_CyFunctionType", "__pyx_b", "__pyx_code_cache", "__pyx_cython_runtime",
    "__pyx_d", "__pyx_empty_bytes", "__pyx_empty_tuple", "__pyx_empty_unicode", "__pyx_m", "__pyx_mstate",
    "__pyx_pymod_create",
}
# Names made by pasting the module's name on: the exported flag and the exec step.
PASTED = ("__pyx_module_is_main_", "__pyx_pymod_exec_")


class ReservedNames(unittest.TestCase):
    def test_only_documented_names_carry_the_reserved_prefixes(self):
        found = set()
        for root, _, files in os.walk(os.path.join(SOURCE, "src")):
            for name in files:
                with open(os.path.join(root, name), errors="replace") as f:
                    found |= set(re.findall(r"\b__[Pp]yx_\w*", f.read()))
        self.assertIn("__Pyx_AddTraceback", found)
        self.assertEqual(sorted(n for n in found - DOCUMENTED if not n.startswith(PASTED)), [])


if __name__ == "__main__":
    unittest.main()

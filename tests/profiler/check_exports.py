"""The agent library exports exactly its published entry points and data, nothing else."""

import subprocess
import sys
import unittest

LIBRARY = sys.argv.pop(1) if len(sys.argv) > 1 else "libQuorixProfilerr.so"

FUNCTIONS = {"DllGetClassObject", "EnterNaked", "LeaveNaked", "TailcallNaked",
             "ManagedProbeEnterFunction", "ManagedProbeExitFunction", "ManagedProbeTestCallback",
             "UnmanagedInspectObject",
             "DecoderInit", "DecoderGetOnDiskSize", "IlmethodSize", "IlmethodEmit", "SectEH_EHClause",
             "SectEH_SizeWithCode", "SectEH_SizeWorst", "SectEH_SizeExact", "SectEH_Emit"}
DATA = {
    "g_ProfilerImpl", "g_Configuration", "g_Logger", "g_Relay", "g_Context", "g_Mapper", "g_Lookup",
    "g_startup", "LogLevelMap", "userOverridesEnvironmentValueRaw",
    "IID_IUnknown", "IID_IClassFactory",
    "IID_ICorProfilerCallback", "IID_ICorProfilerCallback2", "IID_ICorProfilerCallback3",
    "IID_ICorProfilerCallback4",
    "IID_ICorProfilerInfo", "IID_ICorProfilerInfo2", "IID_ICorProfilerInfo3", "IID_ICorProfilerInfo4",
}


def exported():
    out = subprocess.run(["nm", "-D", "-C", "--defined-only", LIBRARY], capture_output=True, text=True,
                         check=True).stdout
    symbols = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3:
            # The level table is a C++ object; its name carries the library's ABI tag.
            symbols[parts[2].replace("[abi:cxx11]", "")] = parts[1]
    return symbols


class Exports(unittest.TestCase):
    def test_exactly_the_published_symbols(self):
        symbols = exported()
        self.assertEqual(set(symbols), FUNCTIONS | DATA)

    def test_kinds(self):
        symbols = exported()
        for name in FUNCTIONS:
            self.assertEqual(symbols[name], "T", name)
        for name in DATA:
            self.assertIn(symbols[name], "BDR", name)


if __name__ == "__main__":
    unittest.main()

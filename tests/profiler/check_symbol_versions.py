"""The agent loads on older distributions: it needs no glibc symbol newer than 2.28 and carries the
C++ runtime and libgcc inside itself, so no GLIBCXX, CXXABI or GCC symbol version is asked of the
host and no libstdc++ or libgcc_s is needed; nor any library beyond the C library's own (the
collector's libcurl, TLS and zlib stay out of it)."""

import re
import subprocess
import sys
import unittest

LIBRARY = sys.argv.pop(1) if len(sys.argv) > 1 else "libQuorixProfilerr.so"
NEWEST_GLIBC = (2, 28)


def dynamic_symbols():
    out = subprocess.run(["objdump", "-T", LIBRARY], capture_output=True, text=True, check=True).stdout
    result = []
    for line in out.splitlines():
        match = re.search(r"\s(\(?)([A-Z_]+)_([0-9.]+)\)?\s+(\S+)$", line)
        if match:
            result.append((match.group(2), tuple(int(p) for p in match.group(3).split(".")), match.group(4)))
    return result


def needed_libraries():
    out = subprocess.run(["objdump", "-p", LIBRARY], capture_output=True, text=True, check=True).stdout
    return re.findall(r"^\s+NEEDED\s+(\S+)", out, re.M)


class SymbolVersions(unittest.TestCase):
    def test_no_glibc_symbol_newer_than_the_minimum(self):
        symbols = dynamic_symbols()
        self.assertTrue([s for s in symbols if s[0] == "GLIBC"], "no versioned glibc symbols read")
        newer = ["%s@GLIBC_%s" % (name, ".".join(map(str, version)))
                 for family, version, name in symbols if family == "GLIBC" and version > NEWEST_GLIBC]
        self.assertEqual(newer, [])

    def test_no_cxx_runtime_or_libgcc_versions(self):
        others = ["%s@%s_%s" % (name, family, ".".join(map(str, version)))
                  for family, version, name in dynamic_symbols() if family in ("GLIBCXX", "CXXABI", "GCC")]
        self.assertEqual(others, [])
        for library in needed_libraries():
            self.assertFalse(library.startswith(("libstdc++", "libgcc_s")), library)

    def test_only_the_c_library_is_needed(self):
        # The collector's HTTP, TLS and compression libraries stay the collector's: the agent
        # loads into every profiled process and brings nothing of them along.
        allowed = ("libc.so", "libm.so", "libpthread.so", "libdl.so", "ld-linux")
        needed = needed_libraries()
        self.assertTrue(needed, "no NEEDED entries read")
        self.assertEqual([n for n in needed if not n.startswith(allowed)], [])
        symbols = subprocess.run(["nm", "-D", "--undefined-only", LIBRARY], capture_output=True, text=True,
                                 check=True).stdout
        self.assertEqual(re.findall(r"\b(curl_\w+|SSL_\w+|deflate\w*|inflate\w*)", symbols), [])

    def test_thread_locals_need_no_static_tls_room(self):
        # Loaded late by the runtime, the agent must not ask for the host's static TLS surplus: its
        # thread-locals (the hooks' and the C++ runtime's) go through TLS descriptors or
        # __tls_get_addr.
        dynamic = subprocess.run(["readelf", "-d", LIBRARY], capture_output=True, text=True, check=True).stdout
        self.assertNotIn("STATIC_TLS", dynamic)
        relocations = subprocess.run(["readelf", "-r", LIBRARY], capture_output=True, text=True, check=True).stdout
        self.assertIn("R_X86_64_TLSDESC", relocations)
        self.assertNotIn("R_X86_64_TPOFF", relocations)


if __name__ == "__main__":
    unittest.main()

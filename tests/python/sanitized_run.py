"""Whether the suite runs against the AddressSanitizer build (scripts/sanitize-python.sh), and
what that changes for the tests that read it.

Under the sanitizer every allocation is checked and quarantined and Python objects go through
malloc, so each call costs ten to thirty times what it costs otherwise. The sanitized run is
there to catch memory errors and leaks, which a few dozen random cases find as well as a few
hundred: property tests there run a quarter of their examples. The plain runs keep them all,
and the blob reader is fuzzed on its own.
"""

import os

UNDER_ASAN = os.environ.get("WEFTORY_UNDER_ASAN") == "1" or "asan" in os.environ.get("LD_PRELOAD", "")


def examples(count):
    """A property test's example count in this run."""
    return max(20, count // 4) if UNDER_ASAN else count

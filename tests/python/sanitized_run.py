"""Whether the suite runs against the AddressSanitizer build (scripts/sanitize-python.sh).

There a failed allocation aborts the process, the sanitizer's allocator makes traced-memory counts
meaningless, and every call is slower; the tests that depend on any of that read this flag.
"""

import os

UNDER_ASAN = os.environ.get("WEFTORY_UNDER_ASAN") == "1" or "asan" in os.environ.get("LD_PRELOAD", "")

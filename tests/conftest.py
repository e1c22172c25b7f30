import os

import quillmatch


def pytest_report_header(config):
    return "quillmatch: " + quillmatch.__file__


# The sanitizer run puts its own build first on the path; make sure it is the
# module under test rather than an installed wheel.
if os.environ.get("QUILLMATCH_EXPECT_SANITIZED") and "sanitize" not in quillmatch.__file__:
    raise RuntimeError("expected the sanitizer build of quillmatch, got " + quillmatch.__file__)

import os

import quillmatch


def pytest_report_header(config):
    return "quillmatch: " + quillmatch.__file__


# The sanitizer run puts its own build first on the path; make sure it is the
# module under test rather than an installed wheel.
if os.environ.get("QUILLMATCH_EXPECT_SANITIZED") and "sanitize" not in quillmatch.__file__:
    raise RuntimeError("expected the sanitizer build of quillmatch, got " + quillmatch.__file__)

# Hypothesis's timing checks (a deadline per example, input generation that
# is "too slow") fail on a loaded machine or under emulation; whether a test
# passes must not depend on the machine's speed.
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    pass
else:
    settings.register_profile("quillmatch", deadline=None, suppress_health_check=[HealthCheck.too_slow])
    settings.load_profile("quillmatch")

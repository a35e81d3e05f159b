import os

import pytest

# scripts/sanitize.sh sets OSSEL_SANITIZE when the module runs under
# AddressSanitizer and UndefinedBehaviorSanitizer. Their overhead (calls
# several times slower, freed memory held in quarantine) breaks any bound on
# time or memory, so the tests that set one skip it there.
UNDER_SANITIZER = bool(os.environ.get("OSSEL_SANITIZE"))
bounds_time_or_memory = pytest.mark.skipif(UNDER_SANITIZER,
                                           reason="bounds time or memory, which the sanitizers' overhead upsets")


@pytest.fixture
def load_policy(tmp_path):
    """Writes a policy text to a file and loads it."""
    import ossel._native as native

    def load(text='version: "1"\n'):
        path = tmp_path / "policy.yaml"
        path.write_text(text)
        return native.Policy.from_file(str(path))

    return load

import os
import sys

import pytest

# The build lays out an importable package; OSSEL_PACKAGE_ROOT names the folder
# that holds it (scripts/test.sh sets it).
if os.environ.get("OSSEL_PACKAGE_ROOT"):
    sys.path.insert(0, os.environ["OSSEL_PACKAGE_ROOT"])


@pytest.fixture
def load_policy(tmp_path):
    """Writes a policy text to a file and loads it."""
    import ossel._native as native

    def load(text='version: "1"\n'):
        path = tmp_path / "policy.yaml"
        path.write_text(text)
        return native.Policy.from_file(str(path))

    return load

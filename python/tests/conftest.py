import pytest


@pytest.fixture
def load_policy(tmp_path):
    """Writes a policy text to a file and loads it."""
    import ossel._native as native

    def load(text='version: "1"\n'):
        path = tmp_path / "policy.yaml"
        path.write_text(text)
        return native.Policy.from_file(str(path))

    return load

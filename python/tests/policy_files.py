"""Test helper: policies written to a temporary file and loaded from it."""
import ossel._native as native


def load_policy(folder, text, name="policy.yaml"):
    path = folder / name
    path.write_text(text)
    return native.Policy.from_file(str(path))

import os
import sys

# The build lays out an importable package; OSSEL_PACKAGE_ROOT names the folder
# that holds it (scripts/test.sh sets it).
_root = os.environ.get("OSSEL_PACKAGE_ROOT")
if _root:
    sys.path.insert(0, _root)

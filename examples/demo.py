"""Loads ossel._native and shows what it offers."""
import ossel._native as native

print("ossel._native loaded from", native.__file__)
print("classes:", getattr(native, "__all__", []))

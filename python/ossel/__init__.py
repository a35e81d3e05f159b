"""Ossel: check the tool calls of AI agents against a declarative YAML policy."""
from ossel._native import CoverageAnalyzer, OsselClient, Policy, TraceExplainer

# The package's one version number; the package metadata reads it from here.
__version__ = "0.1.0"

__all__ = ["Policy", "TraceExplainer", "CoverageAnalyzer", "OsselClient"]

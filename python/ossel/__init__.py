"""Ossel: check the tool calls of AI agents against a declarative YAML policy."""

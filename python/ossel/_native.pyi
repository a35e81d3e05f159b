"""Check the tool calls of AI agents against a declarative YAML policy."""
from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["Policy", "CoverageAnalyzer", "OsselClient", "TraceExplainer"]

class _DataclassInstance(Protocol):
    __dataclass_fields__: ClassVar[dict[str, Any]]

# One tool call: the tool's name under "tool" (or "name"), else "tool_name";
# its arguments under "args", else "params" (or "arguments").
_ToolCall: TypeAlias = Mapping[str, Any] | _DataclassInstance

@final
class Policy:
    """A loaded policy: allowed and denied tools, sequence rules and aliases."""

    @staticmethod
    def from_file(path: str) -> Policy:
        """Load the YAML policy file at path; ValueError names the failing value and its position, if it has one."""

@final
class TraceExplainer:
    """Explains a trace call by call against its own copy of a policy."""

    def __new__(cls, policy: Policy) -> TraceExplainer:
        """Make an explainer for policy."""

    def explain(self, traces: Sequence[_ToolCall]) -> str:
        """Return compact JSON with each call's verdict, the checks that ran and a summary."""

@final
class CoverageAnalyzer:
    """Measures how well a set of traces covers a policy's tools and sequence rules."""

    def __new__(cls, policy: Policy) -> CoverageAnalyzer:
        """Make an analyzer for policy."""

    def analyze(self, traces: Sequence[Sequence[_ToolCall]], threshold: SupportsFloat | SupportsIndex) -> str:
        """Return the coverage report of traces as compact JSON, judged against threshold percent."""

@final
class OsselClient:
    """A client for recording Ossel traces from Python."""

    def __new__(cls, trace_file: str | None = None) -> OsselClient:
        """Make a client that appends to trace_file, opened now; without one, record_trace raises RuntimeError."""

    def record_trace(self, trace: object) -> None:
        """Append trace to the trace file as one line of compact JSON."""

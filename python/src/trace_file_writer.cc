// Placeholder until the recorder lands: every open fails.
#include "trace_file_writer.h"

namespace ossel::python {

struct TraceFileWriter::State {};

Result<std::unique_ptr<TraceFileWriter>> TraceFileWriter::open(std::string_view) {
  return Error{"trace files are not built yet"};
}
TraceFileWriter::TraceFileWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
TraceFileWriter::~TraceFileWriter() = default;
bool TraceFileWriter::poisoned() const { return false; }
std::optional<Error> TraceFileWriter::append(const JsonValue&) { return Error{"not built yet"}; }

}  // namespace ossel::python

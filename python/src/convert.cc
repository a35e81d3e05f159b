#include "convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "deferred_drops.h"
#include "errors.h"
#include "stack_guard.h"

namespace ossel::python {
namespace {

// --- Objects kept for the life of the process ---------------------------
//
// Filled on first use under the interpreter lock. The check is repeated after
// the object is made because an import may run Python code and let another
// thread fill the cell first; the loser drops its copy.

PyObject* interned_name(PyObject*& cell, const char* text) {
  if (cell == nullptr) {
    PyRef name = PyRef::steal(PyUnicode_InternFromString(text));
    if (cell == nullptr) cell = name.release();
  }
  return cell;
}

PyObject* dataclass_fields_name() {
  static PyObject* cell = nullptr;
  return interned_name(cell, "__dataclass_fields__");
}

PyObject* instance_dict_name() {
  static PyObject* cell = nullptr;
  return interned_name(cell, "__dict__");
}

// A class of collections.abc, borrowed; null with the Python error set when
// the import fails (the next use tries again).
PyObject* abstract_class(PyObject*& cell, const char* name) {
  if (cell == nullptr) {
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    PyRef found = PyRef::steal(PyObject_GetAttrString(module.get(), name));
    if (!found) return nullptr;
    if (cell == nullptr) cell = found.release();
  }
  return cell;
}

PyObject* mapping_class() {
  static PyObject* cell = nullptr;
  return abstract_class(cell, "Mapping");
}

PyObject* sequence_class() {
  static PyObject* cell = nullptr;
  return abstract_class(cell, "Sequence");
}

// --- Error texts -------------------------------------------------------------

// The UTF-8 text of a str (or subclass), valid while the object lives; nothing,
// with the Python error set, when the text holds lone surrogates.
std::optional<std::string_view> utf8_view(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

// Text for a message: never fails, lone surrogates become '?'.
std::string message_text(PyObject* text) {
  if (auto view = utf8_view(text)) return std::string(*view);
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(PyBytes_AsString(bytes.get()), static_cast<size_t>(PyBytes_Size(bytes.get())));
}

std::optional<std::string> qualified_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return std::nullopt;
  }
  return message_text(name.get());
}

// "{qualified type name}: {str(exception)}".
std::string describe_exception(PyObject* exception) {
  std::string text = qualified_name(Py_TYPE(exception)).value_or("unknown");
  PyRef str = PyRef::steal(PyObject_Str(exception));
  if (!str) {
    if (interruption_pending()) return text;  // the caller sees it set and passes it on
    PyErr_Clear();
    return text + ": <exception str() failed>";
  }
  return text + ": " + message_text(str.get());
}

// Takes the exception that an interpreter call raised out of the error state.
// An interruption is left set instead, for the caller to propagate.
Error take_python_error() {
  if (interruption_pending()) return Error{"interrupted"};
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return Error{"SystemError: a call failed without setting an exception"};
  // An interruption raised by the exception's own __str__ is left set.
  return Error{describe_exception(exception.get())};
}

// The object was not of the kind `expected` names.
Error wrong_kind(PyObject* object, std::string_view expected) {
  std::string text = "unexpected type: ";
  if (object == Py_None) {
    text += "'None' is not an instance of '";
  } else {
    text += "'" + qualified_name(Py_TYPE(object)).value_or("unknown") + "' object is not an instance of '";
  }
  text.append(expected);
  text += "'";
  return Error{std::move(text)};
}

Error nesting_too_deep() { return Error{kNestingTooDeepMessage}; }

// --- Type tests that call into Python -----------------------------------------

// isinstance(object, cls) for a collections.abc class. A test that raises (or
// an import that fails) is reported as unraisable and counts as false; an
// interruption gives nothing and stays set.
std::optional<bool> is_instance(PyObject* object, PyObject* cls) {
  int result = cls != nullptr ? PyObject_IsInstance(object, cls) : -1;
  if (result >= 0) return result == 1;
  if (interruption_pending()) return std::nullopt;
  PyErr_WriteUnraisable(object);
  return false;
}

// The object's __dataclass_fields__, or null when it has none. A lookup that
// raises, for whatever reason but an interruption, means "not a dataclass";
// an interruption gives null with the exception still set. A plain dict cannot
// carry the attribute, so it is not asked (that keeps the common case free of
// a raised and discarded AttributeError).
PyRef dataclass_fields(PyObject* object) {
  if (PyDict_CheckExact(object)) return PyRef();
  PyObject* name = dataclass_fields_name();
  if (name == nullptr) {
    PyErr_Clear();
    return PyRef();
  }
  PyRef fields = PyRef::steal(PyObject_GetAttr(object, name));
  if (!fields && !interruption_pending()) PyErr_Clear();
  return fields;
}

// --- Entries of a mapping or a dataclass instance ----------------------------

// The (key, value) entries of a mapping or of a dataclass instance, walked by
// position. A mapping's keys and values are fetched as two lists up front; a
// dataclass's keys are its field names in definition order, and each value is
// looked up by name in the instance's __dict__ when it is asked for.
//
// A dict of the built-in type is read without making the lists: its keys()
// and values() run no Python code, so holding each of its pairs is the same
// snapshot, and far cheaper than two lists made and freed per dict.
class Entries {
 public:
  static Result<Entries> of_mapping(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return of_dict(mapping);
    PyRef keys = PyRef::steal(PyMapping_Keys(mapping));
    if (!keys) return take_python_error();
    PyRef values = PyRef::steal(PyMapping_Values(mapping));
    if (!values) return take_python_error();
    Py_ssize_t size = PyMapping_Size(mapping);
    if (size < 0) return take_python_error();
    return Entries(std::move(keys), std::move(values), size, /*values_by_key=*/false);
  }

  static Result<Entries> of_dataclass(PyObject* object, PyObject* fields) {
    if (!PyDict_Check(fields)) return wrong_kind(fields, "dict");
    PyRef keys = PyRef::steal(PyDict_Keys(fields));
    if (!keys) return take_python_error();
    PyObject* name = instance_dict_name();
    if (name == nullptr) return take_python_error();
    PyRef attributes = PyRef::steal(PyObject_GetAttr(object, name));
    if (!attributes) return take_python_error();
    if (!PyDict_Check(attributes.get())) return wrong_kind(attributes.get(), "dict");
    Py_ssize_t size = PyList_Size(keys.get());
    return Entries(std::move(keys), std::move(attributes), size, /*values_by_key=*/true);
  }

  Py_ssize_t size() const { return size_; }

  // The i-th key. Python code run since the lists were made may have shortened
  // a list that a custom keys() kept; that fails with the interpreter's
  // IndexError rather than reading past the end.
  Result<PyRef> key(Py_ssize_t i) const {
    if (!keys_) return pairs_[static_cast<size_t>(i)].first;
    PyRef key = PyRef::borrow(PyList_GetItem(keys_.get(), i));
    if (!key) return take_python_error();
    return key;
  }

  Result<PyRef> value(Py_ssize_t i) const {
    if (!keys_) return pairs_[static_cast<size_t>(i)].second;
    if (!values_by_key_) {
      PyRef value = PyRef::borrow(PyList_GetItem(values_.get(), i));
      if (!value) return take_python_error();
      return value;
    }
    Result<PyRef> key = this->key(i);
    if (!key) return key.error();
    PyRef value = PyRef::borrow(PyDict_GetItemWithError(values_.get(), key->get()));
    if (value) return value;
    if (PyErr_Occurred()) return take_python_error();
    // A field with no instance value (a class variable, say): the KeyError a
    // subscript would raise.
    PyRef missing = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_KeyError, key->get(), nullptr));
    if (!missing) return take_python_error();
    return Error{describe_exception(missing.get())};
  }

 private:
  using Pairs = std::vector<std::pair<PyRef, PyRef>>;

  Entries(PyRef keys, PyRef values, Py_ssize_t size, bool values_by_key)
      : keys_(std::move(keys)), values_(std::move(values)), size_(size), values_by_key_(values_by_key) {}
  explicit Entries(Pairs pairs)
      : pairs_(std::move(pairs)), size_(static_cast<Py_ssize_t>(pairs_.size())), values_by_key_(false) {}

  static Entries of_dict(PyObject* dict) {
    Pairs pairs;
    pairs.reserve(static_cast<size_t>(PyDict_Size(dict)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
      pairs.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    }
    return Entries(std::move(pairs));
  }

  PyRef keys_;    // list of keys; null for a built-in dict, read into pairs_
  PyRef values_;  // list of values, or the instance __dict__ when values_by_key_
  Pairs pairs_;   // a built-in dict's pairs, in its order
  Py_ssize_t size_;
  bool values_by_key_;
};

// The entries of a tool call: a dataclass instance, a dict (or subclass), or
// an instance of collections.abc.Mapping.
Result<Entries> tool_call_entries(PyObject* object) {
  if (PyRef fields = dataclass_fields(object)) return Entries::of_dataclass(object, fields.get());
  if (PyErr_Occurred()) return take_python_error();
  if (!PyDict_Check(object)) {
    std::optional<bool> mapping = is_instance(object, mapping_class());
    if (!mapping) return take_python_error();
    if (!*mapping) return wrong_kind(object, "Mapping");
  }
  return Entries::of_mapping(object);
}

// --- Python value to JSON value ------------------------------------------------

class JsonConverter {
 public:
  Result<JsonValue> convert(PyObject* object) {
    if (object == Py_None) return JsonValue();
    if (PyBool_Check(object)) return JsonValue(object == Py_True);
    if (PyLong_Check(object)) return integer(object);
    if (PyList_Check(object) || PyTuple_Check(object)) return nested(object, &JsonConverter::list_or_tuple);
    if (PyDict_Check(object)) return nested(object, &JsonConverter::mapping);
    if (PyUnicode_Check(object)) return string(object);
    if (PyBytes_Check(object)) return Error{"invalid type: byte array, expected any valid JSON value"};
    if (PyByteArray_Check(object)) return wrong_kind(object, "bytes");
    if (PyFloat_Check(object)) return floating(object);
    if (PyAnySet_Check(object)) return nested(object, &JsonConverter::set);
    std::optional<bool> sequence = is_instance(object, sequence_class());
    if (!sequence) return take_python_error();
    if (*sequence) return nested(object, &JsonConverter::sequence);
    std::optional<bool> mapping = is_instance(object, mapping_class());
    if (!mapping) return take_python_error();
    if (*mapping) return nested(object, &JsonConverter::mapping);
    if (PyRef fields = dataclass_fields(object)) {
      return one_level_deeper([&] { return dataclass(object, fields.get()); });
    }
    if (PyErr_Occurred()) return take_python_error();
    std::optional<std::string> name = qualified_name(Py_TYPE(object));
    return Error{"unsupported type " + name.value_or("unknown")};
  }

 private:
  using Step = Result<JsonValue> (JsonConverter::*)(PyObject*);

  // Converts a container one level deeper, refusing to go past the bound.
  Result<JsonValue> nested(PyObject* object, Step step) {
    return one_level_deeper([&] { return (this->*step)(object); });
  }
  template <class Convert>
  Result<JsonValue> one_level_deeper(Convert&& convert) {
    if (depth_ == kMaxNestingDepth) return nesting_too_deep();
    if (raise_if_stack_exhausted(" while converting a value")) return take_python_error();
    ++depth_;
    Result<JsonValue> result = convert();
    --depth_;
    // A large value may drop a reference whose release is deferred for many
    // of the containers it holds (a mapping's keys() and values() lists, an
    // item a sequence made anew); they are released every so many
    // containers, so that the queue stays small.
    if (++containers_ % kContainersPerRelease == 0) release_deferred_drops();
    return result;
  }

  // -2^63 ..= 2^64-1 becomes an integer. Beyond that, a value that still fits
  // in 128 bits is out of JSON's range; a larger one fails with the
  // interpreter's own OverflowError from reading the upper 64 bits.
  Result<JsonValue> integer(PyObject* object) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
      if (value == -1 && PyErr_Occurred()) return take_python_error();
      return JsonValue(value);
    }
    // An exact int, so that no subclass method runs in the arithmetic below.
    PyRef exact = PyRef::steal(PyNumber_Index(object));
    if (!exact) return take_python_error();
    if (overflow > 0) {
      unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(exact.get());
      if (unsigned_value != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
        return JsonValue(unsigned_value);
      }
      PyErr_Clear();
    }
    PyRef shift = PyRef::steal(PyLong_FromLong(64));
    if (!shift) return take_python_error();
    PyRef upper = PyRef::steal(PyNumber_Rshift(exact.get(), shift.get()));
    if (!upper) return take_python_error();
    bool fits_128_bits = overflow > 0
        ? !(PyLong_AsUnsignedLongLong(upper.get()) == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        : !(PyLong_AsLongLong(upper.get()) == -1 && PyErr_Occurred());
    if (!fits_128_bits) return take_python_error();
    return Error{"JSON number out of range"};
  }

  static Result<JsonValue> floating(PyObject* object) {
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return take_python_error();
    if (!std::isfinite(value)) return JsonValue();
    return JsonValue(value);
  }

  static Result<JsonValue> string(PyObject* object) {
    std::optional<std::string_view> text = utf8_view(object);
    if (!text) return take_python_error();
    return JsonValue(*text);
  }

  // The length is read once; each element is held while it is converted. Code
  // that shrinks a list meanwhile makes the next fetch fail with IndexError.
  Result<JsonValue> list_or_tuple(PyObject* object) {
    bool is_list = PyList_Check(object);
    Py_ssize_t size = is_list ? PyList_Size(object) : PyTuple_Size(object);
    JsonArray items;
    items.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef item = PyRef::borrow(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
      if (!item) return take_python_error();
      Result<JsonValue> converted = convert(item.get());
      if (!converted) return converted.error();
      items.push_back(std::move(converted).value());
    }
    return JsonValue(std::move(items));
  }

  Result<JsonValue> set(PyObject* object) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return take_python_error();
    JsonArray items;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      Result<JsonValue> converted = convert(item.get());
      if (!converted) return converted.error();
      items.push_back(std::move(converted).value());
    }
    if (PyErr_Occurred()) return take_python_error();
    return JsonValue(std::move(items));
  }

  // The length may be any number a __len__ returns, so it reserves room for
  // a bounded count only; the elements themselves decide the final size.
  Result<JsonValue> sequence(PyObject* object) {
    Py_ssize_t size = PySequence_Size(object);
    if (size < 0) return take_python_error();
    constexpr Py_ssize_t kLargestReservation = 1 << 16;
    JsonArray items;
    items.reserve(static_cast<size_t>(std::min(size, kLargestReservation)));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(object, i));
      if (!item) return take_python_error();
      Result<JsonValue> converted = convert(item.get());
      if (!converted) return converted.error();
      items.push_back(std::move(converted).value());
    }
    return JsonValue(std::move(items));
  }

  // A dict or a Mapping instance; one that carries __dataclass_fields__ is
  // read through its fields all the same.
  Result<JsonValue> mapping(PyObject* object) {
    if (PyRef fields = dataclass_fields(object)) return dataclass(object, fields.get());
    if (PyErr_Occurred()) return take_python_error();
    Result<Entries> entries = Entries::of_mapping(object);
    if (!entries) return entries.error();
    return members(entries.value());
  }

  Result<JsonValue> dataclass(PyObject* object, PyObject* fields) {
    Result<Entries> entries = Entries::of_dataclass(object, fields);
    if (!entries) return entries.error();
    return members(entries.value());
  }

  Result<JsonValue> members(const Entries& entries) {
    JsonObject object;
    for (Py_ssize_t i = 0; i < entries.size(); ++i) {
      Result<PyRef> key = entries.key(i);
      if (!key) return key.error();
      if (!PyUnicode_Check(key->get())) return wrong_kind(key->get(), "str");
      std::optional<std::string_view> name = utf8_view(key->get());
      if (!name) return take_python_error();
      Result<PyRef> value = entries.value(i);
      if (!value) return value.error();
      Result<JsonValue> converted = convert(value->get());
      if (!converted) return converted.error();
      object.insert_or_assign(std::string(*name), std::move(converted).value());
    }
    return JsonValue(std::move(object));
  }

  static constexpr unsigned kContainersPerRelease = 256;
  int depth_ = 0;
  unsigned containers_ = 0;
};

// --- One tool call ---------------------------------------------------------------

enum class ToolCallField { kTool, kToolName, kArgs, kParams, kIgnored };

constexpr std::string_view kFieldNames[] = {"tool", "tool_name", "args", "params"};

// Keys are compared byte for byte: no trimming, no case folding.
Result<ToolCallField> classify_key(PyObject* key) {
  if (!PyUnicode_Check(key)) return Error{"dict keys must have type str"};
  std::optional<std::string_view> text = utf8_view(key);
  if (!text) return take_python_error();
  if (*text == "tool" || *text == "name") return ToolCallField::kTool;
  if (*text == "tool_name") return ToolCallField::kToolName;
  if (*text == "args") return ToolCallField::kArgs;
  if (*text == "params" || *text == "arguments") return ToolCallField::kParams;
  return ToolCallField::kIgnored;
}

// One tool call as the caller wrote it. A member stays empty when its keys are
// missing or hold None.
struct ToolCallInput {
  std::optional<std::string> tool;
  std::optional<std::string> tool_name;
  std::optional<JsonValue> args;
  std::optional<JsonValue> params;

  ToolCall to_tool_call() && {
    ToolCall call;
    call.tool = tool ? std::move(*tool) : tool_name ? std::move(*tool_name) : std::string("unknown");
    call.args = args ? std::move(args) : std::move(params);
    return call;
  }
};

Result<std::string> tool_name_text(PyObject* value) {
  if (!PyUnicode_Check(value)) return wrong_kind(value, "str");
  std::optional<std::string_view> text = utf8_view(value);
  if (!text) return take_python_error();
  return std::string(*text);
}

Result<ToolCallInput> read_tool_call(PyObject* object) {
  Result<Entries> entries = tool_call_entries(object);
  if (!entries) return entries.error();
  ToolCallInput input;
  bool seen[4] = {false, false, false, false};
  for (Py_ssize_t i = 0; i < entries->size(); ++i) {
    Result<PyRef> key = entries->key(i);
    if (!key) return key.error();
    Result<ToolCallField> field = classify_key(key->get());
    if (!field) return field.error();
    if (field.value() != ToolCallField::kIgnored) {
      // A key counts as seen even when it holds None; a second one is refused
      // before its value is looked at.
      size_t index = static_cast<size_t>(field.value());
      if (seen[index]) return Error{"duplicate field `" + std::string(kFieldNames[index]) + "`"};
      seen[index] = true;
    }
    Result<PyRef> value = entries->value(i);
    if (!value) return value.error();
    if (field.value() == ToolCallField::kIgnored || value->get() == Py_None) continue;
    switch (field.value()) {
      case ToolCallField::kTool:
      case ToolCallField::kToolName: {
        Result<std::string> text = tool_name_text(value->get());
        if (!text) return text.error();
        (field.value() == ToolCallField::kTool ? input.tool : input.tool_name) = std::move(text).value();
        break;
      }
      case ToolCallField::kArgs:
      case ToolCallField::kParams: {
        Result<JsonValue> json = json_from_python(value->get());
        if (!json) return json.error();
        (field.value() == ToolCallField::kArgs ? input.args : input.params) = std::move(json).value();
        break;
      }
      case ToolCallField::kIgnored:
        break;
    }
  }
  return input;
}

}  // namespace

Result<JsonValue> json_from_python(PyObject* object) { return JsonConverter().convert(object); }

Result<ToolCall> tool_call_from_python(PyObject* object) {
  Result<ToolCallInput> input = read_tool_call(object);
  if (!input) return input.error();
  return std::move(input).value().to_tool_call();
}

PyRef raise_conversion_error(std::string_view prefix, const Error& error) {
  return raise_error_unless_set(PyExc_ValueError, std::string(prefix) + error.message);
}

Result<std::vector<ToolCall>> tool_calls_from_python(std::span<const PyRef> calls,
                                                     ProgressCheck& progress) {
  std::vector<ToolCall> converted;
  converted.reserve(calls.size());
  for (const PyRef& call : calls) {
    if (!progress.advance()) return Error{kStoppedMessage};
    Result<ToolCall> one = tool_call_from_python(call.get());
    if (!one) return one.error();
    converted.push_back(std::move(one).value());
  }
  return converted;
}

}  // namespace ossel::python

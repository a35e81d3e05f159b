// A check of the calling thread's remaining C stack.
//
// Python code that a conversion runs may start another conversion, which may
// run Python code again, and so on; every round nests native frames that the
// interpreter's recursion limits do not see. The module checks the stack
// itself where it nests (at each operation entry and at each container level
// of a conversion) and fails with RecursionError while enough stack is left
// for the interpreter to unwind, instead of overflowing it.
#ifndef OSSEL_PYTHON_STACK_GUARD_H_
#define OSSEL_PYTHON_STACK_GUARD_H_

namespace ossel::python {

// True when less than a safe reserve (a quarter of the thread's stack, at
// most 256 KiB) is left below the caller's frame.
bool stack_nearly_exhausted();

// Sets RecursionError "maximum recursion depth exceeded{where}" when the stack
// is nearly exhausted and returns true; false otherwise.
bool raise_if_stack_exhausted(const char* where);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_STACK_GUARD_H_

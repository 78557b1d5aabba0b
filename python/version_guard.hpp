#pragma once
// The interpreter check the module's initialisation applies before anything else.
//
// pybind11's module entry point performs this very check; the rule is restated here so that
// it can be exercised with version strings of interpreters that are not on this machine.

#include <string>
#include <string_view>

namespace korvel::python {

// "MAJOR.MINOR" of the Python headers the module is compiled against.
#define KQ_PY_STR2(x) #x
#define KQ_PY_STR(x) KQ_PY_STR2(x)
inline constexpr const char* kBuiltForPython =
    KQ_PY_STR(PY_MAJOR_VERSION) "." KQ_PY_STR(PY_MINOR_VERSION);
#undef KQ_PY_STR
#undef KQ_PY_STR2

// True when `interpreter_version` (the interpreter's full version string, as sys.version)
// begins with `built_for` and the character after it does not continue the minor number:
// with 3.14, "3.14.2 (main...)" passes and "3.140" or "3.13.1" fail.
inline bool InterpreterMatches(std::string_view built_for, std::string_view interpreter_version) {
  if (interpreter_version.substr(0, built_for.size()) != built_for) return false;
  if (interpreter_version.size() == built_for.size()) return true;
  const char next = interpreter_version[built_for.size()];
  return next < '0' || next > '9';
}

// The ImportError text for a refused interpreter.
inline std::string VersionMismatchMessage(std::string_view built_for,
                                          std::string_view interpreter_version) {
  std::string message = "Python version mismatch: module was compiled for Python ";
  message += built_for;
  message += ", but the interpreter version is incompatible: ";
  message += interpreter_version;
  message += ".";
  return message;
}

}  // namespace korvel::python

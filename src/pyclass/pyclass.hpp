// The small layer that lets the extension modules define ordinary Python
// classes from C++: classes with an instance __dict__, real Python bases (and
// their metaclasses), methods that bind `self`, graph-compiled methods, module
// globals looked up when a method runs, and the argument checks and status
// output every module shares.
//
// A class is built the way the `class` statement builds one: a namespace of
// functions is filled first and `types.new_class` then creates the class from
// it, so a base class's metaclass sees the whole namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace pyclass {

namespace py = pybind11;

// The module's global names. Bound once at import, in the order the module
// lists them, and read from the module's __dict__ each time a method runs, so
// a caller can replace any of them (a test double for `tf`, say).
class Globals {
 public:
  explicit Globals(const py::module_& module) : dict_(module.attr("__dict__")) {}

  // Binds `name` to `value` in the module.
  void bind(const char* name, const py::object& value) const { dict_[name] = value; }

  // Binds `name` to the attribute of the same name of module `module_name`.
  void bind_from(const char* module_name, const char* name) const;

  // Looks `name` up; raises NameError, as Python would, when it is missing.
  py::object operator[](const char* name) const;

 private:
  py::dict dict_;
};

// One parameter of a graph-compiled method's signature (see graph_method).
struct Param {
  std::string name;
  py::object annotation = py::none();  // None: no annotation
  bool has_default = false;
  py::object default_value = py::none();
};

Param param(std::string name, py::object annotation = py::none());
Param param_default(std::string name, py::object default_value, py::object annotation = py::none());

// Collects a class namespace and creates the class from it.
class ClassBuilder {
 public:
  // `bases` may be empty (the class derives from object).
  ClassBuilder(const py::module_& module, const char* name, py::tuple bases, const char* doc);

  // An instance method: `f` takes `py::object self` first. Extra arguments are
  // pybind11's (py::arg("x") = default, ...). Defaults are converted once, so
  // one default object is shared by every call, as in a Python `def`.
  template <typename Func, typename... Extra>
  ClassBuilder& method(const char* name, Func&& f, const Extra&... extra) {
    namespace_[name] =
        py::cpp_function(std::forward<Func>(f), py::name(function_name(name)), py::is_method(py::none()), extra...);
    return *this;
  }

  // A method compiled as a TensorFlow graph function: `body` (a cpp_function
  // taking self first) is wrapped in a callable that carries the signature
  // `params` (without self) so that `tf.function` can read it, then stored as
  // `tf.function(callable, autograph=False)`. `tf` is the module's global.
  ClassBuilder& graph_method(const char* name, std::vector<Param> params, const py::cpp_function& body,
                             const char* doc = "");

  // A class attribute.
  ClassBuilder& attr(const char* name, const py::object& value);

  // Creates the class, binds it as the module global `name` and returns it.
  py::object build();

 private:
  // pybind11 treats a function named __init__ as its own constructor; the
  // namespace key still is __init__, only the function's own name differs.
  static const char* function_name(const char* name);

  py::module_ module_;
  std::string name_;
  py::tuple bases_;
  py::dict namespace_;
};

// A TensorFlow graph function of `body` (a cpp_function taking `params`, none
// by default), compiled as graph_method compiles a method, but belonging to no
// class; `tf` is the module's global.
py::object graph_function(const Globals& g, const char* name, const py::cpp_function& body,
                          const std::vector<Param>& params = {});

// `super(cls, self)`: `cls` is the defining class, read from the module globals.
py::object super(const py::object& cls, const py::object& self);

// Raises the interpreter's TypeError for a parameter annotated with a type
// (&PyList_Type, &PyUnicode_Type, &PyDict_Type) unless `value` is exactly of
// that type or None:
// "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void require_exact_type(const py::handle& value, const char* argument, PyTypeObject* expected_type);

// Raises `exception_type` with `message` followed by ", got <repr> (<type>)";
// the repr is cut to a readable length.
[[noreturn]] void raise_unexpected(PyObject* exception_type, const std::string& message, const py::handle& value);

// A status line through Python's `print`, so it interleaves with progress bars
// and can be captured like any other output.
void print(const std::string& text);

// A Python warning (`warnings.warn(text)`), UserWarning category.
void warn(const std::string& text);

}  // namespace pyclass

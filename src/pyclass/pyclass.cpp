#include "pyclass.hpp"

#include <cstring>

namespace pyclass {

void Globals::bind_from(const char* module_name, const char* name) const {
  bind(name, py::module_::import(module_name).attr(name));
}

py::object Globals::operator[](const char* name) const {
  PyObject* value = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
  if (value == nullptr) {
    throw py::key_error(std::string("name '") + name + "' is not defined in the module");
  }
  return py::reinterpret_borrow<py::object>(value);
}

Param param(std::string name, py::object annotation) {
  return Param{std::move(name), std::move(annotation), false, py::none()};
}

Param param_default(std::string name, py::object default_value, py::object annotation) {
  return Param{std::move(name), std::move(annotation), true, std::move(default_value)};
}

namespace {

// What tf.function wraps: a callable with a readable signature. pybind11
// functions have none (inspect cannot read builtins), and cannot take a
// __signature__ attribute, so the body is forwarded through this object,
// whose dynamic attributes carry __signature__, __name__, __doc__ and so on.
struct SignedCallable {
  py::object body;
  py::object operator()(const py::args& args, const py::kwargs& kwargs) const { return body(*args, **kwargs); }
};

// Registered once per extension module (each links its own copy of this
// layer), as a private attribute of the first module that needs it.
py::object make_signed_callable(const py::module_& module, const py::object& body) {
  if (py::detail::get_type_info(typeid(SignedCallable)) == nullptr) {
    py::class_<SignedCallable>(module, "_GraphMethodBody", py::dynamic_attr(), py::module_local())
        .def("__call__", &SignedCallable::operator());
  }
  return py::cast(SignedCallable{body});
}

// `tf.function(body, autograph=False)`, with body's signature and names carried
// by a SignedCallable.
py::object compile_graph_function(const py::module_& module, const py::object& tf, const py::cpp_function& body,
                                  const py::object& signature, const std::string& name, const std::string& qualname,
                                  const char* doc) {
  py::object callable = make_signed_callable(module, body);
  callable.attr("__signature__") = signature;
  callable.attr("__name__") = name;
  callable.attr("__qualname__") = qualname;
  callable.attr("__module__") = module.attr("__name__");
  callable.attr("__doc__") = doc;
  py::dict options;
  options["autograph"] = false;  // AutoGraph cannot read C++; nothing here branches on tensor values
  return tf.attr("function")(callable, **options);
}

// The inspect.Signature of `params`, with `self` first for a method.
py::object signature_of(const std::vector<Param>& params, bool method) {
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object positional = parameter.attr("POSITIONAL_OR_KEYWORD");
  py::object empty = parameter.attr("empty");

  py::list signature_params;
  if (method) signature_params.append(parameter("self", positional));
  for (const Param& p : params) {
    py::dict keywords;
    keywords["annotation"] = p.annotation.is_none() ? empty : p.annotation;
    keywords["default"] = p.has_default ? p.default_value : empty;
    signature_params.append(parameter(p.name, positional, **keywords));
  }
  return inspect.attr("Signature")(signature_params);
}

}  // namespace

ClassBuilder::ClassBuilder(const py::module_& module, const char* name, py::tuple bases, const char* doc)
    : module_(module), name_(name), bases_(std::move(bases)) {
  namespace_["__module__"] = module_.attr("__name__");
  namespace_["__qualname__"] = name_;
  if (doc != nullptr && doc[0] != '\0') namespace_["__doc__"] = doc;
}

const char* ClassBuilder::function_name(const char* name) { return std::strcmp(name, "__init__") == 0 ? "init" : name; }

ClassBuilder& ClassBuilder::graph_method(const char* name, std::vector<Param> params, const py::cpp_function& body,
                                         const char* doc) {
  namespace_[name] = compile_graph_function(module_, Globals(module_)["tf"], body, signature_of(params, true), name,
                                            name_ + "." + name, doc);
  return *this;
}

py::object graph_function(const Globals& g, const char* name, const py::cpp_function& body,
                          const std::vector<Param>& params) {
  py::module_ module = py::module_::import(py::str(g["__name__"]).cast<std::string>().c_str());
  return compile_graph_function(module, g["tf"], body, signature_of(params, false), name, name, "");
}

ClassBuilder& ClassBuilder::attr(const char* name, const py::object& value) {
  namespace_[name] = value;
  return *this;
}

py::object ClassBuilder::build() {
  py::dict ns = namespace_;
  py::cpp_function exec_body([ns](py::dict body) { body.attr("update")(ns); });
  py::object cls = py::module_::import("types").attr("new_class")(name_, bases_, py::dict(), exec_body);
  module_.attr(name_.c_str()) = cls;
  return cls;
}

py::object super(const py::object& cls, const py::object& self) {
  return py::module_::import("builtins").attr("super")(cls, self);
}

void require_exact_type(const py::handle& value, const char* argument, PyTypeObject* expected_type) {
  if (value.is_none() || Py_TYPE(value.ptr()) == expected_type) return;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
               expected_type->tp_name, Py_TYPE(value.ptr())->tp_name);
  throw py::error_already_set();
}

void raise_unexpected(PyObject* exception_type, const std::string& message, const py::handle& value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  PyErr_SetString(exception_type, (message + ", got " + text + " (" + Py_TYPE(value.ptr())->tp_name + ")").c_str());
  throw py::error_already_set();
}

void print(const std::string& text) { py::module_::import("builtins").attr("print")(text); }

void warn(const std::string& text) { py::module_::import("warnings").attr("warn")(text); }

}  // namespace pyclass

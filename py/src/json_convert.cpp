#include "json_convert.h"

#include <cmath>
#include <vector>

#include "args.h"

namespace orvex::py {
namespace {

constexpr int kMaxDepth = 256;

// The place being converted, kept as a stack of steps and turned into text
// ("payload['tags'][2]") only for a message.
class Place {
 public:
  explicit Place(std::string root) : root_(std::move(root)) {}
  void push_key(std::string key) { steps_.push_back("['" + std::move(key) + "']"); }
  void push_index(Py_ssize_t i) { steps_.push_back("[" + std::to_string(i) + "]"); }
  void pop() { steps_.pop_back(); }
  int depth() const { return static_cast<int>(steps_.size()); }
  std::string text() const {
    std::string t = root_;
    for (const std::string& s : steps_) t += s;
    return t;
  }

 private:
  std::string root_;
  std::vector<std::string> steps_;
};

std::string type_name(PyObject* obj) {
  Ref name(PyType_GetName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8, static_cast<size_t>(size));
}

// A str as UTF-8; false (nothing set) when it holds lone surrogates.
bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

// Converts values; failures set `prefix + place + ": " + reason`.
class ValueReader {
 public:
  explicit ValueReader(std::string prefix, PyObject* value_error_type)
      : prefix_(std::move(prefix)), value_error_(value_error_type) {}

  bool fail(PyObject* type, const Place& place, const std::string& reason) const {
    raise_message(type == PyExc_ValueError ? value_error_ : type, prefix_ + place.text() + ": " + reason);
    return false;
  }

  bool key(PyObject* k, const Place& place, std::string& out) const {
    if (!PyUnicode_Check(k)) return fail(PyExc_TypeError, place, "keys must be str, not '" + type_name(k) + "'");
    if (!utf8_of(k, out)) return fail(PyExc_ValueError, place, "a key is not valid UTF-8 (lone surrogate)");
    return true;
  }

  bool value(PyObject* obj, Place& place, Json& out) const {
    if (place.depth() > kMaxDepth) {
      return fail(PyExc_ValueError, place, "nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
    if (obj == Py_None) {
      out = nullptr;
    } else if (PyBool_Check(obj)) {
      out = obj == Py_True;
    } else if (PyLong_Check(obj)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        out = v < 0 ? Json(static_cast<int64_t>(v)) : Json(static_cast<uint64_t>(v));
      } else {
        PyErr_Clear();
        const unsigned long long u = overflow > 0 ? PyLong_AsUnsignedLongLong(obj) : 0;
        if (overflow < 0 || (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          PyErr_Clear();
          return fail(PyExc_ValueError, place, "int out of range (-2**63 to 2**64-1)");
        }
        out = static_cast<uint64_t>(u);
      }
    } else if (PyFloat_Check(obj)) {
      const double d = PyFloat_AsDouble(obj);
      if (!std::isfinite(d)) {
        return fail(PyExc_ValueError, place, std::string("float ") + (std::isnan(d) ? "nan" : "inf") + " is not allowed");
      }
      out = d;
    } else if (PyUnicode_Check(obj)) {
      std::string s;
      if (!utf8_of(obj, s)) return fail(PyExc_ValueError, place, "str is not valid UTF-8 (lone surrogate)");
      out = std::move(s);
    } else if (PyDict_Check(obj)) {
      out = Json::object();
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(obj, &pos, &k, &v)) {
        std::string name;
        if (!key(k, place, name)) return false;
        place.push_key(name);
        Json member;
        if (!value(v, place, member)) return false;
        place.pop();
        out[name] = std::move(member);
      }
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
      const bool list = PyList_Check(obj);
      const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
      out = Json::array();
      for (Py_ssize_t i = 0; i < n; ++i) {
        place.push_index(i);
        Json item;
        if (!value(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i), place, item)) return false;
        place.pop();
        out.push_back(std::move(item));
      }
    } else {
      return fail(PyExc_TypeError, place,
                  "'" + type_name(obj) + "' is not allowed (None, bool, int, float, str, list, tuple or dict)");
    }
    return true;
  }

 private:
  std::string prefix_;
  PyObject* value_error_;
};

// ---- where ------------------------------------------------------------------

bool is_operator(const std::string& key) { return !key.empty() && key[0] == '$'; }

class WhereReader {
 public:
  WhereReader() : values_("invalid filter: ", PyExc_ValueError) {}

  bool fail(const Place& place, const std::string& reason) const {
    return values_.fail(PyExc_ValueError, place, reason);
  }

  // A dict of conditions (all must match); `empty_ok` only at the top.
  bool conditions(PyObject* obj, Place& place, std::optional<FilterCondition>& out) const {
    if (place.depth() > kMaxDepth) {
      return fail(place, "nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
    if (!PyDict_Check(obj)) return fail(place, "expected a dict, not '" + type_name(obj) + "'");
    if (PyDict_Size(obj) == 0 && place.depth() > 0) return fail(place, "an empty condition");
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(obj, &pos, &k, &v)) {
      std::string name;
      if (!PyUnicode_Check(k) || !utf8_of(k, name)) return fail(place, "keys must be str");
      place.push_key(name);
      std::optional<FilterCondition> one;
      const bool ok = is_operator(name) ? combinator(name, v, place, one) : field(name, v, place, one);
      if (!ok) return false;
      place.pop();
      out = out ? FilterCondition::and_(std::move(*out), std::move(*one)) : std::move(*one);
    }
    return true;
  }

 private:
  bool combinator(const std::string& op, PyObject* v, Place& place, std::optional<FilterCondition>& out) const {
    if (op == "$not") {
      std::optional<FilterCondition> inner;
      if (!conditions(v, place, inner)) return false;
      out = FilterCondition::not_(std::move(*inner));
      return true;
    }
    if (op != "$and" && op != "$or") return fail(place, "unknown operator '" + op + "' (or an operator without a field)");
    if (!PyList_Check(v) && !PyTuple_Check(v)) return fail(place, op + " needs a list of conditions");
    const bool list = PyList_Check(v);
    const Py_ssize_t n = list ? PyList_Size(v) : PyTuple_Size(v);
    if (n == 0) return fail(place, op + " needs at least one condition");
    for (Py_ssize_t i = 0; i < n; ++i) {
      place.push_index(i);
      std::optional<FilterCondition> one;
      if (!conditions(list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i), place, one)) return false;
      place.pop();
      if (!out) {
        out = std::move(one);
      } else if (op == "$and") {
        out = FilterCondition::and_(std::move(*out), std::move(*one));
      } else {
        out = FilterCondition::or_(std::move(*out), std::move(*one));
      }
    }
    return true;
  }

  bool field(const std::string& name, PyObject* v, Place& place, std::optional<FilterCondition>& out) const {
    bool any_operator = false, any_field = false;
    if (PyDict_Check(v)) {
      Py_ssize_t pos = 0;
      PyObject *k, *unused;
      while (PyDict_Next(v, &pos, &k, &unused)) {
        std::string key;
        if (PyUnicode_Check(k) && utf8_of(k, key) && is_operator(key)) {
          any_operator = true;
        } else {
          any_field = true;
        }
      }
    }
    if (any_operator && any_field) return fail(place, "a dict mixing operators and fields");
    if (!any_operator) {  // a literal: equality with the value
      Json value;
      if (!values_.value(v, place, value)) return false;
      out = FilterCondition::eq(name, std::move(value));
      return true;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *operand;
    while (PyDict_Next(v, &pos, &k, &operand)) {
      std::string op;
      utf8_of(k, op);
      place.push_key(op);
      std::optional<FilterCondition> one;
      if (!leaf(name, op, operand, place, one)) return false;
      place.pop();
      out = out ? FilterCondition::and_(std::move(*out), std::move(*one)) : std::move(*one);
    }
    return true;
  }

  bool leaf(const std::string& name, const std::string& op, PyObject* operand, Place& place,
            std::optional<FilterCondition>& out) const {
    using Make = FilterCondition (*)(std::string, Json);
    static const std::pair<const char*, Make> kCompare[] = {
        {"$eq", &FilterCondition::eq}, {"$ne", &FilterCondition::ne},   {"$gt", &FilterCondition::gt},
        {"$gte", &FilterCondition::gte}, {"$lt", &FilterCondition::lt}, {"$lte", &FilterCondition::lte},
    };
    for (const auto& [text, make] : kCompare) {
      if (op != text) continue;
      Json value;
      if (!values_.value(operand, place, value)) return false;
      out = make(name, std::move(value));
      return true;
    }
    if (op == "$in" || op == "$nin") {
      if (!PyList_Check(operand) && !PyTuple_Check(operand)) return fail(place, op + " needs a list");
      Json values;
      if (!values_.value(operand, place, values)) return false;
      std::vector<Json> list(values.begin(), values.end());
      FilterCondition in = FilterCondition::in(name, std::move(list));
      out = op == "$in" ? std::move(in) : FilterCondition::not_(std::move(in));
      return true;
    }
    if (op == "$contains") {
      std::string sub;
      if (!PyUnicode_Check(operand) || !utf8_of(operand, sub)) return fail(place, "$contains needs a str");
      out = FilterCondition::contains(name, std::move(sub));
      return true;
    }
    if (op == "$exists") {
      if (!PyBool_Check(operand)) return fail(place, "$exists needs True or False");
      FilterCondition exists = FilterCondition::exists(name);
      out = operand == Py_True ? std::move(exists) : FilterCondition::not_(std::move(exists));
      return true;
    }
    return fail(place, "unknown operator '" + op + "'");
  }

  ValueReader values_;
};

PyObject* json_to_python(const Json& j, int depth) {
  if (depth > 4 * kMaxDepth) {
    raise_message(PyExc_ValueError, "a stored payload is nested too deeply to be returned");
    return nullptr;
  }
  switch (j.type()) {
    case Json::value_t::null: Py_RETURN_NONE;
    case Json::value_t::boolean: return PyBool_FromLong(j.get<bool>() ? 1 : 0);
    case Json::value_t::number_unsigned: return PyLong_FromUnsignedLongLong(j.get<uint64_t>());
    case Json::value_t::number_integer: return PyLong_FromLongLong(j.get<int64_t>());
    case Json::value_t::number_float: return PyFloat_FromDouble(j.get<double>());
    case Json::value_t::string: {
      const std::string& s = j.get_ref<const std::string&>();
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    }
    case Json::value_t::array: {
      Ref list(PyList_New(static_cast<Py_ssize_t>(j.size())));
      if (!list) return nullptr;
      Py_ssize_t i = 0;
      for (const Json& item : j) {
        PyObject* v = json_to_python(item, depth + 1);
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), i++, v);  // steals
      }
      return list.release();
    }
    case Json::value_t::object: {
      Ref dict(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, item] : j.get_ref<const Json::object_t&>()) {
        Ref v(json_to_python(item, depth + 1));
        Ref k(v ? PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace") : nullptr);
        if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      return dict.release();
    }
    default: Py_RETURN_NONE;  // binary values never come from a payload text
  }
}

}  // namespace

bool convert_payload(PyObject* obj, const std::string& name, Payload& out) {
  out.data.clear();
  if (obj == Py_None) return true;
  Place place(name);
  ValueReader reader("", PyExc_ValueError);
  if (!PyDict_Check(obj)) {
    return reader.fail(PyExc_TypeError, place, "expected a dict or None, not '" + type_name(obj) + "'");
  }
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(obj, &pos, &k, &v)) {
    std::string key;
    if (!reader.key(k, place, key)) return false;
    place.push_key(key);
    Json value;
    if (!reader.value(v, place, value)) return false;
    place.pop();
    out.data[key] = std::move(value);
  }
  return true;
}

bool convert_where(PyObject* obj, std::optional<Filter>& out) {
  out.reset();
  if (obj == Py_None) return true;
  Place place("where");
  std::optional<FilterCondition> condition;
  if (!WhereReader().conditions(obj, place, condition)) return false;
  if (condition) out.emplace(std::move(*condition));  // an empty dict: no filter
  return true;
}

PyObject* payload_to_dict(const Payload& payload) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : payload.data) {
    Ref v(json_to_python(value, 0));
    if (!v) return nullptr;
    Ref k(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
    if (!k || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace orvex::py

// grix._core's JSON reader: JSON text to the nodes Tree.from_json gives, in
// pre-order, with yyjson doing the parse. Every label is the one Python's
// reader (json.loads, then json.dumps(value, ensure_ascii=False) per
// scalar) gives; text whose labels could differ (numbers Python refuses or
// reads as infinite, spellings of NaN it refuses, text yyjson refuses) is
// not read here: the calls return None and the caller reads it in Python,
// so results and errors stay Python's.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "yyjson.h"

namespace py = pybind11;

namespace {

// Node kinds, numbered as the JSON edit distance takes them.
enum Kind : int32_t { OBJECT = 0, ARRAY = 1, KEY = 2, LITERAL = 3 };

// Thrown where Python's reader would give another label or an error.
struct NotAsPython {};

// The fewest digits Python lets int() read, whatever sys.set_int_max_str_digits says.
constexpr size_t INT_DIGITS_ALWAYS_READ = 640;

std::string_view text_of(yyjson_val* v) { return {yyjson_get_str(v), yyjson_get_len(v)}; }

// Whether any of the 8 bytes in w is a control character, '"' or '\\'
// (the bit tricks for "has a byte less than n" and "has a zero byte").
bool needs_escape(uint64_t w) {
  constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
  const auto has_zero = [](uint64_t x) { return (x - ones) & ~x & highs; };
  return (((w - ones * 0x20) & ~w & highs) | has_zero(w ^ (ones * '"')) | has_zero(w ^ (ones * '\\'))) != 0;
}

// A string as json.dumps(s, ensure_ascii=False) writes it. Most strings
// need no escape, so they are scanned 8 bytes at a time.
void append_string(std::string& out, std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  out += '"';
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    uint64_t word;
    while (i + 8 <= s.size() && (std::memcpy(&word, s.data() + i, 8), !needs_escape(word))) i += 8;
    if (i == s.size()) break;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, start, i - start);
    start = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: out += "\\u00"; out += hex[c >> 4]; out += hex[c & 15];
    }
  }
  out.append(s, start);
  out += '"';
}

// A finite double as Python's repr writes it: the shortest digits that read
// back, in fixed notation (with a digit after the point) for decimal
// exponents -4 <= e < 16, else as d.ddde+XX with at least two exponent digits.
void append_float(std::string& out, double x) {
  char buf[40];
  const auto end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  std::string_view s(buf, static_cast<size_t>(end - buf));  // [-]d[.ddd]e(+|-)XX
  if (s.front() == '-') {
    out += '-';
    s.remove_prefix(1);
  }
  const size_t e = s.find('e');
  std::string digits(1, s[0]);
  if (e > 1) digits.append(s.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(s.data() + e + 2, s.data() + s.size(), exponent);
  if (s[e + 1] == '-') exponent = -exponent;
  const auto count = static_cast<int>(digits.size());
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (count > 1) out.append(".").append(digits, 1);
    out += exponent < 0 ? "e-" : "e+";
    if (std::abs(exponent) < 10) out += '0';
    out += std::to_string(std::abs(exponent));
  } else if (exponent < 0) {
    out.append("0.").append(static_cast<size_t>(-exponent - 1), '0').append(digits);
  } else if (count <= exponent + 1) {
    out.append(digits).append(static_cast<size_t>(exponent + 1 - count), '0').append(".0");
  } else {
    const auto point = static_cast<size_t>(exponent + 1);
    out.append(digits, 0, point).append(".").append(digits, point);
  }
}

// A number, read by yyjson as its raw text, as json.loads then json.dumps give it.
void append_number(std::string& out, std::string_view raw) {
  if (raw == "NaN" || raw == "Infinity" || raw == "-Infinity") {  // Python's spellings only
    out += raw;
    return;
  }
  const size_t sign = raw.front() == '-' ? 1 : 0;
  if (raw.size() <= sign || raw[sign] < '0' || raw[sign] > '9') throw NotAsPython{};  // "nan", "inf", ...
  if (raw.find_first_of(".eE") == std::string_view::npos) {
    // An int: JSON allows no leading zeros, so the text is Python's but for -0.
    if (raw.size() - sign > INT_DIGITS_ALWAYS_READ) throw NotAsPython{};
    out += raw == "-0" ? std::string_view("0") : raw;
    return;
  }
  double x = 0;
  const auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), x);
  // Out of range: Python reads infinity or a zero; left to it.
  if (error != std::errc{} || end != raw.data() + raw.size()) throw NotAsPython{};
  append_float(out, x);
}

using Member = std::pair<yyjson_val*, yyjson_val*>;  // key, value; a null key is dropped

// An object's members, into `out`, as a dict built by json.loads holds them:
// a repeated key keeps the place of its first occurrence and takes the last
// value. Sorting the members by key (stably) puts repeats side by side; UTF-8
// bytes compare as code points do, which is how Python sorts str.
void members_of(yyjson_val* object, bool sort_keys, std::vector<Member>& members, std::vector<uint32_t>& order,
                std::vector<Member>& out) {
  members.clear();
  order.clear();
  out.clear();
  size_t index, count;
  yyjson_val *key, *value;
  yyjson_obj_foreach(object, index, count, key, value) {
    order.push_back(static_cast<uint32_t>(members.size()));
    members.emplace_back(key, value);
  }
  const auto key_of = [&](uint32_t m) { return text_of(members[m].first); };
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key_of(a) < key_of(b); });
  for (size_t i = 0, j = 0; i < order.size(); i = j) {
    for (j = i + 1; j < order.size() && key_of(order[j]) == key_of(order[i]);) ++j;
    if (j - i == 1) continue;
    members[order[i]].second = members[order[j - 1]].second;
    for (size_t k = i + 1; k < j; ++k) members[order[k]].first = nullptr;
  }
  if (sort_keys) {
    for (const uint32_t m : order) {
      if (members[m].first) out.push_back(members[m]);
    }
  } else {
    std::copy_if(members.begin(), members.end(), std::back_inserter(out), [](const Member& m) { return m.first; });
  }
}

// Walks the document in pre-order, handing each node to sink.node(parent, kind, label).
template <class Sink>
void walk(yyjson_doc* doc, bool sort_keys, Sink& sink) {
  yyjson_val* root = yyjson_doc_get_root(doc);
  sink.reserve(yyjson_doc_get_val_count(doc));  // at least the nodes: a member is two values
  struct Item {
    yyjson_val* key;  // set for a member's node, whose one child is value
    yyjson_val* value;
    int32_t parent;
  };
  std::vector<Item> stack{{nullptr, root, -1}};
  std::vector<Member> members, kept;
  std::vector<uint32_t> order;
  std::string label;
  int32_t next = 0;
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    const int32_t node = next++;
    if (item.key != nullptr) {
      sink.node(item.parent, KEY, text_of(item.key));
      stack.push_back({nullptr, item.value, node});
      continue;
    }
    yyjson_val* v = item.value;
    const size_t first_child = stack.size();
    label.clear();
    switch (yyjson_get_type(v)) {
      case YYJSON_TYPE_OBJ:
        sink.node(item.parent, OBJECT, "{}");
        members_of(v, sort_keys, members, order, kept);
        for (const auto& [key, value] : kept) stack.push_back({key, value, node});
        break;
      case YYJSON_TYPE_ARR: {
        sink.node(item.parent, ARRAY, "[]");
        size_t index, count;
        yyjson_val* element;
        yyjson_arr_foreach(v, index, count, element) stack.push_back({nullptr, element, node});
        break;
      }
      case YYJSON_TYPE_STR:
        append_string(label, text_of(v));
        sink.node(item.parent, LITERAL, label);
        break;
      case YYJSON_TYPE_RAW:  // a number
        append_number(label, {yyjson_get_raw(v), yyjson_get_len(v)});
        sink.node(item.parent, LITERAL, label);
        break;
      case YYJSON_TYPE_BOOL: sink.node(item.parent, LITERAL, yyjson_get_bool(v) ? "true" : "false"); break;
      case YYJSON_TYPE_NULL: sink.node(item.parent, LITERAL, "null"); break;
      default: throw NotAsPython{};
    }
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_child), stack.end());  // first child on top
  }
}

struct FreeDocument {
  void operator()(yyjson_doc* doc) const { yyjson_doc_free(doc); }
};
using Document = std::unique_ptr<yyjson_doc, FreeDocument>;

// The document of a str, or null where yyjson or this reader cannot read it
// as Python does (a str with lone surrogates has no UTF-8 at all).
Document parse(const py::str& text) {
  py::object utf8;  // a temporary copy, so that no UTF-8 is cached on the caller's str
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyUnicode_IS_ASCII(text.ptr())) {
    data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  } else {
    utf8 = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(text.ptr()));
    if (!utf8) {
      PyErr_Clear();
      return nullptr;
    }
    data = PyBytes_AS_STRING(utf8.ptr());
    size = PyBytes_GET_SIZE(utf8.ptr());
  }
  const yyjson_read_flag flags = YYJSON_READ_NUMBER_AS_RAW | YYJSON_READ_ALLOW_INF_AND_NAN;
  Document doc(yyjson_read_opts(const_cast<char*>(data), static_cast<size_t>(size), flags, nullptr, nullptr));
  if (doc && yyjson_doc_get_val_count(doc.get()) >= static_cast<size_t>(INT32_MAX)) return nullptr;
  return doc;
}

py::array_t<int32_t> to_array(const std::vector<int32_t>& values) {
  return py::array_t<int32_t>(static_cast<py::ssize_t>(values.size()), values.data());
}

// Labels as Python str; the keys of records repeat, so each distinct key is made once.
struct LabelSink {
  std::vector<int32_t> parents, kinds;
  std::vector<py::object> labels;
  std::unordered_map<std::string_view, py::object> keys;  // views into the document
  py::object object_label = py::str("{}"), array_label = py::str("[]");

  void reserve(size_t n) {
    parents.reserve(n);
    kinds.reserve(n);
    labels.reserve(n);
  }

  void node(int32_t parent, Kind kind, std::string_view label) {
    parents.push_back(parent);
    kinds.push_back(kind);
    if (kind == OBJECT) {
      labels.push_back(object_label);
    } else if (kind == ARRAY) {
      labels.push_back(array_label);
    } else if (kind == KEY) {
      auto& made = keys[label];
      if (!made) made = decode(label);
      labels.push_back(made);
    } else {
      labels.push_back(decode(label));
    }
  }

  static py::object decode(std::string_view s) {
    auto made = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    if (!made) throw py::error_already_set();
    return made;
  }
};

py::object read_json(const py::str& text, bool sort_keys) {
  const Document doc = parse(text);
  if (!doc) return py::none();
  LabelSink sink;
  try {
    walk(doc.get(), sort_keys, sink);
  } catch (const NotAsPython&) {
    return py::none();
  }
  py::tuple labels(sink.labels.size());
  for (size_t v = 0; v < sink.labels.size(); ++v) {
    PyTuple_SET_ITEM(labels.ptr(), static_cast<Py_ssize_t>(v), sink.labels[v].release().ptr());
  }
  return py::make_tuple(labels, to_array(sink.parents), to_array(sink.kinds));
}

// One numbering of (kind, label) for every tree of a call, as the JSON edit
// distance takes labels: documents read from text get theirs without a
// Python object per node, trees read elsewhere by their labels.
class LabelCodes {
 public:
  py::object read(const py::str& text, bool sort_keys) {
    const Document doc = parse(text);
    if (!doc) return py::none();
    Sink sink{this, {}, {}, {}};
    try {
      walk(doc.get(), sort_keys, sink);
    } catch (const NotAsPython&) {
      return py::none();
    }
    return py::make_tuple(to_array(sink.parents), to_array(sink.kinds), to_array(sink.codes));
  }

  py::array_t<int32_t> encode(const py::array_t<int32_t, py::array::c_style | py::array::forcecast>& kinds,
                              const py::sequence& labels) {
    const auto n = static_cast<size_t>(py::len(labels));
    if (static_cast<size_t>(kinds.size()) != n) throw py::value_error("kinds and labels differ in length");
    std::vector<int32_t> codes(n);
    for (size_t v = 0; v < n; ++v) {
      // surrogatepass: a label with lone surrogates still has one byte string of its own
      py::object utf8 = py::reinterpret_steal<py::object>(
          PyUnicode_AsEncodedString(py::str(labels[v]).ptr(), "utf-8", "surrogatepass"));
      if (!utf8) throw py::error_already_set();
      codes[v] = code(static_cast<Kind>(kinds.at(static_cast<py::ssize_t>(v))),
                      {PyBytes_AS_STRING(utf8.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.ptr()))});
    }
    return to_array(codes);
  }

 private:
  struct Sink {
    LabelCodes* owner;
    std::vector<int32_t> parents, kinds, codes;
    void reserve(size_t n) {
      parents.reserve(n);
      kinds.reserve(n);
      codes.reserve(n);
    }
    void node(int32_t parent, Kind kind, std::string_view label) {
      parents.push_back(parent);
      kinds.push_back(kind);
      codes.push_back(owner->code(kind, label));
    }
  };

  int32_t code(Kind kind, std::string_view label) {
    key_.assign(1, static_cast<char>(kind)).append(label);
    const auto found = codes_.find(key_);
    if (found != codes_.end()) return found->second;
    return codes_.emplace(key_, static_cast<int32_t>(codes_.size())).first->second;
  }

  std::unordered_map<std::string, int32_t> codes_;
  std::string key_;
};

}  // namespace

void register_json_reader(py::module_& m) {
  m.def("read_json", &read_json, py::arg("text"), py::arg("sort_keys"),
        "(labels, parents, kinds) of JSON text as grix.readers.read_json gives them, "
        "or None where Python's json must read it.");
  py::class_<LabelCodes>(m, "JsonLabelCodes",
                         "One numbering of (kind, label) across the JSON trees of a call.")
      .def(py::init<>())
      .def("read", &LabelCodes::read, py::arg("text"), py::arg("sort_keys"),
           "(parents, kinds, codes) of JSON text, or None where Python's json must read it.")
      .def("encode", &LabelCodes::encode, py::arg("kinds"), py::arg("labels"), "The codes of a tree's labels.");
}

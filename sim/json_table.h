// JSON objects described by a table of their keys. One table (a Format) says for every key of an
// object its value's format and range, where the value lives, whether the key is needed, which objects
// may have it and when it is written; ReadObject reads and checks an object with the table and
// WriteObject writes one with it, so reading and writing cannot drift apart, and a key added to a
// table is read and written without further code. Reading never throws: the first fault is kept as a
// message naming the file and the place (a JSON pointer).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sim/hex.h"

namespace fcp::sim::json_table {

using nlohmann::json;

// Reads values out of the document, remembering the first thing that is wrong and where.
class JsonReader {
 public:
  explicit JsonReader(std::string file) : file_(std::move(file)) {}

  const std::string& Error() const { return error_; }

  bool Fail(const std::string& place, const std::string& what) {
    if (error_.empty()) error_ = file_ + ": " + (place.empty() ? "/" : place) + ": " + what;
    return false;
  }

  // A JSON integer, or a string "0x..." of hex digits, within [min, max].
  std::optional<uint64_t> Number(const json& value, const std::string& place, uint64_t min, uint64_t max) {
    uint64_t n = 0;
    if (value.is_number_unsigned()) {
      n = value.get<uint64_t>();
    } else if (value.is_number_integer() && value.get<int64_t>() == 0) {
      n = 0;  // -0: the reader keeps the sign of a zero as a signed integer
    } else if (value.is_number_integer()) {
      Fail(place, std::to_string(value.get<int64_t>()) + " is out of range " + Range(min, max));
      return std::nullopt;
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      if (text.size() < 3 || text.size() > 18 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
          text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) {
        Fail(place, "must be a number or a \"0x...\" hex string");
        return std::nullopt;
      }
      n = std::stoull(text.substr(2), nullptr, 16);
    } else {
      Fail(place, "must be a number or a \"0x...\" hex string");
      return std::nullopt;
    }
    if (n < min || n > max) {
      Fail(place, ValueText(value) + " is out of range " + Range(min, max));
      return std::nullopt;
    }
    return n;
  }

  std::optional<std::string> Text(const json& value, const std::string& place, size_t max_length) {
    if (!value.is_string()) {
      Fail(place, "must be a string");
      return std::nullopt;
    }
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > max_length) {
      Fail(place, "is longer than " + std::to_string(max_length) + " characters");
      return std::nullopt;
    }
    return text;
  }

  std::optional<bool> Bool(const json& value, const std::string& place) {
    if (!value.is_boolean()) {
      Fail(place, "must be true or false");
      return std::nullopt;
    }
    return value.get<bool>();
  }

  // Hex bytes; `exact` when nonzero, else between min and max bytes.
  std::optional<Bytes> HexBytes(const json& value, const std::string& place, size_t min, size_t max, size_t exact = 0) {
    if (!value.is_string()) {
      Fail(place, "must be a string of hex bytes");
      return std::nullopt;
    }
    auto bytes = ParseHexBytes(value.get_ref<const std::string&>());
    if (!bytes) {
      Fail(place, "must be hex bytes (pairs of hex digits, spaces allowed)");
      return std::nullopt;
    }
    if (exact && bytes->size() != exact) {
      Fail(place, "holds " + std::to_string(bytes->size()) + " bytes, must hold " + std::to_string(exact));
      return std::nullopt;
    }
    if (!exact && (bytes->size() < min || bytes->size() > max)) {
      Fail(place, "holds " + std::to_string(bytes->size()) + " bytes, must hold " + std::to_string(min) + " to " +
                      std::to_string(max));
      return std::nullopt;
    }
    return bytes;
  }

  // One of the names in `names`.
  template <class T>
  std::optional<T> Choice(const json& value, const std::string& place, const std::map<std::string, T>& names) {
    if (value.is_string()) {
      auto it = names.find(value.get<std::string>());
      if (it != names.end()) return it->second;
    }
    std::string list;
    for (const auto& [name, v] : names) list += (list.empty() ? "" : ", ") + name;
    Fail(place, "must be one of " + list);
    return std::nullopt;
  }

 private:
  static std::string Range(uint64_t min, uint64_t max) { return std::to_string(min) + ".." + std::to_string(max); }
  static std::string ValueText(const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
  }

  std::string file_;
  std::string error_;
};

// One JSON value: how it is read (checked; the reader keeps the first fault) and written back.
template <class T>
struct ValueFormat {
  std::function<std::optional<T>(JsonReader&, const json&, const std::string&)> read;
  std::function<json(const T&)> write;
};

// A JSON integer or "0x..." text within [min, max], written as a number.
template <class T>
ValueFormat<T> Integer(uint64_t min, uint64_t max) {
  return {[min, max](JsonReader& r, const json& value, const std::string& place) -> std::optional<T> {
            auto n = r.Number(value, place, min, max);
            if (!n) return std::nullopt;
            return static_cast<T>(*n);
          },
          [](const T& value) { return json(value); }};
}

// Read as Integer, written as "0x" and upper-case hex digits: four up to 16 bits, eight above.
template <class T>
ValueFormat<T> HexInteger(uint64_t min, uint64_t max) {
  return {Integer<T>(min, max).read, [](const T& value) {
            char text[16];
            std::snprintf(text, sizeof text, sizeof(T) <= 2 ? "0x%04X" : "0x%08X", static_cast<unsigned>(value));
            return json(text);
          }};
}

// The same format with one more rule for the values it reads: `why` when `rule` does not hold.
template <class T>
ValueFormat<T> Checked(ValueFormat<T> format, bool (*rule)(const T&), std::string why) {
  format.read = [read = format.read, rule, why](JsonReader& r, const json& value,
                                                const std::string& place) -> std::optional<T> {
    std::optional<T> v = read(r, value, place);
    if (v && !rule(*v)) {
      r.Fail(place, why);
      return std::nullopt;
    }
    return v;
  };
  return format;
}

inline ValueFormat<std::string> Text(size_t max_length) {
  return {[max_length](JsonReader& r, const json& value, const std::string& place) {
            return r.Text(value, place, max_length);
          },
          [](const std::string& text) { return json(text); }};
}

inline ValueFormat<bool> Flag() {
  return {[](JsonReader& r, const json& value, const std::string& place) { return r.Bool(value, place); },
          [](const bool& on) { return json(on); }};
}

// Hex bytes, from `min` to `max` of them.
inline ValueFormat<Bytes> HexBytes(size_t min, size_t max) {
  return {[min, max](JsonReader& r, const json& value, const std::string& place) {
            return r.HexBytes(value, place, min, max);
          },
          [](const Bytes& bytes) { return json(HexString(bytes)); }};
}

inline ValueFormat<Bytes> HexBytesOfSize(size_t size) {
  return {[size](JsonReader& r, const json& value, const std::string& place) {
            return r.HexBytes(value, place, 0, 0, size);
          },
          [](const Bytes& bytes) { return json(HexString(bytes)); }};
}

// One of the names in `names`; a value without a name is written as `otherwise`.
template <class T>
ValueFormat<T> Choice(const std::map<std::string, T>& names, const char* otherwise = "") {
  return {
      [&names](JsonReader& r, const json& value, const std::string& place) { return r.Choice(value, place, names); },
      [&names, otherwise](const T& value) {
        for (const auto& [name, v] : names)
          if (v == value) return json(name);
        return json(otherwise);
      }};
}

// Settings kept as given: any JSON object.
inline ValueFormat<json> FreeFormObject() {
  return {[](JsonReader& r, const json& value, const std::string& place) -> std::optional<json> {
            if (!value.is_object()) {
              r.Fail(place, "must be an object");
              return std::nullopt;
            }
            return value;
          },
          [](const json& value) { return value; }};
}

// How many items an array may hold, and why it is refused otherwise.
struct ArrayLimits {
  size_t min = 0;
  size_t max = SIZE_MAX;
  std::string wrong;     // no array, or fewer than `min` items
  std::string too_many;  // more than `max` items; empty: `wrong`
};

// Checks the array against `limits`, then hands each item with its place to `read` until one fails.
template <class ReadItem>
bool ReadArray(JsonReader& r, const json& value, const std::string& place, const ArrayLimits& limits, ReadItem read) {
  if (!value.is_array() || value.size() < limits.min) return r.Fail(place, limits.wrong);
  if (value.size() > limits.max) return r.Fail(place, limits.too_many.empty() ? limits.wrong : limits.too_many);
  for (size_t i = 0; i < value.size(); ++i)
    if (!read(value[i], place + "/" + std::to_string(i))) return false;
  return true;
}

template <class T>
ValueFormat<std::vector<T>> ArrayOf(ValueFormat<T> item, ArrayLimits limits) {
  return {[item, limits](JsonReader& r, const json& value, const std::string& place) -> std::optional<std::vector<T>> {
            std::vector<T> items;
            const bool ok = ReadArray(r, value, place, limits, [&](const json& v, const std::string& at) {
              std::optional<T> read = item.read(r, v, at);
              if (read) items.push_back(std::move(*read));
              return read.has_value();
            });
            if (!ok) return std::nullopt;
            return items;
          },
          [item](const std::vector<T>& items) {
            json array = json::array();
            for (const T& v : items) array.push_back(item.write(v));
            return array;
          }};
}

// One key of an object whose values are `Target`s.
template <class Target>
struct Field {
  std::string key;
  // Reads the key's value into the target; false: refused (the reader holds why).
  std::function<bool(JsonReader&, const json&, const std::string&, Target&)> read;
  // The key's value in a saved file; none: the key is left out.
  std::function<std::optional<json>(const Target&)> write;
  std::string needed;  // why an object without the key is refused; empty: the key may be left out
  // Which objects may have the key at all (null: every one); the others are refused with `not_allowed`
  // when they have it, and saved without it.
  std::function<bool(const Target&)> allowed;
  std::string not_allowed;
  std::string excludes;  // a key that may not be given together with this one
  // The key's value decides which other keys are allowed: they are checked as soon as it is read.
  bool decides = false;

  Field Needed(std::string why) && {
    needed = std::move(why);
    return std::move(*this);
  }
  Field SavedWhen(std::function<bool(const Target&)> rule) && {
    write = [write = std::move(write), rule = std::move(rule)](const Target& target) -> std::optional<json> {
      if (!rule(target)) return std::nullopt;
      return write(target);
    };
    return std::move(*this);
  }
  Field OnlyWhen(std::function<bool(const Target&)> rule, std::string why) && {
    allowed = std::move(rule);
    not_allowed = std::move(why);
    return std::move(*this);
  }
  Field Excludes(std::string other) && {
    excludes = std::move(other);
    return std::move(*this);
  }
  Field Decides() && {
    decides = true;
    return std::move(*this);
  }
};

// The keys of one kind of object, in the order they are read.
template <class Target>
using Format = std::vector<Field<Target>>;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// A key read with `format` and handed to `set` (which may refuse the value: then it takes the reader
// and the place too); saved as `get` gives it, left out when that is an empty optional.
template <class Target, class T, class Get, class Set>
Field<Target> Key(std::string key, ValueFormat<T> format, Get get, Set set) {
  Field<Target> field;
  field.key = std::move(key);
  field.read = [format, set](JsonReader& r, const json& value, const std::string& place, Target& target) {
    std::optional<T> v = format.read(r, value, place);
    if (!v) return false;
    if constexpr (std::is_invocable_r_v<bool, Set, JsonReader&, const std::string&, Target&, T>) {
      return set(r, place, target, std::move(*v));
    } else {
      set(target, std::move(*v));
      return true;
    }
  };
  field.write = [format, get](const Target& target) -> std::optional<json> {
    auto v = get(target);
    if constexpr (IsOptional<decltype(v)>::value) {
      if (!v) return std::nullopt;
      return format.write(*v);
    } else {
      return format.write(v);
    }
  };
  return field;
}

// A key kept in a member of the target (a member pointer, or a function giving the member); an
// optional member is saved only when it holds a value.
template <class Target, class T, class Member>
Field<Target> Stored(std::string key, ValueFormat<T> format, Member member) {
  return Key<Target>(
      std::move(key), std::move(format), [member](const Target& target) { return std::invoke(member, target); },
      [member](Target& target, T value) { std::invoke(member, target) = std::move(value); });
}

// Reads an object with its format, refused at the first fault: an unknown key first, then the keys
// in the table's order. A needed key is missed at its place in the table; needed keys listed one
// after the other are checked together before the first of them is read.
template <class Target>
bool ReadObject(JsonReader& r, const json& value, const std::string& place, const Format<Target>& format,
                Target& target) {
  if (!value.is_object()) return r.Fail(place, "must be an object");
  auto field_of = [&](const std::string& key) -> const Field<Target>* {
    for (const Field<Target>& field : format)
      if (field.key == key) return &field;
    return nullptr;
  };
  for (const auto& item : value.items())
    if (!field_of(item.key())) return r.Fail(place + "/" + item.key(), "unknown key");
  auto allowed = [&](const Field<Target>& field) {
    return !field.allowed || field.allowed(target) || r.Fail(place + "/" + field.key, field.not_allowed);
  };
  for (size_t i = 0; i < format.size(); ++i) {
    const Field<Target>& field = format[i];
    if (!field.needed.empty() && (i == 0 || format[i - 1].needed.empty()))
      for (size_t j = i; j < format.size() && !format[j].needed.empty(); ++j)
        if (!value.contains(format[j].key)) return r.Fail(place, format[j].needed);
    auto it = value.find(field.key);
    if (it == value.end()) continue;
    if (!field.excludes.empty() && value.contains(field.excludes))
      return r.Fail(place + "/" + field.excludes, "give either " + field.key + " or " + field.excludes + ", not both");
    if (!allowed(field) || !field.read(r, *it, place + "/" + field.key, target)) return false;
    if (field.decides)
      for (const auto& item : value.items())
        if (!allowed(*field_of(item.key()))) return false;
  }
  return true;
}

template <class Target>
json WriteObject(const Format<Target>& format, const Target& target) {
  json object = json::object();
  for (const Field<Target>& field : format) {
    if (field.allowed && !field.allowed(target)) continue;
    if (std::optional<json> value = field.write(target)) object[field.key] = std::move(*value);
  }
  return object;
}

// An object inside the target, with its own table; left out of a saved file when it holds nothing.
template <class Target, class Inner, class Member>
Field<Target> Nested(std::string key, const Format<Inner>& format, Member member) {
  Field<Target> field;
  field.key = std::move(key);
  field.read = [&format, member](JsonReader& r, const json& value, const std::string& place, Target& target) {
    return ReadObject(r, value, place, format, std::invoke(member, target));
  };
  field.write = [&format, member](const Target& target) -> std::optional<json> {
    json object = WriteObject(format, std::invoke(member, target));
    if (object.empty()) return std::nullopt;
    return object;
  };
  return field;
}

// An array of objects with their own table, each handed to `add` as soon as it is read (which may
// refuse it at its place); `start` gives the value an item is read into, `items` what is saved (none:
// the key is left out).
template <class Target, class Item, class Start, class Add, class Items>
Field<Target> Each(std::string key, const Format<Item>& format, ArrayLimits limits, Start start, Add add, Items items) {
  Field<Target> field;
  field.key = std::move(key);
  field.read = [&format, limits, start, add](JsonReader& r, const json& value, const std::string& place,
                                             Target& target) {
    return ReadArray(r, value, place, limits, [&](const json& v, const std::string& at) {
      Item item = start(target);
      return ReadObject(r, v, at, format, item) && add(r, at, target, std::move(item));
    });
  };
  field.write = [&format, items](const Target& target) -> std::optional<json> {
    std::optional<std::vector<Item>> saved = items(target);
    if (!saved) return std::nullopt;
    json array = json::array();
    for (const Item& item : *saved) array.push_back(WriteObject(format, item));
    return array;
  };
  return field;
}

}  // namespace fcp::sim::json_table

#include "sim/scenario.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <optional>
#include <ostream>
#include <streambuf>
#include <type_traits>

#include "fcp/maker_ids.h"
#include "sim/bounded_json.h"
#include "sim/devices.h"

namespace fcp::sim {

using nlohmann::json;

namespace {

constexpr size_t kMaxScenarioBytes = 4 * 1024 * 1024;
// A scenario needs 6 levels; "views" are free-form, but not without end.
constexpr size_t kMaxNesting = 64;
// What a run may add to a device's saved state: a word written to a chip register (one more memory
// run), a longer commit count, a device plugged in or out. The saved state of what loads must load
// again after any run.
constexpr size_t kStateGrowthPerDevice = 256;

std::string TooLarge(const std::string& name) {
  return name + ": file is larger than " + std::to_string(kMaxScenarioBytes) + " bytes";
}

// libusb's error codes by name (their values are part of libusb's ABI).
const std::map<std::string, int>& LibusbErrors() {
  static const std::map<std::string, int> errors = {
      {"LIBUSB_ERROR_IO", -1},        {"LIBUSB_ERROR_INVALID_PARAM", -2}, {"LIBUSB_ERROR_ACCESS", -3},
      {"LIBUSB_ERROR_NO_DEVICE", -4}, {"LIBUSB_ERROR_NOT_FOUND", -5},     {"LIBUSB_ERROR_BUSY", -6},
      {"LIBUSB_ERROR_TIMEOUT", -7},   {"LIBUSB_ERROR_OVERFLOW", -8},      {"LIBUSB_ERROR_PIPE", -9},
      {"LIBUSB_ERROR_INTERRUPTED", -10}, {"LIBUSB_ERROR_NO_MEM", -11},    {"LIBUSB_ERROR_NOT_SUPPORTED", -12},
      {"LIBUSB_ERROR_OTHER", -99}};
  return errors;
}

const std::map<std::string, DeviceKind>& Kinds() {
  static const std::map<std::string, DeviceKind> kinds = {{"chip_camera", DeviceKind::kChipCamera},
                                                          {"foreign_camera", DeviceKind::kForeignCamera},
                                                          {"foreign_dfu", DeviceKind::kForeignDfu},
                                                          {"hub", DeviceKind::kHub}};
  return kinds;
}

const std::map<std::string, DfuDescriptorPlace>& Places() {
  static const std::map<std::string, DfuDescriptorPlace> places = {
      {"configuration", DfuDescriptorPlace::kConfiguration},
      {"interface", DfuDescriptorPlace::kInterface},
      {"on_request", DfuDescriptorPlace::kOnRequest},
      {"none", DfuDescriptorPlace::kNowhere}};
  return places;
}

const std::array<const char*, 5> kStringRoles = {"manufacturer", "product", "serial", "video_interface",
                                                 "dfu_interface"};

std::string Hex16(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", v);
  return text;
}
std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// Reads values out of the document, remembering the first thing that is wrong and where.
class Reader {
 public:
  explicit Reader(std::string file) : file_(std::move(file)) {}

  const std::string& error() const { return error_; }

  bool Fail(const std::string& place, const std::string& what) {
    if (error_.empty()) error_ = file_ + ": " + (place.empty() ? "/" : place) + ": " + what;
    return false;
  }

  // A JSON integer, or a string "0x..." of hex digits, within [min, max].
  std::optional<uint64_t> Number(const json& value, const std::string& place, uint64_t min, uint64_t max) {
    uint64_t n = 0;
    if (value.is_number_unsigned()) {
      n = value.get<uint64_t>();
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
  std::optional<Bytes> HexBytes(const json& value, const std::string& place, size_t min, size_t max,
                                size_t exact = 0) {
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

// ---------------------------------------------------------------------------------------------
// How the file is written down. Every object of the file has one table of its keys (a Format): the
// loader reads and checks with it and the writer saves with it, so the two cannot drift apart. A key
// added to a table is loaded and saved without further code.

// One JSON value: how it is read (checked; the reader keeps the first fault) and written back.
template <class T>
struct ValueFormat {
  std::function<std::optional<T>(Reader&, const json&, const std::string&)> read;
  std::function<json(const T&)> write;
};

// A JSON integer or "0x..." text within [min, max], written as a number.
template <class T>
ValueFormat<T> Integer(uint64_t min, uint64_t max) {
  return {[min, max](Reader& r, const json& value, const std::string& place) -> std::optional<T> {
            auto n = r.Number(value, place, min, max);
            if (!n) return std::nullopt;
            return static_cast<T>(*n);
          },
          [](const T& value) { return json(value); }};
}

// Read as Integer, written as "0x" text: four hex digits up to 16 bits, eight above.
template <class T>
ValueFormat<T> HexInteger(uint64_t min, uint64_t max) {
  return {Integer<T>(min, max).read, [](const T& value) { return json(sizeof(T) <= 2 ? Hex16(value) : Hex32(value)); }};
}

// The same format with one more rule for the values it reads: `why` when `rule` does not hold.
template <class T>
ValueFormat<T> Checked(ValueFormat<T> format, bool (*rule)(const T&), std::string why) {
  format.read = [read = format.read, rule, why](Reader& r, const json& value,
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

ValueFormat<std::string> Text(size_t max_length) {
  return {[max_length](Reader& r, const json& value, const std::string& place) {
            return r.Text(value, place, max_length);
          },
          [](const std::string& text) { return json(text); }};
}

ValueFormat<bool> Flag() {
  return {[](Reader& r, const json& value, const std::string& place) { return r.Bool(value, place); },
          [](const bool& on) { return json(on); }};
}

// Hex bytes, from `min` to `max` of them.
ValueFormat<Bytes> HexBytes(size_t min, size_t max) {
  return {[min, max](Reader& r, const json& value, const std::string& place) {
            return r.HexBytes(value, place, min, max);
          },
          [](const Bytes& bytes) { return json(HexString(bytes)); }};
}

ValueFormat<Bytes> HexBytesOfSize(size_t size) {
  return {[size](Reader& r, const json& value, const std::string& place) {
            return r.HexBytes(value, place, 0, 0, size);
          },
          [](const Bytes& bytes) { return json(HexString(bytes)); }};
}

// One of the names in `names`; a value without a name is written as `otherwise`.
template <class T>
ValueFormat<T> Choice(const std::map<std::string, T>& names, const char* otherwise = "") {
  return {[&names](Reader& r, const json& value, const std::string& place) { return r.Choice(value, place, names); },
          [&names, otherwise](const T& value) {
            for (const auto& [name, v] : names)
              if (v == value) return json(name);
            return json(otherwise);
          }};
}

// Settings kept as given: any JSON object.
ValueFormat<json> FreeFormObject() {
  return {[](Reader& r, const json& value, const std::string& place) -> std::optional<json> {
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
bool ReadArray(Reader& r, const json& value, const std::string& place, const ArrayLimits& limits, ReadItem read) {
  if (!value.is_array() || value.size() < limits.min) return r.Fail(place, limits.wrong);
  if (value.size() > limits.max) return r.Fail(place, limits.too_many.empty() ? limits.wrong : limits.too_many);
  for (size_t i = 0; i < value.size(); ++i)
    if (!read(value[i], place + "/" + std::to_string(i))) return false;
  return true;
}

template <class T>
ValueFormat<std::vector<T>> ArrayOf(ValueFormat<T> item, ArrayLimits limits) {
  return {[item, limits](Reader& r, const json& value, const std::string& place) -> std::optional<std::vector<T>> {
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
  std::function<bool(Reader&, const json&, const std::string&, Target&)> read;
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
  field.read = [format, set](Reader& r, const json& value, const std::string& place, Target& target) {
    std::optional<T> v = format.read(r, value, place);
    if (!v) return false;
    if constexpr (std::is_invocable_r_v<bool, Set, Reader&, const std::string&, Target&, T>) {
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
bool ReadObject(Reader& r, const json& value, const std::string& place, const Format<Target>& format,
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
  field.read = [&format, member](Reader& r, const json& value, const std::string& place, Target& target) {
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
  field.read = [&format, limits, start, add](Reader& r, const json& value, const std::string& place, Target& target) {
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

// ---------------------------------------------------------------------------------------------
// The objects of a scenario file and their tables.

// A string descriptor: plain text, or {"text", "present", "declared_length"}; saved as the object.
const Format<StringSpec>& StringFormat() {
  static const Format<StringSpec> format = {
      Stored<StringSpec>("text", Text(126), &StringSpec::text),
      Stored<StringSpec>("present", Flag(), &StringSpec::present),
      Stored<StringSpec>("declared_length", Integer<uint8_t>(0, 255), &StringSpec::declared_length),
  };
  return format;
}

const Format<DeviceSpec>& DfuFormat() {
  static const std::map<std::string, bool> modes = {{"runtime", false}, {"dfu", true}};
  static const Format<DeviceSpec> format = {
      Stored<DeviceSpec>("present", Flag(), &DeviceSpec::has_dfu),
      Stored<DeviceSpec>("mode", Choice(modes), &DeviceSpec::dfu_mode),
      Stored<DeviceSpec>("protocol", Integer<uint8_t>(0, 0xFF), &DeviceSpec::dfu_protocol),
      Stored<DeviceSpec>("alt_settings", Integer<uint8_t>(1, 4), &DeviceSpec::dfu_alt_settings),
      Stored<DeviceSpec>("functional_descriptor", Choice(Places()), &DeviceSpec::dfu_descriptor),
      Stored<DeviceSpec>("descriptor_length", Integer<uint8_t>(2, 9), &DeviceSpec::dfu_descriptor_length),
      Stored<DeviceSpec>("version", HexInteger<uint16_t>(0, 0xFFFF), &DeviceSpec::dfu_version),
      Stored<DeviceSpec>("transfer_size", Integer<uint16_t>(0, 0xFFFF), &DeviceSpec::dfu_transfer_size),
  };
  return format;
}

// One run of chip memory.
struct MemoryRun {
  uint32_t address = 0;
  Bytes bytes;
};

const Format<MemoryRun>& MemoryRunFormat() {
  static const Format<MemoryRun> format = {
      Stored<MemoryRun>("address", HexInteger<uint32_t>(0, 0xFFFFFFFF), &MemoryRun::address)
          .Needed("needs address and bytes"),
      Stored<MemoryRun>("bytes", HexBytes(1, 0x10000), &MemoryRun::bytes).Needed("needs address and bytes"),
  };
  return format;
}

// Memory as runs of nonzero bytes.
std::vector<MemoryRun> MemoryRuns(const Chip& chip) {
  std::vector<MemoryRun> runs;
  for (size_t r = 0; r < kMemoryMap.size(); ++r) {
    const Bytes& bytes = chip.RegionBytes(r);
    for (size_t i = 0; i < bytes.size();) {
      if (bytes[i] == 0) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < bytes.size() && bytes[end] != 0) ++end;
      runs.push_back({kMemoryMap[r].base + static_cast<uint32_t>(i), Bytes(bytes.begin() + i, bytes.begin() + end)});
      i = end;
    }
  }
  return runs;
}

// A chip: which one (family or product ID), then its state. Loading makes the chip once the product ID
// is known; saving reads `chip`.
struct ChipEntry {
  uint16_t product_id = static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0]);
  bool product_id_given = false;
  std::shared_ptr<Chip> made;
  const Chip* chip = nullptr;

  Chip& Made() {
    if (!made) {
      made = std::make_shared<Chip>(product_id);
      chip = made.get();
    }
    return *made;
  }
};

Field<ChipEntry> MemoryField() {
  return Each<ChipEntry>(
      "memory", MemoryRunFormat(), {0, SIZE_MAX, "must be an array of {\"address\", \"bytes\"}", ""},
      [](const ChipEntry&) { return MemoryRun(); },
      [](Reader& r, const std::string& place, ChipEntry& c, MemoryRun run) {
        return c.Made().WriteMemory(run.address, run.bytes) || r.Fail(place, "bytes lie outside the chip's memory map");
      },
      [](const ChipEntry& c) { return std::optional(MemoryRuns(*c.chip)); });
}

// The chip's settings are applied to a new chip in this order: product ID (or family), status
// block (whose bytes 2-3 then win over the product ID only when no product ID was given), config,
// signature, memory, then the single registers.
const Format<ChipEntry>& ChipFormat() {
  static const std::map<std::string, uint16_t> families = {
      {"VZQ2201", static_cast<uint16_t>(fcp::maker::kPidsVzq2201[0])},
      {"VZQ2202", static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0])},
      {"VZQ2203", static_cast<uint16_t>(fcp::maker::kPidsVzq2203[0])}};
  auto choose = [](ChipEntry& c, uint16_t pid) {
    c.product_id = pid;
    c.product_id_given = true;
  };
  static const Format<ChipEntry> format = {
      Key<ChipEntry>("family", Choice(families), [](const ChipEntry&) { return std::optional<uint16_t>(); }, choose)
          .Excludes("product_id"),
      Key<ChipEntry>("product_id", HexInteger<uint16_t>(0, 0xFFFF),
                     [](const ChipEntry& c) { return c.chip->product_id(); }, choose),
      Key<ChipEntry>("status_block", HexBytesOfSize(kStatusBlockSize),
                     [](const ChipEntry& c) { return Bytes(c.chip->status_block().begin(), c.chip->status_block().end()); },
                     [](ChipEntry& c, const Bytes& bytes) {
                       std::copy(bytes.begin(), bytes.end(), c.Made().status_block().begin());
                       if (c.product_id_given) c.Made().set_product_id(c.product_id);
                     }),
      Key<ChipEntry>("config", HexBytes(0, kConfigSize), [](const ChipEntry& c) { return c.chip->config(); },
                     [](ChipEntry& c, const Bytes& bytes) {
                       Bytes& config = c.Made().config();
                       std::fill(config.begin(), config.end(), 0);
                       std::copy(bytes.begin(), bytes.end(), config.begin());
                     }),
      Key<ChipEntry>("signature", HexBytesOfSize(kChipSignature.size()),
                     [](const ChipEntry& c) { return Bytes(c.chip->signature().begin(), c.chip->signature().end()); },
                     [](ChipEntry& c, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), c.Made().signature().begin()); }),
      MemoryField(),
      Key<ChipEntry>("selector", Integer<uint8_t>(0, 0xFF), [](const ChipEntry& c) { return c.chip->selector(); },
                     [](ChipEntry& c, uint8_t selector) { c.Made().set_selector(selector); }),
      Key<ChipEntry>("passthrough_word", HexInteger<uint32_t>(0, 0xFFFFFFFF),
                     [](const ChipEntry& c) { return c.chip->ReadWord(kPassthroughWordAddress); },
                     [](ChipEntry& c, uint32_t word) { c.Made().WriteWord(kPassthroughWordAddress, word); }),
      Key<ChipEntry>("commit_register", HexInteger<uint32_t>(0, 0xFFFFFFFF),
                     [](const ChipEntry& c) { return c.chip->ReadWord(kCommitRegisterAddress); },
                     [](ChipEntry& c, uint32_t word) { c.Made().WriteWord(kCommitRegisterAddress, word); }),
      Key<ChipEntry>("hardware_fault", Flag(), [](const ChipEntry& c) { return c.chip->hardware_fault(); },
                     [](ChipEntry& c, bool on) { c.Made().set_hardware_fault(on); }),
      Key<ChipEntry>("commit_count", Integer<unsigned>(0, 0xFFFFFFFF),
                     [](const ChipEntry& c) { return c.chip->commit_count(); },
                     [](ChipEntry& c, unsigned count) { c.Made().set_commit_count(count); }),
  };
  return format;
}

const Format<FaultMatch>& MatchFormat() {
  static const Format<FaultMatch> format = {
      Stored<FaultMatch>("request_type", Integer<uint8_t>(0, 0xFF), &FaultMatch::request_type),
      Stored<FaultMatch>("request", Integer<uint8_t>(0, 0xFF), &FaultMatch::request),
      Stored<FaultMatch>("value", Integer<uint16_t>(0, 0xFFFF), &FaultMatch::value),
      Stored<FaultMatch>("index", Integer<uint16_t>(0, 0xFFFF), &FaultMatch::index),
  };
  return format;
}

const Format<FaultRule>& FaultFormat() {
  static const std::map<std::string, FaultAction> actions = {{"stall", FaultAction::kStall},
                                                             {"short", FaultAction::kShort},
                                                             {"wrong_data", FaultAction::kWrongData},
                                                             {"disconnect", FaultAction::kDisconnect},
                                                             {"timeout", FaultAction::kTimeout}};
  static const Format<FaultRule> format = {
      Stored<FaultRule>("action", Choice(actions), &FaultRule::action).Needed("needs an action"),
      Stored<FaultRule>("nth", Integer<unsigned>(0, 1000000), &FaultRule::nth),
      Stored<FaultRule>("times", Integer<unsigned>(0, 1000000), &FaultRule::times),
      Stored<FaultRule>("length", Integer<uint16_t>(0, 0xFFFF), &FaultRule::length)
          .OnlyWhen([](const FaultRule& f) { return f.action == FaultAction::kShort; },
                    "only a short fault has a length"),
      Stored<FaultRule>("data", HexBytes(1, 0xFFFF), &FaultRule::data)
          .OnlyWhen([](const FaultRule& f) { return f.action == FaultAction::kWrongData; },
                    "only a wrong_data fault has data"),
      Nested<FaultRule>("match", MatchFormat(), &FaultRule::match),
  };
  return format;
}

// A device as a scenario describes it: its shape, and what the workstation keeps of it besides.
struct DeviceEntry {
  DeviceSpec shape;
  bool has_shape = true;  // false: a device assembled by hand, saved without what only a shape holds
  std::optional<std::chrono::microseconds> latency;
  bool connected = true;
  bool libusb_visible = true;
  int libusb_open_error = 0;
  std::vector<FaultRule> faults;
};

// A workstation's device as it is saved: with its place, IDs and chip as they are now.
DeviceEntry EntryOf(const UsbDevice& device, const std::vector<FaultRule>& faults) {
  DeviceEntry entry;
  entry.has_shape = device.shape != nullptr;
  if (device.shape) entry.shape = *device.shape;
  entry.shape.id = device.id();
  entry.shape.kind = device.kind();
  entry.shape.place = device.place();
  entry.shape.vendor_id = device.vendor_id();
  entry.shape.product_id = device.product_id();
  entry.shape.bcd_device = device.bcd_device();
  entry.shape.chip = device.chip;
  entry.latency = device.latency;
  entry.connected = device.connected();
  entry.libusb_visible = device.libusb_visible;
  entry.libusb_open_error = device.libusb_open_error;
  for (const FaultRule& rule : faults)
    if (rule.device == device.id()) entry.faults.push_back(rule);
  return entry;
}

bool IsDeviceId(const std::string& id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
  });
}

bool IsPacketSize0(const uint8_t& size) { return size == 8 || size == 16 || size == 32 || size == 64; }

bool IsCamera(const DeviceEntry& d) {
  return d.shape.kind == DeviceKind::kChipCamera || d.shape.kind == DeviceKind::kForeignCamera;
}
bool HasDfuFunction(const DeviceEntry& d) {
  return d.shape.kind == DeviceKind::kChipCamera || d.shape.kind == DeviceKind::kForeignDfu;
}
bool HasShape(const DeviceEntry& d) { return d.has_shape; }

// String descriptors by role; a role's value is its text alone, or the string's object.
Field<DeviceEntry> StringsField() {
  Field<DeviceEntry> field;
  field.key = "strings";
  field.read = [](Reader& r, const json& value, const std::string& place, DeviceEntry& d) {
    if (!value.is_object()) return r.Fail(place, "must be an object");
    for (const auto& item : value.items()) {
      const std::string at = place + "/" + item.key();
      if (std::find(kStringRoles.begin(), kStringRoles.end(), item.key()) == kStringRoles.end())
        return r.Fail(at, "unknown string role (manufacturer, product, serial, video_interface, dfu_interface)");
      StringSpec s;
      if (item.value().is_string()) {
        auto text = Text(126).read(r, item.value(), at);
        if (!text) return false;
        s.text = *text;
      } else if (!ReadObject(r, item.value(), at, StringFormat(), s)) {
        return false;
      }
      d.shape.strings[item.key()] = s;
    }
    return true;
  };
  field.write = [](const DeviceEntry& d) -> std::optional<json> {
    if (d.shape.strings.empty()) return std::nullopt;
    json strings = json::object();
    for (const auto& [role, s] : d.shape.strings) strings[role] = WriteObject(StringFormat(), s);
    return strings;
  };
  return std::move(field).SavedWhen(HasShape);
}

Field<DeviceEntry> ChipField() {
  return Key<DeviceEntry>(
             "chip", ValueFormat<ChipEntry>{[](Reader& r, const json& value, const std::string& place) {
                                              ChipEntry chip;
                                              if (!ReadObject(r, value, place, ChipFormat(), chip))
                                                return std::optional<ChipEntry>();
                                              chip.Made();
                                              return std::optional<ChipEntry>(std::move(chip));
                                            },
                                            [](const ChipEntry& chip) { return WriteObject(ChipFormat(), chip); }},
             [](const DeviceEntry& d) {
               std::optional<ChipEntry> chip;
               if (d.shape.chip) chip.emplace().chip = d.shape.chip.get();
               return chip;
             },
             [](DeviceEntry& d, ChipEntry chip) { d.shape.chip = std::move(chip.made); })
      .OnlyWhen([](const DeviceEntry& d) { return d.shape.kind == DeviceKind::kChipCamera; },
                "only a chip_camera has a chip");
}

const Format<DeviceEntry>& DeviceFormat() {
  auto shape = [](auto& d) -> auto& { return d.shape; };
  static const Format<DeviceEntry> format = {
      Stored<DeviceEntry>("id", Checked(Text(32), IsDeviceId, "must be 1-32 characters of letters, digits, '_', '-', '.'"),
                          [](auto& d) -> auto& { return d.shape.id; })
          .Needed("needs an id"),
      Stored<DeviceEntry>("kind", Choice(Kinds()), [](auto& d) -> auto& { return d.shape.kind; })
          .Needed("needs a kind")
          .Decides(),
      Stored<DeviceEntry>("ports", ArrayOf(Integer<uint8_t>(1, 255), {1, 7, "must be an array of 1 to 7 port numbers", ""}),
                          [](auto& d) -> auto& { return d.shape.place.ports; })
          .Needed("needs ports (the hub port path from the root)"),
      Stored<DeviceEntry>("bus", Integer<uint8_t>(1, 255), [](auto& d) -> auto& { return d.shape.place.bus; }),
      Stored<DeviceEntry>("address", Integer<uint8_t>(1, 127), [](auto& d) -> auto& { return d.shape.place.address; }),
      Stored<DeviceEntry>("vendor_id", HexInteger<uint16_t>(1, 0xFFFF), [](auto& d) -> auto& { return d.shape.vendor_id; }),
      Stored<DeviceEntry>("product_id", HexInteger<uint16_t>(1, 0xFFFF),
                          [](auto& d) -> auto& { return d.shape.product_id; }),
      Stored<DeviceEntry>("bcd_device", HexInteger<uint16_t>(0, 0xFFFF),
                          [](auto& d) -> auto& { return d.shape.bcd_device; }),
      Stored<DeviceEntry>("xu_unit_id", Integer<uint8_t>(1, 255), [](auto& d) -> auto& { return d.shape.xu_unit_id; })
          .OnlyWhen(IsCamera, "this kind of device is no camera")
          .SavedWhen(HasShape),
      Stored<DeviceEntry>("max_packet_size0", Checked(Integer<uint8_t>(8, 64), IsPacketSize0, "must be 8, 16, 32 or 64"),
                          [](auto& d) -> auto& { return d.shape.max_packet_size0; })
          .SavedWhen(HasShape),
      Nested<DeviceEntry>("dfu", DfuFormat(), shape)
          .OnlyWhen(HasDfuFunction, "this kind of device has no DFU function")
          .SavedWhen(HasShape),
      StringsField(),
      Stored<DeviceEntry>("langids",
                          ArrayOf(HexInteger<uint16_t>(0, 0xFFFF), {0, 126, "must be an array of up to 126 language IDs", ""}),
                          [](auto& d) -> auto& { return d.shape.langids; })
          .Excludes("langid_descriptor")
          .SavedWhen([](const DeviceEntry& d) { return d.has_shape && !d.shape.langid_descriptor; }),
      Stored<DeviceEntry>("langid_descriptor", HexBytes(0, 255), [](auto& d) -> auto& { return d.shape.langid_descriptor; })
          .SavedWhen(HasShape),
      ChipField(),
      Stored<DeviceEntry>("views", FreeFormObject(), [](auto& d) -> auto& { return d.shape.views; })
          .SavedWhen([](const DeviceEntry& d) { return d.has_shape && !d.shape.views.empty(); }),
      Key<DeviceEntry>("latency_us", Integer<int64_t>(0, 60000000),
                       [](const DeviceEntry& d) {
                         return d.latency ? std::optional<int64_t>(d.latency->count()) : std::nullopt;
                       },
                       [](DeviceEntry& d, int64_t us) { d.latency = std::chrono::microseconds(us); }),
      Stored<DeviceEntry>("connected", Flag(), &DeviceEntry::connected),
      Stored<DeviceEntry>("libusb_visible", Flag(), &DeviceEntry::libusb_visible)
          .SavedWhen([](const DeviceEntry& d) { return !d.libusb_visible; }),
      Stored<DeviceEntry>("libusb_open_error", Choice(LibusbErrors(), "LIBUSB_ERROR_OTHER"),
                          &DeviceEntry::libusb_open_error)
          .SavedWhen([](const DeviceEntry& d) { return d.libusb_open_error < 0; }),
      Each<DeviceEntry>(
          "faults", FaultFormat(), {0, SIZE_MAX, "must be an array", ""},
          [](const DeviceEntry& d) {
            FaultRule rule;
            rule.device = d.shape.id;
            return rule;
          },
          [](Reader&, const std::string&, DeviceEntry& d, FaultRule rule) {
            d.faults.push_back(std::move(rule));
            return true;
          },
          [](const DeviceEntry& d) {
            return d.faults.empty() ? std::nullopt : std::optional(d.faults);
          }),
  };
  return format;
}

// Builds the device and plugs it into the workstation with its faults.
bool AddDevice(Reader& r, const std::string& place, Workstation& ws, DeviceEntry entry) {
  auto device = MakeDevice(entry.shape);
  device->latency = entry.latency;
  device->set_connected(entry.connected);
  device->libusb_open_error = entry.libusb_open_error;
  device->libusb_visible = entry.libusb_visible;
  std::string why;
  if (!ws.AddDevice(device, &why)) return r.Fail(place, why);
  for (auto& rule : entry.faults) ws.AddFault(std::move(rule));
  return true;
}

constexpr size_t kMaxEvents = 1000;
constexpr uint64_t kMaxEventAfterMs = 3600000;  // an hour

// An event names a device of the workstation it is read for.
struct EventEntry {
  DeviceEvent event;
  const Workstation* workstation = nullptr;
};

const Format<EventEntry>& EventFormat() {
  const std::string needs = "needs after_ms, device and connected";
  static const Format<EventEntry> format = {
      Key<EventEntry>("after_ms", Integer<uint64_t>(0, kMaxEventAfterMs),
                      [](const EventEntry& e) { return static_cast<uint64_t>(e.event.after.count()); },
                      [](EventEntry& e, uint64_t ms) { e.event.after = std::chrono::milliseconds(ms); })
          .Needed(needs),
      Key<EventEntry>("device", Text(32), [](const EventEntry& e) { return e.event.device; },
                      [](Reader& r, const std::string& place, EventEntry& e, std::string id) {
                        if (!e.workstation->Find(id)) return r.Fail(place, "no device \"" + id + "\" in devices");
                        e.event.device = std::move(id);
                        return true;
                      })
          .Needed(needs),
      Key<EventEntry>("connected", Flag(), [](const EventEntry& e) { return e.event.connected; },
                      [](EventEntry& e, bool on) { e.event.connected = on; })
          .Needed(needs),
  };
  return format;
}

// The whole file: the workstation, and what only loading gives (the description, the events). Loading
// makes the workstation; saving reads `workstation`.
struct ScenarioEntry {
  std::shared_ptr<Workstation> made = std::make_shared<Workstation>();
  const Workstation* workstation = made.get();
  std::string description;
  std::vector<DeviceEvent> events;
};

const Format<ScenarioEntry>& ScenarioFormat() {
  auto never = [](const ScenarioEntry&) { return false; };
  static const Format<ScenarioEntry> format = {
      Stored<ScenarioEntry>("description", Text(4096), &ScenarioEntry::description).SavedWhen(never),
      Key<ScenarioEntry>("latency_us", Integer<int64_t>(0, 60000000),
                         [](const ScenarioEntry& s) { return static_cast<int64_t>(s.workstation->default_latency().count()); },
                         [](ScenarioEntry& s, int64_t us) { s.made->set_default_latency(std::chrono::microseconds(us)); }),
      Key<ScenarioEntry>("libusb_init_error", Choice(LibusbErrors(), "LIBUSB_ERROR_OTHER"),
                         [](const ScenarioEntry& s) { return s.workstation->libusb_init_error; },
                         [](ScenarioEntry& s, int error) { s.made->libusb_init_error = error; })
          .SavedWhen([](const ScenarioEntry& s) { return s.workstation->libusb_init_error < 0; }),
      Key<ScenarioEntry>("views", FreeFormObject(), [](const ScenarioEntry& s) { return s.workstation->views; },
                         [](ScenarioEntry& s, json views) { s.made->views = std::move(views); })
          .SavedWhen([](const ScenarioEntry& s) { return !s.workstation->views.empty(); }),
      Each<ScenarioEntry>(
          "devices", DeviceFormat(), {0, 127, "must be an array", "more than 127 devices"},
          [](const ScenarioEntry&) { return DeviceEntry(); },
          [](Reader& r, const std::string& place, ScenarioEntry& s, DeviceEntry device) {
            return AddDevice(r, place, *s.made, std::move(device));
          },
          [](const ScenarioEntry& s) {
            const std::vector<FaultRule> faults = s.workstation->Faults();
            std::vector<DeviceEntry> devices;
            for (const auto& device : s.workstation->Devices()) devices.push_back(EntryOf(*device, faults));
            return std::optional(std::move(devices));
          })
          .Needed("needs devices (an array; empty for a workstation without USB devices)"),
      // Events happen in time order, equal times in the order written; the saved state has none (it is
      // the workstation as the run left it).
      Each<ScenarioEntry>(
          "events", EventFormat(), {0, kMaxEvents, "must be an array", "more than " + std::to_string(kMaxEvents) + " events"},
          [](const ScenarioEntry& s) { return EventEntry{{}, s.made.get()}; },
          [](Reader&, const std::string&, ScenarioEntry& s, EventEntry e) {
            auto later = std::upper_bound(s.events.begin(), s.events.end(), e.event,
                                          [](const DeviceEvent& a, const DeviceEvent& b) { return a.after < b.after; });
            s.events.insert(later, std::move(e.event));
            return true;
          },
          [](const ScenarioEntry&) { return std::optional<std::vector<EventEntry>>(); }),
  };
  return format;
}

}  // namespace

ScenarioLoad LoadScenarioText(std::string_view text, const std::string& name) {
  ScenarioLoad load;
  if (text.size() > kMaxScenarioBytes) {
    load.error = TooLarge(name);
    return load;
  }
  BoundedJson parsed = ParseBoundedJson(text, name, kMaxNesting);
  if (!parsed.error.empty()) {
    load.error = parsed.error;
    return load;
  }
  Reader r(name);
  ScenarioEntry scenario;
  if (!ReadObject(r, parsed.value, "", ScenarioFormat(), scenario)) {
    load.error = r.error();
    return load;
  }
  // The runner saves the workstation after every run and must be able to load it again.
  const Workstation& ws = *scenario.made;
  const size_t saved = ScenarioJson(ws).dump().size() + 1 + kStateGrowthPerDevice * ws.Devices().size();
  if (saved > kMaxScenarioBytes) {
    load.error = name + ": /: the workstation's saved state would take up to " + std::to_string(saved) +
                 " bytes, more than the " + std::to_string(kMaxScenarioBytes) + " a scenario file may hold";
    return load;
  }
  load.workstation = std::move(scenario.made);
  load.description = std::move(scenario.description);
  load.events = std::move(scenario.events);
  return load;
}

ScenarioLoad LoadScenarioFile(const std::string& path) {
  ScenarioLoad load;
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!error && std::filesystem::is_directory(status)) {
    load.error = path + ": is a directory";
    return load;
  }
  if (!error && std::filesystem::is_regular_file(status)) {
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxScenarioBytes) {
      load.error = TooLarge(path);
      return load;
    }
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    load.error = path + ": cannot be read";
    return load;
  }
  // Never more than one byte past the limit, whatever the file is: a device, a pipe, a growing file.
  std::string text;
  std::array<char, 64 * 1024> chunk;
  while (text.size() <= kMaxScenarioBytes) {
    in.read(chunk.data(), chunk.size());
    text.append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) {
    load.error = path + ": cannot be read";
    return load;
  }
  return LoadScenarioText(text, path);
}

json ChipStateJson(const Chip& chip) {
  ChipEntry entry;
  entry.chip = &chip;
  return WriteObject(ChipFormat(), entry);
}

json ScenarioJson(const Workstation& workstation) {
  ScenarioEntry scenario{nullptr, &workstation, {}, {}};
  return WriteObject(ScenarioFormat(), scenario);
}

namespace {
// Text up to a limit: writing past it fails the stream instead of growing the text.
class CappedText final : public std::streambuf {
 public:
  explicit CappedText(size_t limit) : limit_(limit) {}
  std::string& text() { return text_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const size_t take = std::min(limit_ - text_.size(), static_cast<size_t>(n));
    text_.append(s, take);
    return static_cast<std::streamsize>(take);
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (text_.size() >= limit_) return traits_type::eof();
    text_.push_back(traits_type::to_char_type(c));
    return c;
  }

 private:
  size_t limit_;
  std::string text_;
};
}  // namespace

std::string ScenarioText(const Workstation& workstation) {
  const json doc = ScenarioJson(workstation);
  // Indentation grows with the nesting: a deep document is written compact rather than too large.
  CappedText indented(kMaxScenarioBytes);
  std::ostream out(&indented);
  out << std::setw(2) << doc << '\n';
  if (out) return std::move(indented.text());
  return doc.dump() + "\n";
}

bool SaveScenarioFile(const Workstation& workstation, const std::string& path, std::string* error) {
  const std::string text = ScenarioText(workstation);
  if (text.size() > kMaxScenarioBytes) {  // it would not load again; the file stays as it was
    if (error)
      *error = path + ": the state takes " + std::to_string(text.size()) + " bytes, more than the " +
               std::to_string(kMaxScenarioBytes) + " a scenario file may hold";
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out << text;
  if (!out) {
    if (error) *error = path + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace fcp::sim

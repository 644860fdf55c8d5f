#include "sim/scenario.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <ostream>
#include <set>
#include <streambuf>

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

std::string LibusbErrorName(int code) {
  for (const auto& [name, value] : LibusbErrors())
    if (value == code) return name;
  return "LIBUSB_ERROR_OTHER";
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

const char* PlaceName(DfuDescriptorPlace place) {
  for (const auto& [name, value] : Places())
    if (value == place) return name.c_str();
  return "interface";
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

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  bool Fail(const std::string& place, const std::string& what) {
    if (error_.empty()) error_ = file_ + ": " + (place.empty() ? "/" : place) + ": " + what;
    return false;
  }

  // The value must be an object holding only the given keys.
  bool Object(const json& value, const std::string& place, std::initializer_list<const char*> keys) {
    if (!value.is_object()) return Fail(place, "must be an object");
    for (const auto& item : value.items()) {
      bool known = false;
      for (const char* key : keys) known |= item.key() == key;
      if (!known) return Fail(place + "/" + item.key(), "unknown key");
    }
    return true;
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

// Reads the optional key into `out` through `read`; absent keys leave `out` alone.
template <class F>
bool Optional(const json& object, const char* key, F&& read) {
  auto it = object.find(key);
  if (it == object.end()) return true;
  return read(*it);
}

bool ReadStrings(Reader& r, const json& value, const std::string& place, DeviceSpec& shape) {
  if (!value.is_object()) return r.Fail(place, "must be an object");
  for (const auto& item : value.items()) {
    const std::string at = place + "/" + item.key();
    bool role = false;
    for (const char* name : kStringRoles) role |= item.key() == name;
    if (!role) return r.Fail(at, "unknown string role (manufacturer, product, serial, video_interface, dfu_interface)");
    StringSpec s;
    if (item.value().is_string()) {
      auto text = r.Text(item.value(), at, 126);
      if (!text) return false;
      s.text = *text;
    } else {
      if (!r.Object(item.value(), at, {"text", "present", "declared_length"})) return false;
      const json& o = item.value();
      if (!Optional(o, "text", [&](const json& v) {
            auto t = r.Text(v, at + "/text", 126);
            if (t) s.text = *t;
            return t.has_value();
          }))
        return false;
      if (!Optional(o, "present", [&](const json& v) {
            auto b = r.Bool(v, at + "/present");
            if (b) s.present = *b;
            return b.has_value();
          }))
        return false;
      if (!Optional(o, "declared_length", [&](const json& v) {
            auto n = r.Number(v, at + "/declared_length", 0, 255);
            if (n) s.declared_length = static_cast<uint8_t>(*n);
            return n.has_value();
          }))
        return false;
    }
    shape.strings[item.key()] = s;
  }
  return true;
}

bool ReadDfu(Reader& r, const json& value, const std::string& place, DeviceSpec& shape) {
  if (!r.Object(value, place,
                {"present", "mode", "protocol", "alt_settings", "functional_descriptor", "descriptor_length",
                 "version", "transfer_size"}))
    return false;
  bool ok = Optional(value, "present", [&](const json& v) {
    auto b = r.Bool(v, place + "/present");
    if (b) shape.has_dfu = *b;
    return b.has_value();
  });
  ok = ok && Optional(value, "mode", [&](const json& v) {
    static const std::map<std::string, bool> modes = {{"runtime", false}, {"dfu", true}};
    auto m = r.Choice(v, place + "/mode", modes);
    if (m) shape.dfu_mode = *m;
    return m.has_value();
  });
  ok = ok && Optional(value, "protocol", [&](const json& v) {
    auto n = r.Number(v, place + "/protocol", 0, 0xFF);
    if (n) shape.dfu_protocol = static_cast<uint8_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "alt_settings", [&](const json& v) {
    auto n = r.Number(v, place + "/alt_settings", 1, 4);
    if (n) shape.dfu_alt_settings = static_cast<uint8_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "functional_descriptor", [&](const json& v) {
    auto p = r.Choice(v, place + "/functional_descriptor", Places());
    if (p) shape.dfu_descriptor = *p;
    return p.has_value();
  });
  ok = ok && Optional(value, "descriptor_length", [&](const json& v) {
    auto n = r.Number(v, place + "/descriptor_length", 2, 9);
    if (n) shape.dfu_descriptor_length = static_cast<uint8_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "version", [&](const json& v) {
    auto n = r.Number(v, place + "/version", 0, 0xFFFF);
    if (n) shape.dfu_version = static_cast<uint16_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "transfer_size", [&](const json& v) {
    auto n = r.Number(v, place + "/transfer_size", 0, 0xFFFF);
    if (n) shape.dfu_transfer_size = static_cast<uint16_t>(*n);
    return n.has_value();
  });
  return ok;
}

// The chip's settings are applied to a new chip in this order: product ID (or family), status
// block (whose bytes 2-3 then win over the product ID only when no product ID was given), config,
// signature, memory, then the single registers.
bool ReadChip(Reader& r, const json& value, const std::string& place, std::shared_ptr<Chip>& out) {
  if (!r.Object(value, place,
                {"family", "product_id", "config", "status_block", "signature", "selector", "passthrough_word",
                 "commit_register", "memory", "hardware_fault", "commit_count"}))
    return false;
  if (value.contains("family") && value.contains("product_id"))
    return r.Fail(place + "/product_id", "give either family or product_id, not both");
  uint16_t pid = static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0]);
  bool ok = Optional(value, "family", [&](const json& v) {
    static const std::map<std::string, uint16_t> families = {
        {"VZQ2201", static_cast<uint16_t>(fcp::maker::kPidsVzq2201[0])},
        {"VZQ2202", static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0])},
        {"VZQ2203", static_cast<uint16_t>(fcp::maker::kPidsVzq2203[0])}};
    auto f = r.Choice(v, place + "/family", families);
    if (f) pid = *f;
    return f.has_value();
  });
  ok = ok && Optional(value, "product_id", [&](const json& v) {
    auto n = r.Number(v, place + "/product_id", 0, 0xFFFF);
    if (n) pid = static_cast<uint16_t>(*n);
    return n.has_value();
  });
  if (!ok) return false;
  auto chip = std::make_shared<Chip>(pid);
  ok = Optional(value, "status_block", [&](const json& v) {
    auto b = r.HexBytes(v, place + "/status_block", 0, 0, kStatusBlockSize);
    if (b) {
      std::copy(b->begin(), b->end(), chip->status_block().begin());
      if (value.contains("family") || value.contains("product_id")) chip->set_product_id(pid);
    }
    return b.has_value();
  });
  ok = ok && Optional(value, "config", [&](const json& v) {
    auto b = r.HexBytes(v, place + "/config", 0, kConfigSize);
    if (b) {
      std::fill(chip->config().begin(), chip->config().end(), 0);
      std::copy(b->begin(), b->end(), chip->config().begin());
    }
    return b.has_value();
  });
  ok = ok && Optional(value, "signature", [&](const json& v) {
    auto b = r.HexBytes(v, place + "/signature", 0, 0, 8);
    if (b) std::copy(b->begin(), b->end(), chip->signature().begin());
    return b.has_value();
  });
  ok = ok && Optional(value, "memory", [&](const json& v) {
    const std::string at = place + "/memory";
    if (!v.is_array()) return r.Fail(at, "must be an array of {\"address\", \"bytes\"}");
    for (size_t i = 0; i < v.size(); ++i) {
      const std::string item = at + "/" + std::to_string(i);
      if (!r.Object(v[i], item, {"address", "bytes"})) return false;
      if (!v[i].contains("address") || !v[i].contains("bytes")) return r.Fail(item, "needs address and bytes");
      auto address = r.Number(v[i]["address"], item + "/address", 0, 0xFFFFFFFF);
      if (!address) return false;
      auto bytes = r.HexBytes(v[i]["bytes"], item + "/bytes", 1, 0x10000);
      if (!bytes) return false;
      if (!chip->WriteMemory(static_cast<uint32_t>(*address), *bytes))
        return r.Fail(item, "bytes lie outside the chip's memory map");
    }
    return true;
  });
  ok = ok && Optional(value, "selector", [&](const json& v) {
    auto n = r.Number(v, place + "/selector", 0, 0xFF);
    if (n) chip->set_selector(static_cast<uint8_t>(*n));
    return n.has_value();
  });
  ok = ok && Optional(value, "passthrough_word", [&](const json& v) {
    auto n = r.Number(v, place + "/passthrough_word", 0, 0xFFFFFFFF);
    if (n) chip->WriteWord(kPassthroughWordAddress, static_cast<uint32_t>(*n));
    return n.has_value();
  });
  ok = ok && Optional(value, "commit_register", [&](const json& v) {
    auto n = r.Number(v, place + "/commit_register", 0, 0xFFFFFFFF);
    if (n) chip->WriteWord(kCommitRegisterAddress, static_cast<uint32_t>(*n));
    return n.has_value();
  });
  ok = ok && Optional(value, "hardware_fault", [&](const json& v) {
    auto b = r.Bool(v, place + "/hardware_fault");
    if (b) chip->set_hardware_fault(*b);
    return b.has_value();
  });
  ok = ok && Optional(value, "commit_count", [&](const json& v) {
    auto n = r.Number(v, place + "/commit_count", 0, 0xFFFFFFFF);
    if (n) chip->set_commit_count(static_cast<unsigned>(*n));
    return n.has_value();
  });
  if (ok) out = std::move(chip);
  return ok;
}

bool ReadFault(Reader& r, const json& value, const std::string& place, const std::string& device, FaultRule& rule) {
  if (!r.Object(value, place, {"action", "nth", "times", "match", "length", "data"})) return false;
  rule.device = device;
  if (!value.contains("action")) return r.Fail(place, "needs an action");
  static const std::map<std::string, FaultAction> actions = {{"stall", FaultAction::kStall},
                                                             {"short", FaultAction::kShort},
                                                             {"wrong_data", FaultAction::kWrongData},
                                                             {"disconnect", FaultAction::kDisconnect},
                                                             {"timeout", FaultAction::kTimeout}};
  auto action = r.Choice(value["action"], place + "/action", actions);
  if (!action) return false;
  rule.action = *action;
  bool ok = Optional(value, "nth", [&](const json& v) {
    auto n = r.Number(v, place + "/nth", 0, 1000000);
    if (n) rule.nth = static_cast<unsigned>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "times", [&](const json& v) {
    auto n = r.Number(v, place + "/times", 0, 1000000);
    if (n) rule.times = static_cast<unsigned>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "length", [&](const json& v) {
    if (rule.action != FaultAction::kShort) return r.Fail(place + "/length", "only a short fault has a length");
    auto n = r.Number(v, place + "/length", 0, 0xFFFF);
    if (n) rule.length = static_cast<uint16_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "data", [&](const json& v) {
    if (rule.action != FaultAction::kWrongData) return r.Fail(place + "/data", "only a wrong_data fault has data");
    auto b = r.HexBytes(v, place + "/data", 1, 0xFFFF);
    if (b) rule.data = *b;
    return b.has_value();
  });
  ok = ok && Optional(value, "match", [&](const json& v) {
    const std::string at = place + "/match";
    if (!r.Object(v, at, {"request_type", "request", "value", "index"})) return false;
    bool m = Optional(v, "request_type", [&](const json& x) {
      auto n = r.Number(x, at + "/request_type", 0, 0xFF);
      if (n) rule.match.request_type = static_cast<uint8_t>(*n);
      return n.has_value();
    });
    m = m && Optional(v, "request", [&](const json& x) {
      auto n = r.Number(x, at + "/request", 0, 0xFF);
      if (n) rule.match.request = static_cast<uint8_t>(*n);
      return n.has_value();
    });
    m = m && Optional(v, "value", [&](const json& x) {
      auto n = r.Number(x, at + "/value", 0, 0xFFFF);
      if (n) rule.match.value = static_cast<uint16_t>(*n);
      return n.has_value();
    });
    m = m && Optional(v, "index", [&](const json& x) {
      auto n = r.Number(x, at + "/index", 0, 0xFFFF);
      if (n) rule.match.index = static_cast<uint16_t>(*n);
      return n.has_value();
    });
    return m;
  });
  return ok;
}

bool IsIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

bool ReadDevice(Reader& r, const json& value, const std::string& place, Workstation& ws) {
  if (!r.Object(value, place,
                {"id", "kind", "bus", "ports", "address", "vendor_id", "product_id", "bcd_device",
                 "max_packet_size0", "xu_unit_id", "dfu", "strings", "langids", "langid_descriptor", "latency_us",
                 "connected", "libusb_visible", "libusb_open_error", "chip", "faults", "views"}))
    return false;
  if (!value.contains("id")) return r.Fail(place, "needs an id");
  if (!value.contains("kind")) return r.Fail(place, "needs a kind");
  if (!value.contains("ports")) return r.Fail(place, "needs ports (the hub port path from the root)");
  DeviceSpec shape;
  auto id = r.Text(value["id"], place + "/id", 32);
  if (!id) return false;
  if (id->empty() || !std::all_of(id->begin(), id->end(), IsIdChar))
    return r.Fail(place + "/id", "must be 1-32 characters of letters, digits, '_', '-', '.'");
  shape.id = *id;
  auto kind = r.Choice(value["kind"], place + "/kind", Kinds());
  if (!kind) return false;
  shape.kind = *kind;
  const bool chip_camera = shape.kind == DeviceKind::kChipCamera;
  const bool camera = chip_camera || shape.kind == DeviceKind::kForeignCamera;
  const bool has_dfu = chip_camera || shape.kind == DeviceKind::kForeignDfu;
  if (value.contains("chip") && !chip_camera) return r.Fail(place + "/chip", "only a chip_camera has a chip");
  if (value.contains("dfu") && !has_dfu) return r.Fail(place + "/dfu", "this kind of device has no DFU function");
  if (value.contains("xu_unit_id") && !camera) return r.Fail(place + "/xu_unit_id", "this kind of device is no camera");

  const json& ports = value["ports"];
  if (!ports.is_array() || ports.empty() || ports.size() > 7)
    return r.Fail(place + "/ports", "must be an array of 1 to 7 port numbers");
  shape.place.ports.clear();
  for (size_t i = 0; i < ports.size(); ++i) {
    auto n = r.Number(ports[i], place + "/ports/" + std::to_string(i), 1, 255);
    if (!n) return false;
    shape.place.ports.push_back(static_cast<uint8_t>(*n));
  }
  auto number = [&](const char* key, uint64_t min, uint64_t max, auto set) {
    return Optional(value, key, [&](const json& v) {
      auto n = r.Number(v, place + "/" + key, min, max);
      if (n) set(*n);
      return n.has_value();
    });
  };
  bool ok = number("bus", 1, 255, [&](uint64_t n) { shape.place.bus = static_cast<uint8_t>(n); }) &&
            number("address", 1, 127, [&](uint64_t n) { shape.place.address = static_cast<uint8_t>(n); }) &&
            number("vendor_id", 1, 0xFFFF, [&](uint64_t n) { shape.vendor_id = static_cast<uint16_t>(n); }) &&
            number("product_id", 1, 0xFFFF, [&](uint64_t n) { shape.product_id = static_cast<uint16_t>(n); }) &&
            number("bcd_device", 0, 0xFFFF, [&](uint64_t n) { shape.bcd_device = static_cast<uint16_t>(n); }) &&
            number("xu_unit_id", 1, 255, [&](uint64_t n) { shape.xu_unit_id = static_cast<uint8_t>(n); });
  ok = ok && Optional(value, "max_packet_size0", [&](const json& v) {
    auto n = r.Number(v, place + "/max_packet_size0", 8, 64);
    if (n && *n != 8 && *n != 16 && *n != 32 && *n != 64)
      return r.Fail(place + "/max_packet_size0", "must be 8, 16, 32 or 64");
    if (n) shape.max_packet_size0 = static_cast<uint8_t>(*n);
    return n.has_value();
  });
  ok = ok && Optional(value, "dfu", [&](const json& v) { return ReadDfu(r, v, place + "/dfu", shape); });
  ok = ok && Optional(value, "strings", [&](const json& v) { return ReadStrings(r, v, place + "/strings", shape); });
  if (ok && value.contains("langids") && value.contains("langid_descriptor"))
    return r.Fail(place + "/langid_descriptor", "give either langids or langid_descriptor, not both");
  ok = ok && Optional(value, "langids", [&](const json& v) {
    if (!v.is_array() || v.size() > 126) return r.Fail(place + "/langids", "must be an array of up to 126 language IDs");
    shape.langids.clear();
    for (size_t i = 0; i < v.size(); ++i) {
      auto n = r.Number(v[i], place + "/langids/" + std::to_string(i), 0, 0xFFFF);
      if (!n) return false;
      shape.langids.push_back(static_cast<uint16_t>(*n));
    }
    return true;
  });
  ok = ok && Optional(value, "langid_descriptor", [&](const json& v) {
    auto b = r.HexBytes(v, place + "/langid_descriptor", 0, 255);
    if (b) shape.langid_descriptor = *b;
    return b.has_value();
  });
  ok = ok && Optional(value, "chip", [&](const json& v) { return ReadChip(r, v, place + "/chip", shape.chip); });
  ok = ok && Optional(value, "views", [&](const json& v) {
    if (!v.is_object()) return r.Fail(place + "/views", "must be an object");
    shape.views = v;
    return true;
  });
  std::optional<std::chrono::microseconds> latency;
  ok = ok && Optional(value, "latency_us", [&](const json& v) {
    auto n = r.Number(v, place + "/latency_us", 0, 60000000);
    if (n) latency = std::chrono::microseconds(*n);
    return n.has_value();
  });
  bool connected = true;
  ok = ok && Optional(value, "connected", [&](const json& v) {
    auto b = r.Bool(v, place + "/connected");
    if (b) connected = *b;
    return b.has_value();
  });
  bool libusb_visible = true;
  ok = ok && Optional(value, "libusb_visible", [&](const json& v) {
    auto b = r.Bool(v, place + "/libusb_visible");
    if (b) libusb_visible = *b;
    return b.has_value();
  });
  int open_error = 0;
  ok = ok && Optional(value, "libusb_open_error", [&](const json& v) {
    auto e = r.Choice(v, place + "/libusb_open_error", LibusbErrors());
    if (e) open_error = *e;
    return e.has_value();
  });
  std::vector<FaultRule> faults;
  ok = ok && Optional(value, "faults", [&](const json& v) {
    if (!v.is_array()) return r.Fail(place + "/faults", "must be an array");
    for (size_t i = 0; i < v.size(); ++i) {
      FaultRule rule;
      if (!ReadFault(r, v[i], place + "/faults/" + std::to_string(i), shape.id, rule)) return false;
      faults.push_back(std::move(rule));
    }
    return true;
  });
  if (!ok) return false;

  auto device = MakeDevice(shape);
  device->latency = latency;
  device->set_connected(connected);
  device->libusb_open_error = open_error;
  device->libusb_visible = libusb_visible;
  std::string why;
  if (!ws.AddDevice(device, &why)) return r.Fail(place, why);
  for (auto& rule : faults) ws.AddFault(std::move(rule));
  return true;
}

constexpr size_t kMaxEvents = 1000;
constexpr uint64_t kMaxEventAfterMs = 3600000;  // an hour

bool ReadEvents(Reader& r, const json& value, const Workstation& ws, std::vector<DeviceEvent>& events) {
  if (!value.is_array()) return r.Fail("/events", "must be an array");
  if (value.size() > kMaxEvents) return r.Fail("/events", "more than " + std::to_string(kMaxEvents) + " events");
  for (size_t i = 0; i < value.size(); ++i) {
    const std::string place = "/events/" + std::to_string(i);
    const json& e = value[i];
    if (!r.Object(e, place, {"after_ms", "device", "connected"})) return false;
    if (!e.contains("after_ms") || !e.contains("device") || !e.contains("connected"))
      return r.Fail(place, "needs after_ms, device and connected");
    DeviceEvent event;
    auto after = r.Number(e["after_ms"], place + "/after_ms", 0, kMaxEventAfterMs);
    if (!after) return false;
    event.after = std::chrono::milliseconds(*after);
    auto device = r.Text(e["device"], place + "/device", 32);
    if (!device) return false;
    if (!ws.Find(*device)) return r.Fail(place + "/device", "no device \"" + *device + "\" in devices");
    event.device = *device;
    auto connected = r.Bool(e["connected"], place + "/connected");
    if (!connected) return false;
    event.connected = *connected;
    events.push_back(std::move(event));
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const DeviceEvent& a, const DeviceEvent& b) { return a.after < b.after; });
  return true;
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
  const json doc = std::move(parsed.value);

  Reader r(name);
  auto ws = std::make_shared<Workstation>();
  bool ok = r.Object(doc, "", {"description", "latency_us", "libusb_init_error", "devices", "events", "views"});
  ok = ok && Optional(doc, "description", [&](const json& v) {
    auto t = r.Text(v, "/description", 4096);
    if (t) load.description = *t;
    return t.has_value();
  });
  ok = ok && Optional(doc, "latency_us", [&](const json& v) {
    auto n = r.Number(v, "/latency_us", 0, 60000000);
    if (n) ws->set_default_latency(std::chrono::microseconds(*n));
    return n.has_value();
  });
  ok = ok && Optional(doc, "libusb_init_error", [&](const json& v) {
    auto e = r.Choice(v, "/libusb_init_error", LibusbErrors());
    if (e) ws->libusb_init_error = *e;
    return e.has_value();
  });
  ok = ok && Optional(doc, "views", [&](const json& v) {
    if (!v.is_object()) return r.Fail("/views", "must be an object");
    ws->views = v;
    return true;
  });
  if (ok && !doc.contains("devices")) ok = r.Fail("", "needs devices (an array; empty for a workstation without USB devices)");
  ok = ok && Optional(doc, "devices", [&](const json& v) {
    if (!v.is_array()) return r.Fail("/devices", "must be an array");
    if (v.size() > 127) return r.Fail("/devices", "more than 127 devices");
    for (size_t i = 0; i < v.size(); ++i)
      if (!ReadDevice(r, v[i], "/devices/" + std::to_string(i), *ws)) return false;
    return true;
  });
  ok = ok && Optional(doc, "events", [&](const json& v) { return ReadEvents(r, v, *ws, load.events); });
  if (!ok) {
    load.error = r.error();
    return load;
  }
  // The runner saves the workstation after every run and must be able to load it again.
  const size_t saved = ScenarioJson(*ws).dump().size() + 1 + kStateGrowthPerDevice * ws->Devices().size();
  if (saved > kMaxScenarioBytes) {
    load.error = name + ": /: the workstation's saved state would take up to " + std::to_string(saved) +
                 " bytes, more than the " + std::to_string(kMaxScenarioBytes) + " a scenario file may hold";
    return load;
  }
  load.workstation = std::move(ws);
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
  json state;
  state["product_id"] = Hex16(chip.product_id());
  state["status_block"] = HexString(chip.status_block());
  state["signature"] = HexString(chip.signature());
  state["config"] = HexString(chip.config());
  // Memory as runs of nonzero bytes.
  json memory = json::array();
  for (size_t r = 0; r < kMemoryMap.size(); ++r) {
    const Bytes& bytes = chip.RegionBytes(r);
    for (size_t i = 0; i < bytes.size();) {
      if (bytes[i] == 0) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < bytes.size() && bytes[end] != 0) ++end;
      memory.push_back({{"address", Hex32(kMemoryMap[r].base + static_cast<uint32_t>(i))},
                        {"bytes", HexString(std::span<const uint8_t>(bytes.data() + i, end - i))}});
      i = end;
    }
  }
  state["memory"] = memory;
  state["selector"] = chip.selector();
  state["passthrough_word"] = Hex32(chip.ReadWord(kPassthroughWordAddress));
  state["commit_register"] = Hex32(chip.ReadWord(kCommitRegisterAddress));
  state["hardware_fault"] = chip.hardware_fault();
  state["commit_count"] = chip.commit_count();
  return state;
}

namespace {
json DeviceJson(const UsbDevice& device, const std::vector<FaultRule>& faults) {
  json d;
  d["id"] = device.id();
  d["kind"] = DeviceKindName(device.kind());
  d["bus"] = device.place().bus;
  d["ports"] = device.place().ports;
  d["address"] = device.place().address;
  d["vendor_id"] = Hex16(device.vendor_id());
  d["product_id"] = Hex16(device.product_id());
  d["bcd_device"] = Hex16(device.bcd_device());
  if (device.shape) {
    const DeviceSpec& shape = *device.shape;
    d["max_packet_size0"] = shape.max_packet_size0;
    if (device.kind() == DeviceKind::kChipCamera || device.kind() == DeviceKind::kForeignCamera)
      d["xu_unit_id"] = shape.xu_unit_id;
    if (device.kind() == DeviceKind::kChipCamera || device.kind() == DeviceKind::kForeignDfu) {
      d["dfu"] = {{"present", shape.has_dfu},
                  {"mode", shape.dfu_mode ? "dfu" : "runtime"},
                  {"alt_settings", shape.dfu_alt_settings},
                  {"functional_descriptor", PlaceName(shape.dfu_descriptor)},
                  {"descriptor_length", shape.dfu_descriptor_length},
                  {"version", Hex16(shape.dfu_version)},
                  {"transfer_size", shape.dfu_transfer_size}};
      if (shape.dfu_protocol) d["dfu"]["protocol"] = *shape.dfu_protocol;
    }
    if (!shape.strings.empty()) {
      json strings = json::object();
      for (const auto& [role, s] : shape.strings) {
        json entry = {{"text", s.text}, {"present", s.present}};
        if (s.declared_length) entry["declared_length"] = *s.declared_length;
        strings[role] = entry;
      }
      d["strings"] = strings;
    }
    if (shape.langid_descriptor) {
      d["langid_descriptor"] = HexString(*shape.langid_descriptor);
    } else {
      json ids = json::array();
      for (uint16_t id : shape.langids) ids.push_back(Hex16(id));
      d["langids"] = ids;
    }
    if (!shape.views.empty()) d["views"] = shape.views;
  }
  if (device.latency) d["latency_us"] = device.latency->count();
  d["connected"] = device.connected();
  if (!device.libusb_visible) d["libusb_visible"] = false;
  if (device.libusb_open_error < 0) d["libusb_open_error"] = LibusbErrorName(device.libusb_open_error);
  if (device.chip) d["chip"] = ChipStateJson(*device.chip);
  json rules = json::array();
  for (const FaultRule& rule : faults) {
    if (rule.device != device.id()) continue;
    json f = {{"action", FaultActionName(rule.action)}, {"nth", rule.nth}};
    if (rule.times) f["times"] = *rule.times;
    json match = json::object();
    if (rule.match.request_type) match["request_type"] = *rule.match.request_type;
    if (rule.match.request) match["request"] = *rule.match.request;
    if (rule.match.value) match["value"] = *rule.match.value;
    if (rule.match.index) match["index"] = *rule.match.index;
    if (!match.empty()) f["match"] = match;
    if (rule.length) f["length"] = *rule.length;
    if (rule.data) f["data"] = HexString(*rule.data);
    rules.push_back(f);
  }
  if (!rules.empty()) d["faults"] = rules;
  return d;
}
}  // namespace

json ScenarioJson(const Workstation& workstation) {
  json doc;
  doc["latency_us"] = workstation.default_latency().count();
  if (workstation.libusb_init_error < 0) doc["libusb_init_error"] = LibusbErrorName(workstation.libusb_init_error);
  json devices = json::array();
  const auto faults = workstation.Faults();
  for (const auto& device : workstation.Devices()) devices.push_back(DeviceJson(*device, faults));
  doc["devices"] = devices;
  if (!workstation.views.empty()) doc["views"] = workstation.views;
  return doc;
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

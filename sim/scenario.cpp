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

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "fcp/maker_ids.h"
#include "sim/bounded_json.h"
#include "sim/devices.h"
#include "sim/json_table.h"

namespace fcp::sim {

using nlohmann::json;

namespace {

using namespace json_table;

constexpr size_t kMaxScenarioBytes = 4 * 1024 * 1024;
// A scenario needs 6 levels; "views" are free-form, but not without end.
constexpr size_t kMaxNesting = 64;
// What a run may add to a device's saved state: a word written to a chip register (up to two more
// memory runs), a longer commit count, a device plugged in or out. The saved state of what loads must
// load again after any run.
constexpr size_t kStateGrowthPerDevice = 256;

enum class FileRead { kRead, kCannotRead, kDirectory, kNotRegular, kTooLarge };

#if defined(_WIN32)
// No FIFOs here; a path that names anything but a regular file is refused before it is opened.
FileRead ReadScenarioBytes(const std::string& path, size_t limit, std::string& text) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) return FileRead::kCannotRead;
  if (std::filesystem::is_directory(status)) return FileRead::kDirectory;
  if (!std::filesystem::is_regular_file(status)) return FileRead::kNotRegular;
  std::ifstream in(path, std::ios::binary);
  if (!in) return FileRead::kCannotRead;
  std::array<char, 64 * 1024> chunk;
  while (text.size() <= limit) {
    in.read(chunk.data(), chunk.size());
    text.append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) return FileRead::kCannotRead;
  return text.size() > limit ? FileRead::kTooLarge : FileRead::kRead;
}
#else
// Opened without waiting (a FIFO with no writer would block an ordinary open for ever), then asked
// what it is: only a regular file is read, and never more than one byte past the limit, even when it
// grows while it is read.
FileRead ReadScenarioBytes(const std::string& path, size_t limit, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno == EISDIR ? FileRead::kDirectory : FileRead::kCannotRead;
  struct stat status {};
  FileRead result = FileRead::kRead;
  if (::fstat(fd, &status) != 0) {
    result = FileRead::kCannotRead;
  } else if (S_ISDIR(status.st_mode)) {
    result = FileRead::kDirectory;
  } else if (!S_ISREG(status.st_mode)) {
    result = FileRead::kNotRegular;
  } else if (static_cast<uint64_t>(status.st_size) > limit) {
    result = FileRead::kTooLarge;
  } else {
    std::array<char, 64 * 1024> chunk;
    while (text.size() <= limit) {
      const ssize_t n = ::read(fd, chunk.data(), std::min(chunk.size(), limit + 1 - text.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = FileRead::kCannotRead;
        break;
      }
      if (n == 0) break;
      text.append(chunk.data(), static_cast<size_t>(n));
    }
    if (result == FileRead::kRead && text.size() > limit) result = FileRead::kTooLarge;
  }
  ::close(fd);
  return result;
}
#endif

std::string TooLarge(const std::string& name) {
  return name + ": file is larger than " + std::to_string(kMaxScenarioBytes) + " bytes";
}

// libusb's error codes by name (their values are part of libusb's ABI).
const std::map<std::string, int>& LibusbErrors() {
  static const std::map<std::string, int> kErrors = {
      {"LIBUSB_ERROR_IO", -1},           {"LIBUSB_ERROR_INVALID_PARAM", -2}, {"LIBUSB_ERROR_ACCESS", -3},
      {"LIBUSB_ERROR_NO_DEVICE", -4},    {"LIBUSB_ERROR_NOT_FOUND", -5},     {"LIBUSB_ERROR_BUSY", -6},
      {"LIBUSB_ERROR_TIMEOUT", -7},      {"LIBUSB_ERROR_OVERFLOW", -8},      {"LIBUSB_ERROR_PIPE", -9},
      {"LIBUSB_ERROR_INTERRUPTED", -10}, {"LIBUSB_ERROR_NO_MEM", -11},       {"LIBUSB_ERROR_NOT_SUPPORTED", -12},
      {"LIBUSB_ERROR_OTHER", -99}};
  return kErrors;
}

const std::map<std::string, DfuDescriptorPlace>& Places() {
  static const std::map<std::string, DfuDescriptorPlace> kPlaces = {
      {"configuration", DfuDescriptorPlace::kConfiguration},
      {"interface", DfuDescriptorPlace::kInterface},
      {"on_request", DfuDescriptorPlace::kOnRequest},
      {"none", DfuDescriptorPlace::kNowhere}};
  return kPlaces;
}

const std::array<const char*, 5> kStringRoles = {"manufacturer", "product", "serial", "video_interface",
                                                 "dfu_interface"};

// The objects of a scenario file, each with the one table (json_table.h) that loading and saving use.

// A string descriptor: plain text, or {"text", "present", "declared_length"}; saved as the object.
const Format<StringSpec>& StringFormat() {
  static const Format<StringSpec> kFormat = {
      Stored<StringSpec>("text", Text(126), &StringSpec::text),
      Stored<StringSpec>("present", Flag(), &StringSpec::present),
      Stored<StringSpec>("declared_length", Integer<uint8_t>(0, 255), &StringSpec::declared_length),
  };
  return kFormat;
}

const Format<DeviceSpec>& DfuFormat() {
  static const std::map<std::string, bool> kModes = {{"runtime", false}, {"dfu", true}};
  static const Format<DeviceSpec> kFormat = {
      Stored<DeviceSpec>("present", Flag(), &DeviceSpec::has_dfu),
      Stored<DeviceSpec>("mode", Choice(kModes), &DeviceSpec::dfu_mode),
      Stored<DeviceSpec>("protocol", Integer<uint8_t>(0, 0xFF), &DeviceSpec::dfu_protocol),
      Stored<DeviceSpec>("alt_settings", Integer<uint8_t>(1, 4), &DeviceSpec::dfu_alt_settings),
      Stored<DeviceSpec>("functional_descriptor", Choice(Places()), &DeviceSpec::dfu_descriptor),
      Stored<DeviceSpec>("descriptor_length", Integer<uint8_t>(2, 9), &DeviceSpec::dfu_descriptor_length),
      Stored<DeviceSpec>("version", HexInteger<uint16_t>(0, 0xFFFF), &DeviceSpec::dfu_version),
      Stored<DeviceSpec>("transfer_size", Integer<uint16_t>(0, 0xFFFF), &DeviceSpec::dfu_transfer_size),
  };
  return kFormat;
}

// One run of chip memory.
struct MemoryRun {
  uint32_t address = 0;
  Bytes bytes;
};

// A run lies inside one region of the memory map: none is longer than the longest region.
constexpr size_t kLongestMemoryRun = std::ranges::max(uvc::kChipMemoryMap, {}, &uvc::ChipMemoryRegion::size).size;

const Format<MemoryRun>& MemoryRunFormat() {
  static const Format<MemoryRun> kFormat = {
      Stored<MemoryRun>("address", HexInteger<uint32_t>(0, 0xFFFFFFFF), &MemoryRun::address)
          .Needed("needs address and bytes"),
      Stored<MemoryRun>("bytes", HexBytes(1, kLongestMemoryRun), &MemoryRun::bytes).Needed("needs address and bytes"),
  };
  return kFormat;
}

// Memory as runs of nonzero bytes; with `blank_word`, the four bytes at that address count as zeros.
std::vector<MemoryRun> MemoryRuns(const Chip& chip, std::optional<uint32_t> blank_word = std::nullopt) {
  std::vector<MemoryRun> runs;
  for (size_t r = 0; r < uvc::kChipMemoryMap.size(); ++r) {
    const uint32_t base = uvc::kChipMemoryMap[r].base;
    const Bytes* region = &chip.RegionBytes(r);
    Bytes blanked;
    if (blank_word && uvc::kChipMemoryMap[r].Holds(*blank_word, 4)) {
      blanked = *region;
      std::fill_n(blanked.begin() + (*blank_word - base), 4, 0);
      region = &blanked;
    }
    const Bytes& bytes = *region;
    for (size_t i = 0; i < bytes.size();) {
      if (bytes[i] == 0) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < bytes.size() && bytes[end] != 0) ++end;
      runs.push_back({base + static_cast<uint32_t>(i), Bytes(bytes.begin() + i, bytes.begin() + end)});
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
      [](JsonReader& r, const std::string& place, ChipEntry& c, MemoryRun run) {
        return c.Made().WriteMemory(run.address, run.bytes) || r.Fail(place, "bytes lie outside the chip's memory map");
      },
      [](const ChipEntry& c) { return std::optional(MemoryRuns(*c.chip)); });
}

// The chip's settings are applied to a new chip in this order: product ID (or family), status
// block (whose bytes 2-3 then win over the product ID only when no product ID was given), config,
// signature, memory, then the single registers.
const Format<ChipEntry>& ChipFormat() {
  static const std::map<std::string, uint16_t> kFamilies = {
      {"VZQ2201", static_cast<uint16_t>(fcp::maker::kPidsVzq2201[0])},
      {"VZQ2202", static_cast<uint16_t>(fcp::maker::kPidsVzq2202[0])},
      {"VZQ2203", static_cast<uint16_t>(fcp::maker::kPidsVzq2203[0])}};
  auto choose = [](ChipEntry& c, uint16_t pid) {
    c.product_id = pid;
    c.product_id_given = true;
  };
  static const Format<ChipEntry> kFormat = {
      Key<ChipEntry>(
          "family", Choice(kFamilies), [](const ChipEntry&) { return std::optional<uint16_t>(); }, choose)
          .Excludes("product_id"),
      Key<ChipEntry>(
          "product_id", HexInteger<uint16_t>(0, 0xFFFF), [](const ChipEntry& c) { return c.chip->ProductId(); },
          choose),
      Key<ChipEntry>(
          "status_block", HexBytesOfSize(kStatusBlockSize),
          [](const ChipEntry& c) { return Bytes(c.chip->StatusBlock().begin(), c.chip->StatusBlock().end()); },
          [](ChipEntry& c, const Bytes& bytes) {
            std::copy(bytes.begin(), bytes.end(), c.Made().StatusBlock().begin());
            if (c.product_id_given) c.Made().SetProductId(c.product_id);
          }),
      Key<ChipEntry>(
          "config", HexBytes(0, kConfigSize), [](const ChipEntry& c) { return c.chip->Config(); },
          [](ChipEntry& c, const Bytes& bytes) {
            Bytes& config = c.Made().Config();
            std::fill(config.begin(), config.end(), 0);
            std::copy(bytes.begin(), bytes.end(), config.begin());
          }),
      Key<ChipEntry>(
          "signature", HexBytesOfSize(kChipSignature.size()),
          [](const ChipEntry& c) { return Bytes(c.chip->Signature().begin(), c.chip->Signature().end()); },
          [](ChipEntry& c, const Bytes& bytes) {
            std::copy(bytes.begin(), bytes.end(), c.Made().Signature().begin());
          }),
      MemoryField(),
      Key<ChipEntry>(
          "selector", Integer<uint8_t>(0, 0xFF), [](const ChipEntry& c) { return c.chip->Selector(); },
          [](ChipEntry& c, uint8_t selector) { c.Made().SetSelector(selector); }),
      Key<ChipEntry>(
          "passthrough_word", HexInteger<uint32_t>(0, 0xFFFFFFFF),
          [](const ChipEntry& c) { return c.chip->ReadWord(uvc::kPassThroughWordAddress); },
          [](ChipEntry& c, uint32_t word) { c.Made().WriteWord(uvc::kPassThroughWordAddress, word); }),
      Key<ChipEntry>(
          "commit_register", HexInteger<uint32_t>(0, 0xFFFFFFFF),
          [](const ChipEntry& c) { return c.chip->ReadWord(uvc::kCommitRegisterAddress); },
          [](ChipEntry& c, uint32_t word) { c.Made().WriteWord(uvc::kCommitRegisterAddress, word); }),
      Key<ChipEntry>(
          "hardware_fault", Flag(), [](const ChipEntry& c) { return c.chip->HardwareFault(); },
          [](ChipEntry& c, bool on) { c.Made().SetHardwareFault(on); }),
      Key<ChipEntry>(
          "commit_count", Integer<unsigned>(0, 0xFFFFFFFF), [](const ChipEntry& c) { return c.chip->CommitCount(); },
          [](ChipEntry& c, unsigned count) { c.Made().SetCommitCount(count); }),
  };
  return kFormat;
}

const Format<FaultMatch>& MatchFormat() {
  static const Format<FaultMatch> kFormat = {
      Stored<FaultMatch>("request_type", Integer<uint8_t>(0, 0xFF), &FaultMatch::request_type),
      Stored<FaultMatch>("request", Integer<uint8_t>(0, 0xFF), &FaultMatch::request),
      Stored<FaultMatch>("value", Integer<uint16_t>(0, 0xFFFF), &FaultMatch::value),
      Stored<FaultMatch>("index", Integer<uint16_t>(0, 0xFFFF), &FaultMatch::index),
  };
  return kFormat;
}

const Format<FaultRule>& FaultFormat() {
  static const Format<FaultRule> kFormat = {
      Stored<FaultRule>("action", Choice(FaultActionNames()), &FaultRule::action).Needed("needs an action"),
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
  return kFormat;
}

// A device as a scenario describes it: its shape, and what the workstation keeps of it besides.
struct DeviceEntry {
  DeviceSpec shape;
  bool has_shape = true;  // false: a device assembled by hand, saved without what only a shape holds
  std::optional<std::chrono::microseconds> latency;
  bool connected = true;
  bool libusb_visible = true;
  int libusb_open_error = 0;
  int not_ready = 0;  // UsbDevice::not_ready
  std::vector<FaultRule> faults;
};

// A workstation's device as it is saved: with its place, IDs and chip as they are now.
DeviceEntry EntryOf(const UsbDevice& device, const std::vector<FaultRule>& faults) {
  DeviceEntry entry;
  entry.has_shape = device.shape != nullptr;
  if (device.shape) entry.shape = *device.shape;
  entry.shape.id = device.Id();
  entry.shape.kind = device.Kind();
  entry.shape.place = device.Place();
  entry.shape.vendor_id = device.VendorId();
  entry.shape.product_id = device.ProductId();
  entry.shape.bcd_device = device.BcdDevice();
  entry.shape.chip = device.chip;
  entry.latency = device.latency;
  entry.connected = device.Connected();
  entry.libusb_visible = device.libusb_visible;
  entry.not_ready = device.not_ready.load();
  entry.libusb_open_error = device.libusb_open_error;
  for (const FaultRule& rule : faults)
    if (rule.device == device.Id()) entry.faults.push_back(rule);
  return entry;
}

bool IsDeviceId(const std::string& id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
  });
}

constexpr uint64_t kMaxNotReadyAnswers = 1000000;

// "not_ready": a count of answers, or "always".
ValueFormat<int> NotReadyAnswers() {
  return {[](JsonReader& r, const json& value, const std::string& place) -> std::optional<int> {
            if (value == "always") return UsbDevice::kAlwaysNotReady;
            if (value.is_string() && !value.get_ref<const std::string&>().starts_with("0x")) {
              r.Fail(place, "must be a number of answers or \"always\"");
              return std::nullopt;
            }
            const auto n = r.Number(value, place, 0, kMaxNotReadyAnswers);
            if (!n) return std::nullopt;
            return static_cast<int>(*n);
          },
          [](const int& answers) { return answers == UsbDevice::kAlwaysNotReady ? json("always") : json(answers); }};
}

bool IsPacketSize0(const uint8_t& size) { return size == 8 || size == 16 || size == 32 || size == 64; }

bool IsCamera(const DeviceEntry& d) {
  return d.shape.kind == DeviceKind::kChipCamera || d.shape.kind == DeviceKind::kForeignCamera;
}
bool HasDfuFunction(const DeviceEntry& d) {
  return d.shape.kind == DeviceKind::kChipCamera || d.shape.kind == DeviceKind::kForeignDfu;
}
bool HasShape(const DeviceEntry& d) { return d.has_shape; }

// A member of the device's shape.
template <class Member>
auto InShape(Member member) {
  return [member](auto& d) -> auto& { return std::invoke(member, d.shape); };
}

// String descriptors by role; a role's value is its text alone, or the string's object.
Field<DeviceEntry> StringsField() {
  Field<DeviceEntry> field;
  field.key = "strings";
  field.read = [](JsonReader& r, const json& value, const std::string& place, DeviceEntry& d) {
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
             "chip",
             ValueFormat<ChipEntry>{[](JsonReader& r, const json& value, const std::string& place) {
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
  static const Format<DeviceEntry> kFormat = {
      Stored<DeviceEntry>("id",
                          Checked(Text(32), IsDeviceId, "must be 1-32 characters of letters, digits, '_', '-', '.'"),
                          InShape(&DeviceSpec::id))
          .Needed("needs an id"),
      Stored<DeviceEntry>("kind", Choice(DeviceKindNames()), InShape(&DeviceSpec::kind)).Needed("needs a kind").Decides(),
      Stored<DeviceEntry>(
          "ports", ArrayOf(Integer<uint8_t>(1, 255), {1, 7, "must be an array of 1 to 7 port numbers", ""}),
          [](auto& d) -> auto& { return d.shape.place.ports; })
          .Needed("needs ports (the hub port path from the root)"),
      Stored<DeviceEntry>(
          "bus", Integer<uint8_t>(1, 255), [](auto& d) -> auto& { return d.shape.place.bus; }),
      Stored<DeviceEntry>(
          "address", Integer<uint8_t>(1, 127), [](auto& d) -> auto& { return d.shape.place.address; }),
      Stored<DeviceEntry>("vendor_id", HexInteger<uint16_t>(1, 0xFFFF), InShape(&DeviceSpec::vendor_id)),
      Stored<DeviceEntry>("product_id", HexInteger<uint16_t>(1, 0xFFFF), InShape(&DeviceSpec::product_id)),
      Stored<DeviceEntry>("bcd_device", HexInteger<uint16_t>(0, 0xFFFF), InShape(&DeviceSpec::bcd_device)),
      Stored<DeviceEntry>("xu_unit_id", Integer<uint8_t>(1, 255), InShape(&DeviceSpec::xu_unit_id))
          .OnlyWhen(IsCamera, "this kind of device is no camera")
          .SavedWhen(HasShape),
      Stored<DeviceEntry>("max_packet_size0",
                          Checked(Integer<uint8_t>(8, 64), IsPacketSize0, "must be 8, 16, 32 or 64"),
                          InShape(&DeviceSpec::max_packet_size0))
          .SavedWhen(HasShape),
      Nested<DeviceEntry>("dfu", DfuFormat(), &DeviceEntry::shape)
          .OnlyWhen(HasDfuFunction, "this kind of device has no DFU function")
          .SavedWhen(HasShape),
      StringsField(),
      Stored<DeviceEntry>(
          "langids",
          ArrayOf(HexInteger<uint16_t>(0, 0xFFFF), {0, 126, "must be an array of up to 126 language IDs", ""}),
          InShape(&DeviceSpec::langids))
          .Excludes("langid_descriptor")
          .SavedWhen([](const DeviceEntry& d) { return d.has_shape && !d.shape.langid_descriptor; }),
      Stored<DeviceEntry>("langid_descriptor", HexBytes(0, 255), InShape(&DeviceSpec::langid_descriptor))
          .SavedWhen(HasShape),
      ChipField(),
      Stored<DeviceEntry>("views", FreeFormObject(), InShape(&DeviceSpec::views)).SavedWhen([](const DeviceEntry& d) {
        return d.has_shape && !d.shape.views.empty();
      }),
      Key<DeviceEntry>(
          "latency_us", Integer<int64_t>(0, 60000000),
          [](const DeviceEntry& d) { return d.latency ? std::optional<int64_t>(d.latency->count()) : std::nullopt; },
          [](DeviceEntry& d, int64_t us) { d.latency = std::chrono::microseconds(us); }),
      Stored<DeviceEntry>("connected", Flag(), &DeviceEntry::connected),
      Stored<DeviceEntry>("libusb_visible", Flag(), &DeviceEntry::libusb_visible).SavedWhen([](const DeviceEntry& d) {
        return !d.libusb_visible;
      }),
      Stored<DeviceEntry>("libusb_open_error", Choice(LibusbErrors(), "LIBUSB_ERROR_OTHER"),
                          &DeviceEntry::libusb_open_error)
          .SavedWhen([](const DeviceEntry& d) { return d.libusb_open_error < 0; }),
      Stored<DeviceEntry>("not_ready", NotReadyAnswers(), &DeviceEntry::not_ready).SavedWhen([](const DeviceEntry& d) {
        return d.not_ready != 0;
      }),
      Each<DeviceEntry>(
          "faults", FaultFormat(), {0, SIZE_MAX, "must be an array", ""},
          [](const DeviceEntry& d) {
            FaultRule rule;
            rule.device = d.shape.id;
            return rule;
          },
          [](JsonReader&, const std::string&, DeviceEntry& d, FaultRule rule) {
            d.faults.push_back(std::move(rule));
            return true;
          },
          [](const DeviceEntry& d) { return d.faults.empty() ? std::nullopt : std::optional(d.faults); }),
  };
  return kFormat;
}

// Builds the device and plugs it into the workstation with its faults.
bool AddDevice(JsonReader& r, const std::string& place, Workstation& ws, DeviceEntry entry) {
  auto device = MakeDevice(entry.shape);
  device->latency = entry.latency;
  device->SetConnected(entry.connected);
  device->libusb_open_error = entry.libusb_open_error;
  device->libusb_visible = entry.libusb_visible;
  device->not_ready = entry.not_ready;
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
  static const Format<EventEntry> kFormat = {
      Key<EventEntry>(
          "after_ms", Integer<uint64_t>(0, kMaxEventAfterMs),
          [](const EventEntry& e) { return static_cast<uint64_t>(e.event.after.count()); },
          [](EventEntry& e, uint64_t ms) { e.event.after = std::chrono::milliseconds(ms); })
          .Needed(needs),
      Key<EventEntry>(
          "device", Text(32), [](const EventEntry& e) { return e.event.device; },
          [](JsonReader& r, const std::string& place, EventEntry& e, std::string id) {
            if (!e.workstation->Find(id)) return r.Fail(place, "no device \"" + id + "\" in devices");
            e.event.device = std::move(id);
            return true;
          })
          .Needed(needs),
      Key<EventEntry>(
          "connected", Flag(), [](const EventEntry& e) { return e.event.connected; },
          [](EventEntry& e, bool on) { e.event.connected = on; })
          .Needed(needs),
  };
  return kFormat;
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
  static const Format<ScenarioEntry> kFormat = {
      Stored<ScenarioEntry>("description", Text(4096), &ScenarioEntry::description).SavedWhen(never),
      Key<ScenarioEntry>(
          "latency_us", Integer<int64_t>(0, 60000000),
          [](const ScenarioEntry& s) { return static_cast<int64_t>(s.workstation->DefaultLatency().count()); },
          [](ScenarioEntry& s, int64_t us) { s.made->SetDefaultLatency(std::chrono::microseconds(us)); }),
      Key<ScenarioEntry>(
          "libusb_init_error", Choice(LibusbErrors(), "LIBUSB_ERROR_OTHER"),
          [](const ScenarioEntry& s) { return s.workstation->libusb_init_error; },
          [](ScenarioEntry& s, int error) { s.made->libusb_init_error = error; })
          .SavedWhen([](const ScenarioEntry& s) { return s.workstation->libusb_init_error < 0; }),
      Key<ScenarioEntry>(
          "views", FreeFormObject(), [](const ScenarioEntry& s) { return s.workstation->views; },
          [](ScenarioEntry& s, json views) { s.made->views = std::move(views); })
          .SavedWhen([](const ScenarioEntry& s) { return !s.workstation->views.empty(); }),
      Each<ScenarioEntry>(
          "devices", DeviceFormat(), {0, 127, "must be an array", "more than 127 devices"},
          [](const ScenarioEntry&) { return DeviceEntry(); },
          [](JsonReader& r, const std::string& place, ScenarioEntry& s, DeviceEntry device) {
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
          "events", EventFormat(),
          {0, kMaxEvents, "must be an array", "more than " + std::to_string(kMaxEvents) + " events"},
          [](const ScenarioEntry& s) {
            return EventEntry{{}, s.made.get()};
          },
          [](JsonReader&, const std::string&, ScenarioEntry& s, EventEntry e) {
            auto later = std::upper_bound(s.events.begin(), s.events.end(), e.event,
                                          [](const DeviceEvent& a, const DeviceEvent& b) { return a.after < b.after; });
            s.events.insert(later, std::move(e.event));
            return true;
          },
          [](const ScenarioEntry&) { return std::optional<std::vector<EventEntry>>(); }),
  };
  return kFormat;
}

// The saved state with what a run can change set back: each chip's commit register (the one word
// the tool writes) and commit count, and whether each device is connected (the events plug them in
// and out). Any run leaves this the same.
json RunNeutralJson(const Workstation& workstation) {
  json doc = ScenarioJson(workstation);
  json& devices = doc["devices"];
  const auto listed = workstation.Devices();
  for (size_t i = 0; i < devices.size() && i < listed.size(); ++i) {
    json& device = devices[i];
    device["connected"] = true;
    if (!listed[i]->chip || !device.contains("chip")) continue;
    json& chip = device["chip"];
    chip["commit_count"] = 0;
    chip["commit_register"] = "0x00000000";
    json runs = json::array();
    for (const MemoryRun& run : MemoryRuns(*listed[i]->chip, uvc::kCommitRegisterAddress))
      runs.push_back(WriteObject(MemoryRunFormat(), run));
    chip["memory"] = std::move(runs);
  }
  return doc;
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
  JsonReader r(name);
  ScenarioEntry scenario;
  if (!ReadObject(r, parsed.value, "", ScenarioFormat(), scenario)) {
    load.error = r.Error();
    return load;
  }
  // The runner saves the workstation after every run and must be able to load it again. The room
  // asked for is measured on the state without what a run changes, so the state a run saved asks for
  // exactly what the file it came from asked for, and loads again as that file did.
  const Workstation& ws = *scenario.made;
  const size_t saved = RunNeutralJson(ws).dump().size() + 1 + kStateGrowthPerDevice * ws.Devices().size();
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
  std::string text;
  switch (ReadScenarioBytes(path, kMaxScenarioBytes, text)) {
    case FileRead::kRead:
      break;
    case FileRead::kCannotRead:
      load.error = path + ": cannot be read";
      return load;
    case FileRead::kDirectory:
      load.error = path + ": is a directory";
      return load;
    case FileRead::kNotRegular:
      load.error = path + ": is not a regular file";
      return load;
    case FileRead::kTooLarge:
      load.error = TooLarge(path);
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
  std::string& Text() { return text_; }

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
  if (out) return std::move(indented.Text());
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

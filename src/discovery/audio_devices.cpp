#include "discovery/audio_devices.h"

#include <optional>

#include "util/text.h"

namespace vorel {
namespace {

std::vector<AudioDeviceRecord> placeholder() {
  return {AudioDeviceRecord{"default", "Default Audio Device", true}};
}

// Identifiers are compared, so they are converted strictly: one that is not
// valid UTF-16 becomes "".
std::string strict_id(const std::u16string& raw) {
  return utf16_to_utf8_strict(raw).value_or(std::string());
}

std::optional<std::vector<AudioDeviceRecord>> try_list(platform::AudioServices& services) {
  auto enumerator = services.create_device_enumerator();
  if (!enumerator) return std::nullopt;
  auto default_endpoint = (*enumerator)->default_render_endpoint();
  if (!default_endpoint) return std::nullopt;
  auto default_raw_id = (*default_endpoint)->get_id();
  if (!default_raw_id) return std::nullopt;
  const std::string default_id = strict_id(*default_raw_id);
  auto collection = (*enumerator)->active_render_endpoints();
  if (!collection) return std::nullopt;
  auto count = (*collection)->count();
  if (!count) return std::nullopt;

  std::vector<AudioDeviceRecord> records;
  for (uint32_t i = 0; i < *count; ++i) {
    auto endpoint = (*collection)->item(i);
    if (!endpoint) return std::nullopt;
    auto raw_id = (*endpoint)->get_id();
    if (!raw_id) return std::nullopt;
    AudioDeviceRecord r;
    r.id = strict_id(*raw_id);
    r.name = "Audio Device " + std::to_string(i);
    if (std::optional<std::u16string> friendly = (*endpoint)->friendly_name()) {
      if (auto text = utf16_to_utf8_strict(*friendly)) r.name = std::move(*text);
    }
    r.is_default = r.id == default_id;
    records.push_back(std::move(r));
  }
  return records;
}

}  // namespace

std::vector<AudioDeviceRecord> list_audio_devices(platform::AudioServices& services) {
  // Every error is dropped unrendered; the placeholder stands for them all.
  std::optional<std::vector<AudioDeviceRecord>> records = try_list(services);
  return records ? std::move(*records) : placeholder();
}

std::string audio_device_repr(const AudioDeviceRecord& r) {
  return "AudioDeviceInfo(name='" + r.name + "', is_default=" + (r.is_default ? "true" : "false") +
         ")";
}

}  // namespace vorel

// Listing the active audio output endpoints and the default one.
#pragma once

#include <string>
#include <vector>

#include "platform/audio_services.h"

namespace vorel {

struct AudioDeviceRecord {
  std::string id;
  std::string name;
  bool is_default = false;
};

// The endpoints in the collection's order; when the listing fails, only the
// placeholder record ("default", "Default Audio Device", default).
std::vector<AudioDeviceRecord> list_audio_devices(platform::AudioServices& services);

// "AudioDeviceInfo(name='Speakers', is_default=true)"
std::string audio_device_repr(const AudioDeviceRecord& record);

}  // namespace vorel

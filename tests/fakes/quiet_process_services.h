// Audio services whose process-loopback client belongs to a process that
// plays nothing: its gaps are filled with silence on the given clock, as the
// real backends do.
#pragma once

#include <memory>
#include <string>

#include "platform/silence_fill.h"
#include "fakes/fake_audio_services.h"
#include "util/clock.h"

namespace vorel::testing {

class QuietProcessServices final : public platform::AudioServices {
 public:
  QuietProcessServices(AudioScript& s, Clock& clock) : fake_(s), clock_(clock) {}
  Result<std::unique_ptr<platform::DeviceEnumerator>, PlatformError> create_device_enumerator()
      override {
    return fake_.create_device_enumerator();
  }
  Result<std::unique_ptr<platform::AudioClient>, std::string> activate_process_loopback(
      uint32_t process_id) override {
    auto client = fake_.activate_process_loopback(process_id);
    if (!client) return client;
    return fill_silence_gaps(std::move(client).value(), clock_);
  }

 private:
  FakeAudioServices fake_;
  Clock& clock_;
};

}  // namespace vorel::testing

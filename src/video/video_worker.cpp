#include "video/video_worker.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "util/duration.h"
#include "video/source.h"

namespace vorel {
namespace {

// Grabs and hands over frames until a stop request, a closed stream or a
// failed hand-over. The schedule is anchored where the first hand-over
// returned; a late pass does not sleep and the deadline is not moved, so
// frames after a stall come back to back until the schedule is caught up.
//
// On schedule, a pass grabs at its top, right after its deadline, so a frame
// is as fresh as it can be. Behind schedule, the next frame's deadline has
// already passed before this frame is handed over, so its grab may start
// then: the system fills it while Python takes this one, and the next pass
// only collects it. Either way each grab starts at or after its deadline,
// and a grab begun for a pass that then sees a stop request is dropped.
std::optional<std::string> capture_loop(VideoCaptureState& state, platform::CaptureSurface& surface,
                                        size_t frame_bytes, FrameSink& sink, Clock& clock,
                                        std::chrono::nanoseconds interval, bool overlap) {
  std::optional<Clock::time_point> next_deadline;  // of the frame in hand
  bool next_begun = false;  // the grab of the next pass's frame is under way
  while (!state.stop_requested.load()) {
    const uint8_t* pixels = next_begun ? surface.finish_grab() : surface.grab();
    next_begun = false;
    if (overlap && next_deadline && *next_deadline + interval <= clock.now()) {
      surface.begin_grab();
      next_begun = true;
    }
    FrameSink::WriteOutcome out = sink.write(pixels, frame_bytes);
    if (out.delivery == FrameSink::Delivery::kClosed) return std::nullopt;
    if (out.delivery == FrameSink::Delivery::kFailed) return std::move(out.text);
    const Clock::time_point now = clock.now();
    if (!next_deadline) next_deadline = now;
    *next_deadline += interval;
    if (*next_deadline > now) clock.sleep_for(*next_deadline - now);
  }
  return std::nullopt;
}

bool overlap_allowed_by_environment() {
  const char* value = std::getenv("VOREL_VIDEO_OVERLAP");
  return value == nullptr || std::string_view(value) != "0";
}

std::optional<std::string> run(VideoCaptureState& state, platform::WindowServices& services,
                               FrameSink& sink, Clock& clock, const VideoWorkerInputs& inputs) {
  auto source = select_capture_source(services, inputs.monitor_index, inputs.window_handle);
  if (!source) return std::move(source.error());

  state.width.set(source->width);
  state.height.set(source->height);
  state.ready.reach();

  FrameSink::ReadyOutcome readiness = sink.wait_ready();
  if (readiness.readiness == FrameSink::Readiness::kNotReady) return std::string(kPipeTimedOut);
  if (readiness.readiness == FrameSink::Readiness::kFailed) return std::move(readiness.text);

  std::unique_ptr<platform::CaptureSurface> surface = services.create_capture_surface(*source);
  const size_t frame_bytes =
      static_cast<size_t>(source->width) * static_cast<size_t>(source->height) * 4;

  // An fps of 0 or less has no frame interval: the run ends here, after
  // releasing the surface, with the conversion's own text.
  auto interval = duration_from_secs(1.0 / static_cast<double>(inputs.fps));
  if (!interval) return std::move(interval.error().text);

  const bool overlap = inputs.overlap && overlap_allowed_by_environment();
  return capture_loop(state, *surface, frame_bytes, sink, clock, interval->to_chrono_saturated(),
                      overlap);
}

}  // namespace

void run_video_worker(VideoCaptureState& state, platform::WindowServices& services,
                      FrameSink& sink, Clock& clock, const VideoWorkerInputs& inputs) {
  // The surface is released inside run(), before a failure is recorded.
  std::optional<std::string> failure = run(state, services, sink, clock, inputs);
  if (failure) state.error.set(std::move(failure));
}

}  // namespace vorel

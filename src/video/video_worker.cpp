#include "video/video_worker.h"

#include <memory>
#include <string>

#include "errors/duration.h"
#include "video/source.h"

namespace vorel {
namespace {

// Grabs and hands over frames until a stop request, a closed stream or a
// failed hand-over. The schedule is anchored where the first hand-over
// returned; a late pass does not sleep and the deadline is not moved, so
// frames after a stall come back to back until the schedule is caught up.
std::optional<std::string> capture_loop(VideoCaptureState& state, platform::CaptureSurface& surface,
                                        size_t frame_bytes, FrameSink& sink, Clock& clock,
                                        std::chrono::nanoseconds interval) {
  std::optional<Clock::time_point> next_deadline;
  while (!state.stop_requested.load()) {
    const uint8_t* pixels = surface.grab();
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

  return capture_loop(state, *surface, frame_bytes, sink, clock,
                      interval->to_chrono_saturated());
}

}  // namespace

void run_video_worker(VideoCaptureState& state, platform::WindowServices& services,
                      FrameSink& sink, Clock& clock, const VideoWorkerInputs& inputs) {
  // The surface is released inside run(), before a failure is recorded.
  std::optional<std::string> failure = run(state, services, sink, clock, inputs);
  if (failure) state.error.set(std::move(failure));
}

}  // namespace vorel

// The body of the video worker: select the source, publish its size, the
// readiness handshake, then grab and hand over frames at the requested rate.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/window_services.h"
#include "video/frame_sink.h"
#include "video/video_state.h"

namespace vorel {

struct VideoWorkerInputs {
  int32_t fps = 30;
  std::optional<int32_t> monitor_index;
  std::optional<int64_t> window_handle;
  // Whether a pass that is behind schedule may start the next grab before
  // handing its frame over. VOREL_VIDEO_OVERLAP=0 in the environment turns
  // it off for a run (read once, when the run starts), for comparisons.
  bool overlap = true;
};

inline constexpr const char* kPipeTimedOut = "Timed out waiting for video pipe.";

// Runs one capture to its end; what it reports goes to `state`. The caller
// opens `services` on the worker thread and releases its references after.
void run_video_worker(VideoCaptureState& state, platform::WindowServices& services,
                      FrameSink& sink, Clock& clock, const VideoWorkerInputs& inputs);

}  // namespace vorel

// The capture classes, each created on first use and kept for the process.
#pragma once

#include "module/py.h"
#include "module/records.h"

namespace vorel::py {

PyTypeObject* video_capture_type();
PyTypeObject* audio_capture_type();

}  // namespace vorel::py

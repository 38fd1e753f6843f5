// The module-level functions, each a PyMethodDef that lives for the process.
#pragma once

#include "module/py.h"

namespace vorel::py {

PyMethodDef* list_monitors_def();
PyMethodDef* list_windows_def();
PyMethodDef* list_audio_devices_def();
PyMethodDef* find_window_by_title_def();
PyMethodDef* find_window_by_handle_def();

}  // namespace vorel::py

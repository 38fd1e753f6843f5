// The immutable record classes handed out by discovery: MonitorInfo,
// WindowInfo (and, with audio, AudioDeviceInfo).
#pragma once

#include "discovery/audio_devices.h"
#include "discovery/monitors.h"
#include "discovery/windows.h"
#include "module/py.h"

namespace vorel::py {

// Each type is created on first use and kept for the process; null with an
// exception set when creation fails.
PyTypeObject* monitor_info_type();
PyTypeObject* window_info_type();
PyTypeObject* audio_device_info_type();

// New record objects (new references), or null with an exception set.
PyObject* new_monitor_info(const MonitorRecord& record);
PyObject* new_window_info(const WindowRecord& record);
PyObject* new_audio_device_info(const AudioDeviceRecord& record);

// Creates a heap type that Python cannot subclass, weakly reference or give
// new attributes, with "__module__" set to the module's name. `spec` and
// everything it points to must outlive the process.
PyTypeObject* create_class(PyType_Spec* spec);

}  // namespace vorel::py

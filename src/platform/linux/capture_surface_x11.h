// Capture surfaces on X11: the pixels of a rectangle of the root window (a
// monitor) or the content of one window, read with MIT-SHM where the server
// offers it and with plain GetImage otherwise. A window's content comes from
// its Composite pixmap, so parts that are covered or off the screen are
// still its own.
//
// Frames are 32-bit pixels in memory order blue, green, red, unused: what a
// TrueColor visual of depth 24 or 32 with 32 bits per pixel and LSBFirst
// images reads back as, with no conversion. Other TrueColor visuals (depth
// 16 as 5-6-5, depth 30 as 10-10-10) are converted through their channel
// masks; a drawable of any other kind (PseudoColor, for one) gives frames
// of zeros rather than pixels in a layout nobody expects.
#pragma once

#include <memory>

#include "platform/window_services.h"

namespace vorel::platform::x11 {

class X11Connection;

// The surfaces for `source`, reading through `connection` (which they keep
// alive). Never fails: without a connection, with an empty source or an
// unsupported pixel format, every grab delivers zeros.
std::unique_ptr<CaptureSurface> create_capture_surface(std::shared_ptr<X11Connection> connection,
                                                       const CaptureSource& source);

}  // namespace vorel::platform::x11

// What the files of the VISA front share: the trace's escaping, status names and copying a
// text into a caller's buffer. Only the front's own files include this.
#pragma once

#include <string>
#include <string_view>

#include "visa_front.h"

namespace zolvane_sim::front {

// The trace's escaping (visa/trace_format.h): control bytes and bytes beyond ASCII as \n, \r, \t
// or \xHH, and '"' and '\\' escaped.
std::string escaped(std::string_view bytes);
// The status's VISA name, or its number for one the simulator does not know.
std::string nameOf(ViStatus s);
// Up to the find buffer's length, terminated; nothing when `dest` is null.
void copyOut(ViChar *dest, const std::string &text);

}  // namespace zolvane_sim::front

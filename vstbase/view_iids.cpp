// The view interfaces' ids, which the system's SDK sources leave undefined.
#include "pluginterfaces/gui/iplugview.h"

namespace Steinberg {
DEF_CLASS_IID(IPlugView)
DEF_CLASS_IID(IPlugFrame)
}  // namespace Steinberg

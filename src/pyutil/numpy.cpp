#define ZENTROVA_NUMPY_API_OWNER
#include "pyutil/numpy.h"

namespace zentrova::py {

bool load_numpy_api() noexcept {
    // Runs with the interpreter lock held, so a plain flag suffices.
    static bool ready = false;
    if (!ready) ready = _import_array() >= 0;
    return ready;
}

}  // namespace zentrova::py

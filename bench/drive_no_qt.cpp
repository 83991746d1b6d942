#include "bench/drivers.h"

namespace bench {

bool DriveQt(DriveHooks&, std::string* error) {
    *error = "built without the Qt window";
    return false;
}

}  // namespace bench

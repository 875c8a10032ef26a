#include "net/RetryPolicy.h"

namespace vantrel::net {

bool statusMayPass(long status) {
    return status >= 500 && status <= 599 && status != 501;
}

std::string statusFailure(long status) {
    return "the server answered with HTTP status " + std::to_string(status);
}

}  // namespace vantrel::net

#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::net {

// When a package transfer that failed is tried again. A failure that may pass (a connection
// reset or closed early, an answer 5xx other than 501, the low-rate rule, a timeout) is
// tried again after each of `pauses` in turn, continuing from the bytes already on disk; one
// that will not pass by waiting (an answer 4xx or 501, a certificate or TLS failure, a full
// disk) is not.
struct RetryPolicy {
    std::vector<std::chrono::milliseconds> pauses{std::chrono::seconds(1), std::chrono::seconds(4),
                                                  std::chrono::seconds(15)};
};

// Whether an answer's HTTP status `status` may pass by trying again: 5xx but 501 (the server
// will never do what was asked).
bool statusMayPass(long status);

// "the server answered with HTTP status N": how an error status is named to the operator.
std::string statusFailure(long status);

}  // namespace vantrel::net

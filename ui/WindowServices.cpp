#include "ui/WindowServices.h"

namespace vantrel {

namespace {
WindowServices& current() {
    static WindowServices services;
    return services;
}
}  // namespace

const WindowServices& windowServices() {
    return current();
}

void useWindowServices(WindowServices services) {
    current() = std::move(services);
}

}  // namespace vantrel

#include "ui/Pictures.h"

#include <QString>

#include "ui/WindowServices.h"

namespace vantrel {

QPixmap picture(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.front() == '.' ||
        !windowServices().platform) {
        return {};
    }
    const auto file = windowServices().platform->appBundle / "Contents" / "Resources" / (name + ".png");
    QPixmap pixmap;
    if (!pixmap.load(QString::fromStdString(file.string()), "PNG")) {
        return {};
    }
    return pixmap;
}

}  // namespace vantrel
